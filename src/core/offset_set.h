// OffsetSet: membership of 64-bit record offsets within one call (the
// de-duplication of objects_raw and verify). Open addressing; the empty
// marker is an offset no record can have (records start at 40 or later, and
// the all-ones value is stored beside the table).
#pragma once

#include <cstdint>
#include <vector>

namespace tarn {

class OffsetSet {
 public:
  explicit OffsetSet(uint64_t expected) {
    uint64_t cap = 16;
    while (cap / 2 < expected) cap *= 2;
    slots_.assign(cap, kEmpty);
    mask_ = cap - 1;
  }

  // Adds `v`; true iff it was not there before.
  bool insert(uint64_t v) {
    if (v == kEmpty) {
      bool fresh = !has_empty_value_;
      has_empty_value_ = true;
      return fresh;
    }
    if ((count_ + 1) * 2 > slots_.size()) grow();
    for (uint64_t pos = spread(v) & mask_;; pos = (pos + 1) & mask_) {
      if (slots_[pos] == v) return false;
      if (slots_[pos] == kEmpty) {
        slots_[pos] = v;
        ++count_;
        return true;
      }
    }
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t(0);
  static uint64_t spread(uint64_t v) {
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdull;
    v ^= v >> 33;
    return v;
  }
  void grow() {
    std::vector<uint64_t> old(slots_.size() * 2, kEmpty);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (uint64_t v : old) {
      if (v == kEmpty) continue;
      uint64_t pos = spread(v) & mask_;
      while (slots_[pos] != kEmpty) pos = (pos + 1) & mask_;
      slots_[pos] = v;
    }
  }

  std::vector<uint64_t> slots_;
  uint64_t mask_ = 0;
  uint64_t count_ = 0;
  bool has_empty_value_ = false;
};

}  // namespace tarn
