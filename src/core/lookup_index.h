// The lookup index a store file may carry, so that a reader can answer from
// the mapping at once instead of decoding the whole key index at open.
//
// It lives inside the fixed layout: one more object record, the last of the
// data section, that no key names (so every reader lists exactly the keys
// and objects it lists without it, and num_objects counts it). Two reserved
// header bytes find it:
//
//   header 5..7   "LX" and 1: the file carries a lookup index record
//   header 36..39 u32 its payload length L; the record is the 8 + L bytes
//                 that end where the index section begins
//
// The payload (integers big-endian, as everywhere in the file):
//
//   slots    slot_count values of W bytes: 0 for an empty slot, else the
//            position of an index entry (from index_offset) plus 1 in the low
//            offset_bits bits and a tag (the low bits of the key's hash) in
//            the bits above
//   fences   ceil(num_keys / 2^fence_shift) values of W bytes: the position
//            of entry number j << fence_shift, for ordered seeks by rank
//   trailer  48 bytes:
//            0  num_keys u64       8  index_len u64 (the index section's length)
//            16 slot_count u64     24 hash seed u64
//            32 W u8, offset_bits u8, fence_shift u8, reserved u8 (0)
//            36 reserved u32 (0)
//            40 "TNLX"             44 kind u16 (1: hash slots and rank fences)
//            46 version u16 (1)
//
// A key's home slot is (hash * slot_count) >> 64 of its 64-bit hash_bytes()
// under the stored seed; collisions probe the following slots (wrapping).
// The writer leaves at least one slot empty and writes the record only when
// the keys are unique, ascending and valid UTF-8.
//
// Nothing here trusts the bytes: open() checks in constant time that the
// sizes agree with each other, the header and the file; every read of a slot,
// fence or entry is bounds-checked; a probe ends after slot_count slots; and
// a lookup answers only for an entry whose key bytes equal the key asked
// for. verify() checks the rest completely. All methods are const and
// thread-safe; spans point into the mapped file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "core/hash.h"
#include "core/keytable.h"  // same_bytes

namespace tarn {

class KeySource;

namespace lookup {

using Bytes = std::span<const uint8_t>;

inline constexpr uint8_t kMarker[3] = {'L', 'X', 1};
inline constexpr size_t kTrailerSize = 48;
inline constexpr uint8_t kTrailerMagic[4] = {'T', 'N', 'L', 'X'};
inline constexpr uint16_t kKind = 1;
inline constexpr uint16_t kVersion = 1;
inline constexpr unsigned kFenceShift = 4;
inline constexpr unsigned kMinTagBits = 8;
inline constexpr uint64_t kSeed = 0x9e3779b97f4a7c15ull;

// Whether the header bytes announce a lookup index record, and its payload length.
inline bool announced(Bytes file) {
  return file.size() >= format::kHeaderSize && file[5] == kMarker[0] && file[6] == kMarker[1] && file[7] == kMarker[2];
}

// The whole record (prefix and payload) for `keys` in index order, whose
// index section is `index_len` bytes long; empty when the keys are not
// unique, ascending and valid UTF-8. Throws std::bad_alloc only.
std::vector<uint8_t> build_record(const KeySource& keys, uint64_t index_len);

// One index entry read through the lookup index.
struct Entry {
  Bytes key;
  uint64_t record_offset;
  uint64_t next;  // position of the following entry
};

class LookupIndex {
 public:
  static constexpr uint64_t kNone = ~uint64_t(0);

  LookupIndex() = default;

  // The constant-time checks of the record that `header` announces in
  // `file`; a TarnCorruptError names the first that fails.
  static Result<LookupIndex> open(Bytes file, const format::Header& header);

  uint64_t size() const { return num_keys_; }
  // The whole record, prefix included.
  uint64_t record_bytes() const { return format::kRecordPrefix + payload_len_; }
  uint64_t record_offset() const { return record_; }

  uint64_t hash(Bytes key) const { return hash_bytes(key.data(), key.size(), seed_); }
  // Requests the home slot of hash h.
  void prefetch_slot(uint64_t h) const { __builtin_prefetch(slots_ + width_ * home(h)); }
  // The position that the first slot from the home of h on with h's tag
  // names, or kNone: a guess for prefetching, not an answer.
  uint64_t guess(uint64_t h) const;
  // The position of the entry whose key is `key` (hash h), or kNone; with
  // `out`, that entry as well.
  uint64_t find(Bytes key, uint64_t h, Entry* out = nullptr) const {
    const uint64_t tag = h & ((uint64_t(1) << (8 * width_ - offset_bits_)) - 1);
    uint64_t i = home(h);
    // A damaged record may have no empty slot: a probe ends after them all.
    for (uint64_t step = 0; step < slot_count_; ++step) {
      const uint64_t s = slot(i);
      if (s == 0) return kNone;
      if ((s >> offset_bits_) == tag) {
        const uint64_t pos = (s & offset_mask_) - 1;
        Entry e;
        if (entry(pos, &e) && e.key.size() == key.size() && same_bytes(e.key.data(), key.data(), key.size())) {
          if (out) *out = e;
          return pos;
        }
      }
      if (++i == slot_count_) i = 0;
    }
    return kNone;
  }

  // The entry at `pos`, bounds-checked; false when it runs past the section.
  bool entry(uint64_t pos, Entry* out) const {
    const uint64_t len = index_.size();
    if (!format::fits(pos, 2, len)) return false;
    const uint64_t k = format::load_be16(index_.data() + pos);
    if (!format::fits(pos + 2, k + 8, len)) return false;
    const uint8_t* p = index_.data() + pos + 2;
    *out = {Bytes(p, k), format::load_be64(p + k), pos + 2 + k + 8};
    return true;
  }
  void prefetch_entry(uint64_t pos) const {
    if (pos < index_.size()) __builtin_prefetch(index_.data() + pos);
  }
  // The position of the entry of rank `rank` (< size()), or kNone if the
  // bytes do not lead there or its fence is out of place among its
  // neighbours. Only verify() proves that a fence names the right entry.
  uint64_t position(uint64_t rank) const;
  // The first rank whose key is not less than `key`; kNone when a fence or
  // entry on the way is damaged, rather than a rank that may be wrong.
  uint64_t lower_bound(Bytes key) const;
  // The first rank from `from` on whose key does not start with `prefix`,
  // or kNone as above; REQUIRES: from is lower_bound(prefix).
  uint64_t prefix_end(uint64_t from, Bytes prefix) const;

  // Everything open() does not check: each entry in the section with its key
  // ascending and valid UTF-8, each fence naming its entry, each key found
  // through the slots at its own entry, and no slot filled beyond the keys.
  // `offsets`, if given, receives every entry's record offset in order.
  Result<void> verify(std::vector<uint64_t>* offsets) const;

 private:
  uint64_t slot(uint64_t i) const { return format::load_be64(slots_ + width_ * i) >> shift_; }
  uint64_t fence(uint64_t j) const { return format::load_be64(fences_ + width_ * j) >> shift_; }
  uint64_t home(uint64_t h) const { return uint64_t((__uint128_t(h) * slot_count_) >> 64); }
  // Whether fence j leaves room for the entries around it.
  bool fence_fits(uint64_t j) const;
  // The first rank in [lo, hi) whose key fails `pred`, for a predicate true
  // on a prefix of the ranks.
  template <class Pred>
  uint64_t partition_point(uint64_t lo, Pred pred) const;

  Bytes index_;                  // the index section
  const uint8_t* slots_ = nullptr;
  const uint8_t* fences_ = nullptr;
  uint64_t num_keys_ = 0;
  uint64_t slot_count_ = 0;
  uint64_t seed_ = 0;
  uint64_t offset_mask_ = 0;
  uint64_t record_ = 0;
  uint64_t payload_len_ = 0;
  unsigned width_ = 4;
  unsigned shift_ = 32;  // 64 - 8 * width_
  unsigned offset_bits_ = 0;
  unsigned fence_shift_ = kFenceShift;
};

}  // namespace lookup
}  // namespace tarn
