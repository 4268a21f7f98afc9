// KeyView: the keys a reader lists, in sorted order, each once.
//
// A lookup finds any key the index holds, by its bytes. Listing (len(),
// iteration, prefix and range scans) follows one rule, settled here once:
// each distinct key is listed once, with the entry a lookup finds (the later
// of repeated entries), keys that are not valid UTF-8 are left out (they
// cannot be given back as text), and the order is ascending by bytes. In a
// store of several shards a shard lists only the keys that route to it, so
// that a key is listed by the shard a lookup asks.
//
// Two layouts: for an index whose keys are strictly ascending, all valid
// UTF-8 and (with shards) all in their shard, which is every file the tarndb
// writer makes, the view is the index itself and costs no memory; otherwise
// it is an array of entry numbers, 4 bytes per listed key. A reader that
// answers from the file's lookup index (ReaderCore::in_place()) gets the
// first layout: the writer gives only such files one, and puts in a shard
// only the keys that route to it. That last is checked at build() only on
// request (a walk over every key), so that a store of shards opens in
// constant time; misplaced() counts the keys a shard should not list.
//
// Immutable after build(); every method is const and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/page_array.h"
#include "core/reader.h"

namespace tarn {

class KeyView {
 public:
  // The view of `reader`'s index as shard `shard` of `shards` (1: no
  // routing). A reader in place has its keys' routing checked only with
  // `check_routing`. REQUIRES: shard < shards. Throws std::bad_alloc only.
  static KeyView build(const ReaderCore& reader, uint32_t shard = 0, uint32_t shards = 1,
                       bool check_routing = true);

  // The number of `reader`'s index entries that do not belong in shard
  // `shard` of `shards`: keys that route to another shard, and entries a
  // lookup does not find because a later one repeats their key. Keys that
  // are not text are not counted. A walk over every key; allocates nothing.
  size_t misplaced(const ReaderCore& reader, uint32_t shard, uint32_t shards) const;

  KeyView() = default;
  KeyView(KeyView&&) noexcept = default;
  KeyView& operator=(KeyView&&) noexcept = default;

  // Number of listed keys.
  size_t size() const { return size_; }
  // The rank of the entry listed at position `pos` (< size()).
  uint32_t entry(size_t pos) const { return identity_ ? uint32_t(pos) : order_[pos]; }
  // Whether the view is the index itself (no array).
  bool is_identity() const { return identity_; }

  // A seek through a damaged lookup index: no position can be trusted.
  static constexpr size_t kDamaged = ~size_t(0);

  // The first position whose key is not less than `k`, or kDamaged.
  size_t lower_bound(const ReaderCore& reader, Bytes k) const;
  // The first position from `from` on whose key does not start with `p`,
  // or kDamaged; REQUIRES: `from` is lower_bound(reader, p).
  size_t prefix_end(const ReaderCore& reader, size_t from, Bytes p) const;

 private:
  PageArray<uint32_t> order_;
  size_t size_ = 0;
  bool identity_ = true;
};

}  // namespace tarn
