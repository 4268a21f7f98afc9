// The temporary path a build writes before renaming it over its target.
#pragma once

#include <string>
#include <string_view>

namespace tarn {

// The target with its extension replaced by "tndb.tmp": the path cut right
// behind the file stem of its last component, then ".tndb.tmp". The last
// component ignores trailing separators and "." components; a path whose last
// component is ".." or that has none ("", "/") is returned unchanged.
// Examples: out.tndb, out and out.bin -> out.tndb.tmp; a.b.c -> a.b.tndb.tmp;
// .hidden -> .hidden.tndb.tmp; name. -> name.tndb.tmp; dir/x.tndb/ -> dir/x.tndb.tmp.
std::string temp_path_for(std::string_view target);

}  // namespace tarn
