#include "core/keyview.h"

#include <algorithm>
#include <cstring>

#include "core/format.h"
#include "core/route.h"
#include "core/utf8.h"

namespace tarn {
namespace {

bool starts_with(Bytes key, Bytes prefix) {
  return key.size() >= prefix.size() && (prefix.empty() || std::memcmp(key.data(), prefix.data(), prefix.size()) == 0);
}

// How many keys of a reader in place route to another shard than `shard` of
// `shards`, counted up to `limit`: one pass over the mapping, which needs no
// memory but touches every key page.
size_t routed_elsewhere(const ReaderCore& r, uint32_t shard, uint32_t shards, size_t limit) {
  if (shards <= 1) return 0;
  const size_t n = r.entry_count();
  size_t stray = 0;
  EntryRef e = n ? r.ref(0) : kNoEntry;
  for (size_t i = 0; i < n && stray < limit; ++i, e = r.next_ref(e)) stray += shard_of(r.key_at(e), shards) != shard;
  return stray;
}

}  // namespace

KeyView KeyView::build(const ReaderCore& r, uint32_t shard, uint32_t shards, bool check_routing) {
  const size_t n = r.entry_count();
  KeyView view;
  auto in_shard = [&](Bytes k) { return shards <= 1 || shard_of(k, shards) == shard; };
  if (r.in_place()) {
    // The writer puts a lookup index only into files whose keys are unique,
    // ascending and text (verify() checks that). Which shard a file is,
    // though, only the store knows: on request a shard's keys are checked
    // against their routing.
    if (!check_routing || routed_elsewhere(r, shard, shards, 1) == 0) {
      view.size_ = n;
      return view;
    }
  }

  // The common case first: one pass that only reads, and no array.
  bool plain = true;
  for (size_t i = 0; i < n && plain; ++i) {
    const Bytes k = r.key(i);
    plain = (i == 0 || format::key_less(r.key(i - 1), k)) && utf8_valid(k) && in_shard(k);
  }
  if (plain) {
    view.size_ = n;
    return view;
  }

  // An entry is listed iff its key is text, belongs here, and is the entry a
  // lookup of that key finds: so each key once, the later entry winning.
  auto listed = [&](uint32_t i) {
    const Bytes k = r.key(i);
    return utf8_valid(k) && in_shard(k) && r.find(k, r.hash(k)) == r.ref(i);
  };
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) count += listed(uint32_t(i));
  view.identity_ = false;
  view.size_ = count;
  view.order_ = PageArray<uint32_t>(count ? count : 1);
  size_t at = 0;
  bool sorted = true;
  for (size_t i = 0; i < n; ++i) {
    if (!listed(uint32_t(i))) continue;
    if (at > 0 && !format::key_less(r.key(view.order_[at - 1]), r.key(i))) sorted = false;
    view.order_[at++] = uint32_t(i);
  }
  if (!sorted) {
    // Listed keys are distinct, so any sort gives the one order.
    std::sort(view.order_.data(), view.order_.data() + count,
              [&](uint32_t a, uint32_t b) { return format::key_less(r.key(a), r.key(b)); });
  }
  return view;
}

size_t KeyView::misplaced(const ReaderCore& r, uint32_t shard, uint32_t shards) const {
  // Unique keys in place (verify() checks that): only the routing can be wrong.
  if (r.in_place()) return routed_elsewhere(r, shard, shards, SIZE_MAX);
  const size_t n = r.entry_count();
  auto elsewhere = [&](Bytes k) { return shards > 1 && shard_of(k, shards) != shard; };
  size_t stray = 0;
  // A key that is not text is left out of listings but is no fault: a merge
  // keeps such keys from another program's file.
  for (size_t i = 0; i < n; ++i) {
    const Bytes k = r.key(i);
    stray += elsewhere(k) || r.find(k, r.hash(k)) != r.ref(i);
  }
  return stray;
}

size_t KeyView::lower_bound(const ReaderCore& r, Bytes k) const {
  if (identity_ && r.in_place()) return r.lower_bound(k);
  size_t lo = 0, hi = size_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (format::key_less(r.key(entry(mid)), k)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

size_t KeyView::prefix_end(const ReaderCore& r, size_t from, Bytes p) const {
  // From lower_bound(p) on, the keys that start with p come first.
  if (identity_ && r.in_place()) return r.prefix_end(from, p);
  size_t lo = from, hi = size_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (starts_with(r.key(entry(mid)), p)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace tarn
