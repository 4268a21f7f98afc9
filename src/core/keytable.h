// KeyTable: a compact open-addressing set of entry indices, keyed by bytes.
//
// The table stores no keys: each slot is one 32-bit word holding an entry
// index (plus one, 0 marks an empty slot) in its low bits and, in the bits the
// index does not need, a fragment of the key's hash. A probe compares that
// fragment first and reads the key (through the caller's KeyOf, mapping an
// entry index to its bytes) only when it matches, so most mismatches cost no
// key comparison. Linear probing, power-of-two capacity, load at most 7/8.
//
// Not synchronised: a writer mutates its table under an exclusive borrow; a
// reader fills its table at open and only reads it afterwards.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>

#include "core/hash.h"
#include "core/page_array.h"

namespace tarn {

// Whether two n-byte strings are equal; keys of 8 to 16 bytes, the common
// case, by two overlapping 8-byte loads instead of a library call.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n - 8 <= 8) {
    uint64_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || std::memcmp(a, b, n) == 0;
}

class KeyTable {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  KeyTable() : seed_(random_seed()) {}

  uint64_t hash(std::span<const uint8_t> key) const { return hash_bytes(key.data(), key.size(), seed_); }

  // Makes room for `n` entries; KeyOf(uint32_t) -> span of the entry's key.
  template <class KeyOf>
  void reserve(uint64_t n, const KeyOf& key_of) {
    if (n <= limit_ && !slots_.empty()) return;
    uint64_t cap = 8;
    while (cap - cap / 8 < n) cap *= 2;
    if (cap > (uint64_t(1) << 32)) throw std::bad_alloc();
    rebuild(cap, key_of);
  }

  // Starts loading the home slot of hash h, for a probe a little later.
  void prefetch(uint64_t h) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_], 1);
  }

  // The entry index of `key` (with hash h), or kNone.
  template <class KeyOf>
  uint32_t find(std::span<const uint8_t> key, uint64_t h, const KeyOf& key_of) const {
    if (count_ == 0) return kNone;
    const uint32_t tag = tag_of(h);
    for (uint64_t pos = h & mask_;; pos = (pos + 1) & mask_) {
      const uint32_t s = slots_[pos];
      if (s == 0) return kNone;
      if ((s & ~index_mask_) == tag) {
        const uint32_t idx = (s & index_mask_) - 1;
        auto k = key_of(idx);
        if (k.size() == key.size() && same_bytes(k.data(), key.data(), key.size())) return idx;
      }
    }
  }

  // The first entry index, among the few slots from the home slot of hash h
  // on, whose tag matches h's; kNone at an empty slot or after those few.
  // Slot reads only, no key comparison, and nearly all in the home slot's
  // cache line: a guess that lets a batch of lookups prefetch an entry
  // before the real probe, not an answer.
  uint32_t candidate(uint64_t h) const {
    if (count_ == 0) return kNone;
    const uint32_t tag = tag_of(h);
    uint64_t pos = h & mask_;
    for (int step = 0; step < 8; ++step, pos = (pos + 1) & mask_) {
      const uint32_t s = slots_[pos];
      if (s == 0) return kNone;
      if ((s & ~index_mask_) == tag) return (s & index_mask_) - 1;
    }
    return kNone;
  }

  // Finds `key`; if absent, inserts entry `fresh` for it and returns kNone.
  // If present, returns its entry index and, when `replace` is set, makes the
  // slot name `fresh` instead. REQUIRES: reserve() made room for one more.
  template <class KeyOf>
  uint32_t upsert(std::span<const uint8_t> key, uint64_t h, uint32_t fresh, bool replace, const KeyOf& key_of) {
    const uint32_t tag = tag_of(h);
    for (uint64_t pos = h & mask_;; pos = (pos + 1) & mask_) {
      uint32_t& s = slots_[pos];
      if (s == 0) {
        s = tag | (fresh + 1);
        ++count_;
        return kNone;
      }
      if ((s & ~index_mask_) == tag) {
        const uint32_t idx = (s & index_mask_) - 1;
        auto k = key_of(idx);
        if (k.size() == key.size() && same_bytes(k.data(), key.data(), key.size())) {
          if (replace) s = tag | (fresh + 1);
          return idx;
        }
      }
    }
  }

 private:
  uint32_t tag_of(uint64_t h) const { return static_cast<uint32_t>(h >> 32) & ~index_mask_; }

  // Re-inserts every entry into a fresh array of `cap` slots. The new array is
  // allocated before anything changes, so a failed allocation leaves the table
  // as it was.
  template <class KeyOf>
  void rebuild(uint64_t cap, const KeyOf& key_of) {
    PageArray<uint32_t> fresh(cap);  // zero-filled: every slot empty
    unsigned bits = 0;
    while ((uint64_t(1) << bits) < cap) ++bits;
    const uint32_t new_index_mask = bits >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << bits) - 1;
    const uint64_t new_mask = cap - 1;
    for (uint32_t s : slots_) {
      if (s == 0) continue;
      const uint32_t idx = (s & index_mask_) - 1;
      const uint64_t h = hash(key_of(idx));
      uint64_t pos = h & new_mask;
      while (fresh[pos] != 0) pos = (pos + 1) & new_mask;
      fresh[pos] = (static_cast<uint32_t>(h >> 32) & ~new_index_mask) | (idx + 1);
    }
    slots_.swap(fresh);
    mask_ = new_mask;
    limit_ = cap - cap / 8;
    index_mask_ = new_index_mask;
  }

  uint64_t seed_;
  PageArray<uint32_t> slots_;
  uint64_t mask_ = 0;
  uint64_t limit_ = 0;  // entries allowed before the table grows
  uint64_t count_ = 0;
  uint32_t index_mask_ = 0;
};

}  // namespace tarn
