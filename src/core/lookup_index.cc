#include "core/lookup_index.h"

#include <bit>
#include <cstring>

#include "core/crc32.h"
#include "core/hash.h"
#include "core/sink.h"
#include "core/utf8.h"

namespace tarn::lookup {
namespace {

using format::fits;
using format::load_be16;
using format::load_be32;
using format::load_be64;

std::string n(uint64_t v) { return std::to_string(v); }

CoreError bad(const std::string& what) { return CoreError::Corrupt("lookup index: " + what); }

void store_be(uint8_t* p, unsigned width, uint64_t v) {
  for (unsigned b = 0; b < width; ++b) p[b] = uint8_t(v >> (8 * (width - 1 - b)));
}

bool starts_with(Bytes key, Bytes prefix) {
  return key.size() >= prefix.size() && (prefix.empty() || std::memcmp(key.data(), prefix.data(), prefix.size()) == 0);
}

}  // namespace

std::vector<uint8_t> build_record(const KeySource& keys, uint64_t index_len) {
  const uint64_t count = keys.size();
  const unsigned offset_bits = std::max(1u, unsigned(std::bit_width(index_len)));
  const unsigned width = std::min(8u, std::max(4u, (offset_bits + kMinTagBits + 7) / 8));
  // A load of at most 3/4: short probes, mostly within one cache line.
  const uint64_t slot_count = count + count / 3 + 1;
  const uint64_t fence_count = count ? ((count - 1) >> kFenceShift) + 1 : 0;
  const uint64_t payload = (slot_count + fence_count) * width + kTrailerSize;
  if (payload > format::kMaxPayloadLen) return {};

  std::vector<uint8_t> record(format::kRecordPrefix + payload, 0);
  uint8_t* slots = record.data() + format::kRecordPrefix;
  uint8_t* fences = slots + slot_count * width;
  const uint64_t tag_mask = (uint64_t(1) << (8 * width - offset_bits)) - 1;
  auto home = [&](uint64_t h) { return uint64_t((__uint128_t(h) * slot_count) >> 64); };
  auto insert = [&](uint64_t h, uint64_t pos) {
    const uint64_t value = (h & tag_mask) << offset_bits | (pos + 1);
    for (uint64_t i = home(h);; i = i + 1 == slot_count ? 0 : i + 1) {
      uint8_t* s = slots + i * width;
      bool empty = true;
      for (unsigned b = 0; b < width && empty; ++b) empty = s[b] == 0;
      if (empty) {
        store_be(s, width, value);
        return;
      }
    }
  };

  // Entries go into the slots a few keys behind their hashing, with their
  // home slots requested meanwhile: a large table misses the cache on nearly
  // every insert, and this overlaps the misses.
  constexpr uint64_t kLag = 16;
  struct Pending {
    uint64_t hash, pos;
  };
  Pending pending[kLag];
  constexpr uint64_t kAhead = 8;
  uint64_t pos = 0;
  Bytes prev;
  for (uint64_t j = 0; j < count; ++j) {
    keys.prefetch(j + kAhead);
    const Bytes key = keys.key(j);
    if ((j > 0 && !format::key_less(prev, key)) || !utf8_valid(key)) return {};
    if ((j & ((uint64_t(1) << kFenceShift) - 1)) == 0) store_be(fences + (j >> kFenceShift) * width, width, pos);
    const uint64_t h = hash_bytes(key.data(), key.size(), kSeed);
    __builtin_prefetch(slots + home(h) * width, 1);
    Pending& p = pending[j % kLag];
    if (j >= kLag) insert(p.hash, p.pos);
    p = {h, pos};
    pos += format::kEntryOverhead + key.size();
    prev = key;
  }
  for (uint64_t j = count > kLag ? count - kLag : 0; j < count; ++j) insert(pending[j % kLag].hash, pending[j % kLag].pos);

  uint8_t* t = record.data() + record.size() - kTrailerSize;
  format::store_be64(t, count);
  format::store_be64(t + 8, index_len);
  format::store_be64(t + 16, slot_count);
  format::store_be64(t + 24, kSeed);
  t[32] = uint8_t(width);
  t[33] = uint8_t(offset_bits);
  t[34] = uint8_t(kFenceShift);
  std::memcpy(t + 40, kTrailerMagic, 4);
  format::store_be16(t + 44, kKind);
  format::store_be16(t + 46, kVersion);
  const Bytes body(record.data() + format::kRecordPrefix, payload);
  format::encode_record_prefix(uint32_t(payload), crc32(body), record.data());
  return record;
}

Result<LookupIndex> LookupIndex::open(Bytes file, const format::Header& header) {
  if (!announced(file)) return bad("the header announces none");
  const uint8_t* base = file.data();
  const uint64_t size = file.size();
  const uint64_t io = header.index_offset;
  const uint64_t len = load_be32(base + 36);
  if (io < format::kHeaderSize || io > size) return bad("index offset " + n(io) + " lies outside the file");
  if (io - format::kHeaderSize < format::kRecordPrefix + len) {
    return bad("a record of " + n(len) + " bytes does not fit before the index section at " + n(io));
  }
  const uint64_t rec = io - format::kRecordPrefix - len;
  if (load_be32(base + rec) != len) {
    return bad("the record at " + n(rec) + " holds " + n(load_be32(base + rec)) + " bytes, the header says " + n(len));
  }
  if (len < kTrailerSize) return bad("a record of " + n(len) + " bytes has no room for its trailer");
  const uint8_t* t = base + rec + format::kRecordPrefix + len - kTrailerSize;
  if (std::memcmp(t + 40, kTrailerMagic, 4) != 0 || load_be16(t + 44) != kKind || load_be16(t + 46) != kVersion) {
    return bad("unknown kind " + n(load_be16(t + 44)) + " version " + n(load_be16(t + 46)));
  }
  if (t[35] != 0 || load_be32(t + 36) != 0) return bad("reserved trailer bytes are not zero");
  LookupIndex x;
  x.num_keys_ = load_be64(t);
  const uint64_t index_len = load_be64(t + 8);
  x.slot_count_ = load_be64(t + 16);
  x.seed_ = load_be64(t + 24);
  x.width_ = t[32];
  x.offset_bits_ = t[33];
  x.fence_shift_ = t[34];
  if (x.num_keys_ != header.num_keys) return bad("counts " + n(x.num_keys_) + " keys, the header " + n(header.num_keys));
  if (index_len != size - io) {
    return bad("covers an index section of " + n(index_len) + " bytes, the file holds " + n(size - io));
  }
  if (x.width_ < 4 || x.width_ > 8 || x.offset_bits_ < 1 || x.offset_bits_ >= 8 * x.width_ || x.fence_shift_ > 32) {
    return bad("slot width " + n(x.width_) + ", offset bits " + n(x.offset_bits_) + " and fence shift " +
               n(x.fence_shift_) + " do not go together");
  }
  x.offset_mask_ = (uint64_t(1) << x.offset_bits_) - 1;
  if (index_len > x.offset_mask_) return bad(n(x.offset_bits_) + " offset bits cannot name every entry");
  if (index_len / format::kEntryOverhead < x.num_keys_) {
    return bad("an index section of " + n(index_len) + " bytes cannot hold " + n(x.num_keys_) + " keys");
  }
  const uint64_t fence_count = x.num_keys_ ? ((x.num_keys_ - 1) >> x.fence_shift_) + 1 : 0;
  const uint64_t room = (len - kTrailerSize) / x.width_;
  if (x.slot_count_ <= x.num_keys_ || x.slot_count_ > room || room - x.slot_count_ != fence_count ||
      (len - kTrailerSize) % x.width_ != 0) {
    return bad(n(x.slot_count_) + " slots and " + n(fence_count) + " fences of " + n(x.width_) +
               " bytes do not fill a record of " + n(len) + " bytes");
  }
  x.index_ = file.subspan(io);
  x.slots_ = base + rec + format::kRecordPrefix;
  x.fences_ = x.slots_ + x.slot_count_ * x.width_;
  x.shift_ = 64 - 8 * x.width_;
  x.record_ = rec;
  x.payload_len_ = len;
  if (x.num_keys_ && x.fence(0) != 0) return bad("the first fence names position " + n(x.fence(0)) + ", not 0");
  return x;
}

uint64_t LookupIndex::guess(uint64_t h) const {
  const uint64_t tag = h & ((uint64_t(1) << (8 * width_ - offset_bits_)) - 1);
  uint64_t i = home(h);
  for (int step = 0; step < 8; ++step) {
    const uint64_t s = slot(i);
    if (s == 0) return kNone;
    if ((s >> offset_bits_) == tag) return (s & offset_mask_) - 1;
    if (++i == slot_count_) i = 0;
  }
  return kNone;
}

bool LookupIndex::fence_fits(uint64_t j) const {
  // Each entry takes at least kEntryOverhead bytes: fence j lies at least a
  // block's worth of entries above fence j - 1 and below fence j + 1 (or the
  // end of the section, with room for the keys left). This catches a zeroed
  // or shifted fence at the cost of two loads; verify() checks every fence
  // at its entry.
  const uint64_t block = uint64_t(1) << fence_shift_;
  const uint64_t min_block = block * format::kEntryOverhead;
  const uint64_t at = fence(j);
  if (j > 0) {
    const uint64_t before = fence(j - 1);
    if (at < before || at - before < min_block) return false;
  }
  const uint64_t first = j << fence_shift_;
  const bool last = num_keys_ - first <= block;
  const uint64_t above = last ? index_.size() : fence(j + 1);
  const uint64_t need = (last ? num_keys_ - first : block) * format::kEntryOverhead;
  return at <= above && above - at >= need;
}

uint64_t LookupIndex::position(uint64_t rank) const {
  if (rank >= num_keys_) return kNone;
  if (!fence_fits(rank >> fence_shift_)) return kNone;
  uint64_t pos = fence(rank >> fence_shift_);
  const uint64_t hops = rank & ((uint64_t(1) << fence_shift_) - 1);
  Entry e;
  for (uint64_t i = 0; i < hops; ++i) {
    if (!entry(pos, &e)) return kNone;
    pos = e.next;
  }
  return pos;
}

template <class Pred>
uint64_t LookupIndex::partition_point(uint64_t lo, Pred pred) const {
  if (lo >= num_keys_) return num_keys_;
  // First among the fences above lo, then entry by entry within one block.
  const uint64_t block = uint64_t(1) << fence_shift_;
  const uint64_t fence_count = ((num_keys_ - 1) >> fence_shift_) + 1;
  uint64_t a = (lo >> fence_shift_) + 1, b = fence_count;  // fences a.. lie above lo
  while (a < b) {
    const uint64_t mid = a + (b - a) / 2;
    Entry e;
    if (!fence_fits(mid) || !entry(fence(mid), &e)) return kNone;
    if (pred(e.key)) {
      a = mid + 1;
    } else {
      b = mid;
    }
  }
  // Fence a (if any) fails; everything from lo up to fence a - 1 passes.
  uint64_t start = std::max(lo, (a - 1) << fence_shift_);
  const uint64_t end = std::min(num_keys_, a * block);
  uint64_t pos = position(start);
  Entry e;
  for (uint64_t r = start; r < end; ++r) {
    if (pos == kNone || !entry(pos, &e)) return kNone;
    if (!pred(e.key)) return r;
    pos = e.next;
  }
  return end;
}

uint64_t LookupIndex::lower_bound(Bytes key) const {
  return partition_point(0, [&](Bytes k) { return format::key_less(k, key); });
}

uint64_t LookupIndex::prefix_end(uint64_t from, Bytes prefix) const {
  return partition_point(from, [&](Bytes k) { return starts_with(k, prefix); });
}

Result<void> LookupIndex::verify(std::vector<uint64_t>* offsets) const {
  const uint64_t mask = (uint64_t(1) << fence_shift_) - 1;
  // The section, entry by entry: bounds, order, text, fences.
  uint64_t pos = 0;
  Bytes prev;
  if (offsets) offsets->reserve(num_keys_);
  for (uint64_t r = 0; r < num_keys_; ++r) {
    if ((r & mask) == 0 && fence(r >> fence_shift_) != pos) {
      return bad("fence #" + n(r >> fence_shift_) + " names position " + n(fence(r >> fence_shift_)) + ", key #" +
                 n(r) + " starts at " + n(pos));
    }
    Entry e;
    if (!entry(pos, &e)) return bad("key #" + n(r) + " at position " + n(pos) + " runs past the end of the file");
    if (r > 0 && !format::key_less(prev, e.key)) return bad("key #" + n(r) + " does not sort after key #" + n(r - 1));
    if (!utf8_valid(e.key)) return bad("key #" + n(r) + " is not valid UTF-8");
    if (offsets) offsets->push_back(e.record_offset);
    prev = e.key;
    pos = e.next;
  }
  if (pos != index_.size()) {
    return bad("the " + n(num_keys_) + " keys end at position " + n(pos) + " of an index section of " +
               n(index_.size()) + " bytes");
  }
  // Each key through the slots, at its own entry.
  pos = 0;
  for (uint64_t r = 0; r < num_keys_; ++r) {
    Entry e;
    (void)entry(pos, &e);  // the walk above found them all
    const uint64_t found = find(e.key, hash(e.key));
    if (found != pos) {
      return bad("key #" + n(r) + " is not found at its entry (position " + n(pos) + ")" +
                 (found == kNone ? std::string() : ", a slot names position " + n(found)));
    }
    pos = e.next;
  }
  // Every key took a slot of its own; any other filled slot names no entry.
  uint64_t filled = 0;
  for (uint64_t i = 0; i < slot_count_; ++i) filled += slot(i) != 0;
  if (filled != num_keys_) {
    return bad(n(filled) + " slots are filled for " + n(num_keys_) + " keys: " + n(filled - num_keys_) +
               " name no entry start");
  }
  return Ok{};
}

}  // namespace tarn::lookup
