// libFuzzer target: the key view and the batch-lookup stages of ReaderCore
// on arbitrary file contents.
//
// Each input is written to a memory-backed file and opened with
// verification off. Whatever opens is checked against a plain model of the
// listing rule (std::map from key bytes to the last entry with that key,
// keeping only valid UTF-8): the view as a whole store and as each shard of
// three, its bounds for every listed key and prefixes of them, and the
// staged lookup (hash, guess, find) against get() for every key in the
// index. A wrong answer aborts as surely as a bad read does under the
// sanitizers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/keytable.h"
#include "core/keyview.h"
#include "core/reader.h"
#include "core/route.h"
#include "core/utf8.h"
#include "fuzz_common.h"

const char fuzz::kTargetName[] = "fuzz_keyview";

namespace {

using fuzz::bytes;
using fuzz::fail;
using fuzz::str;
using tarn::Bytes;

fuzz::MemFile g_file;

// The listed keys of `view` in order, each as (key, entry).
std::vector<std::pair<std::string, uint32_t>> listed(const tarn::ReaderCore& r, const tarn::KeyView& view) {
  std::vector<std::pair<std::string, uint32_t>> out;
  for (size_t pos = 0; pos < view.size(); ++pos) {
    const uint32_t e = view.entry(pos);
    CHECK(e < r.entry_count());
    out.emplace_back(str(r.key(e)), e);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file.create("fuzz_keyview");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_file.replace(data, size);
  auto opened = tarn::ReaderCore::open(g_file.path(), false);
  if (!opened) return 0;
  const tarn::ReaderCore& r = *opened;

  // The model: std::map orders by unsigned bytes with a prefix first, as the
  // index does; a later entry replaces an earlier one.
  std::map<std::string, uint32_t> last;
  for (size_t i = 0; i < r.entry_count(); ++i) last[str(r.key(i))] = uint32_t(i);
  std::vector<std::pair<std::string, uint32_t>> want;
  for (const auto& [k, e] : last) {
    if (tarn::utf8_valid(bytes(k))) want.emplace_back(k, e);
  }

  // The staged lookup agrees with get() for every key in the index.
  for (size_t i = 0; i < r.entry_count(); ++i) {
    const Bytes k = r.key(i);
    const uint64_t h = r.hash(k);
    r.prefetch_slot(h);
    const uint32_t guess = r.guess(h);
    CHECK(guess == tarn::KeyTable::kNone || guess < r.entry_count());
    if (guess != tarn::KeyTable::kNone) {
      r.prefetch_meta(guess);
      r.prefetch_key_and_record(guess);
    }
    const uint32_t found = r.find(k, h);
    CHECK(found == last[str(k)]);
    auto direct = r.get(k);
    auto staged = r.payload(found);
    CHECK(bool(direct) == bool(staged));
    if (direct) CHECK(*direct && (*direct)->data() == staged->data() && (*direct)->size() == staged->size());
  }

  const tarn::KeyView whole = tarn::KeyView::build(r);
  CHECK(listed(r, whole) == want);
  // Bounds: for every listed key and each of its prefixes.
  for (const auto& [k, e] : want) {
    for (size_t n = 0; n <= k.size() && n <= 4; ++n) {
      const std::string p = k.substr(0, n);
      size_t lb = 0;
      while (lb < want.size() && want[lb].first < p) ++lb;
      size_t pe = lb;
      while (pe < want.size() && want[pe].first.compare(0, p.size(), p) == 0) ++pe;
      const size_t got = whole.lower_bound(r, bytes(p));
      CHECK(got == lb);
      CHECK(whole.prefix_end(r, got, bytes(p)) == pe);
    }
  }
  // As shard s of 3: exactly the listed keys that route to s.
  for (uint32_t s = 0; s < 3; ++s) {
    std::vector<std::pair<std::string, uint32_t>> part;
    for (const auto& kv : want) {
      if (tarn::shard_of(bytes(kv.first), 3) == s) part.push_back(kv);
    }
    CHECK(listed(r, tarn::KeyView::build(r, s, 3)) == part);
  }
  return 0;
}
