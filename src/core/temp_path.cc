#include "core/temp_path.h"

namespace tarn {

std::string temp_path_for(std::string_view target) {
  // Find the last component that names something: skip empty components
  // (repeated or trailing separators) and "." components.
  size_t end = target.size();
  size_t name_begin = 0, name_end = 0;
  bool found = false;
  while (end > 0) {
    size_t begin = target.rfind('/', end - 1);
    begin = (begin == std::string_view::npos) ? 0 : begin + 1;
    std::string_view comp = target.substr(begin, end - begin);
    if (!comp.empty() && comp != ".") {
      if (comp == "..") return std::string(target);
      name_begin = begin;
      name_end = end;
      found = true;
      break;
    }
    if (begin == 0) break;
    end = begin - 1;
  }
  if (!found) return std::string(target);

  std::string_view name = target.substr(name_begin, name_end - name_begin);
  size_t dot = name.rfind('.');
  // A name whose only dot is its first character has no extension.
  size_t stem_len = (dot == std::string_view::npos || dot == 0) ? name.size() : dot;
  std::string out(target.substr(0, name_begin + stem_len));
  out += ".tndb.tmp";
  return out;
}

}  // namespace tarn
