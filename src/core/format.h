// The byte layout of a .tndb file, and everything that encodes or decodes it.
//
// A file is three regions back to back, with no padding anywhere:
//
//   header   40 bytes at offset 0
//            0  magic "TNDB"         4  version (2)        5  reserved (3)
//            8  num_keys    u32      12 num_objects u32
//            16 index_offset u64     24 data_offset u64 (always 40)
//            32 file_crc32  u32      36 reserved (4)
//            (a file that carries a lookup index uses reserved bytes 5..7
//            and 36..39 to find it: lookup_index.h)
//   data     from 40 to index_offset: object records in object-ID order
//            record = payload length u32, payload CRC-32 u32, payload
//   index    from index_offset to the end: entries in ascending key order
//            entry = key length u16, key bytes, record offset u64
//
// Every integer is big-endian. file_crc32 covers bytes [40, end): the header
// itself is not protected, so every length and offset read from a file is
// checked against the file's length before use, in a form that cannot wrap.
//
// The encoders do no checking; the decoders look only at [0, file.size()).
// Everything here is pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/page_array.h"

namespace tarn::format {

using Bytes = std::span<const uint8_t>;

inline constexpr size_t kHeaderSize = 40;
inline constexpr uint8_t kVersion = 2;
inline constexpr size_t kRecordPrefix = 8;  // payload length, payload CRC-32
inline constexpr size_t kEntryOverhead = 10;  // key length before, record offset after
inline constexpr uint8_t kMagic[4] = {'T', 'N', 'D', 'B'};

// What the field widths allow.
inline constexpr uint64_t kMaxKeyLen = 0xFFFF;
inline constexpr uint64_t kMaxPayloadLen = 0xFFFFFFFFu;
inline constexpr uint64_t kMaxCount = 0xFFFFFFFFu;

inline uint16_t load_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
// Fields sit at any byte position: load through memcpy, which compiles to one
// unaligned load.
inline uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint64_t load_be64(const uint8_t* p) {
  uint64_t v;
  __builtin_memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline void store_be16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void store_be32(uint8_t* p, uint32_t v) { v = __builtin_bswap32(v); __builtin_memcpy(p, &v, 4); }
inline void store_be64(uint8_t* p, uint64_t v) { v = __builtin_bswap64(v); __builtin_memcpy(p, &v, 8); }

// a < b in index order: unsigned bytes, a proper prefix first.
inline bool key_less(Bytes a, Bytes b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n ? __builtin_memcmp(a.data(), b.data(), n) : 0;
  return c < 0 || (c == 0 && a.size() < b.size());
}

// True iff [off, off + len) lies inside a buffer of `size` bytes, without
// forming off + len.
inline bool fits(uint64_t off, uint64_t len, uint64_t size) { return off <= size && size - off >= len; }

struct Header {
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = kHeaderSize;
  uint32_t file_crc32 = 0;
  // The payload length of the lookup index record (lookup_index.h), 0 for a
  // file without one. Kept in reserved header bytes the layout leaves free.
  uint32_t lookup_len = 0;
};

// Writes the 40 header bytes: magic, version 2, the fields, data_offset 40
// and zero reserved bytes, except where lookup_len announces a lookup index.
void encode_header(const Header& h, uint8_t out[kHeaderSize]);

// The 8-byte prefix of an object record: payload length and payload CRC-32.
void encode_record_prefix(uint32_t len, uint32_t crc, uint8_t out[kRecordPrefix]);

// Appends an object record (prefix and payload) to `out`.
void encode_object_record(Bytes payload, std::string& out);

// Writes an index entry at `out` and returns the end of what it wrote.
// REQUIRES: key.size() <= kMaxKeyLen and kEntryOverhead + key.size() bytes of room.
uint8_t* encode_index_entry(Bytes key, uint64_t record_offset, uint8_t* out);

// Appends an index entry to `out`. REQUIRES: key.size() <= kMaxKeyLen.
void encode_index_entry(Bytes key, uint64_t record_offset, std::string& out);

// Checks size, magic and version in that order, decodes the fields, and when
// `verify` is set compares file_crc32 with the CRC-32 of [40, end).
Result<Header> parse_header(Bytes file, bool verify);

// The CRC-32 comparison of parse_header on its own (also used by verify()).
Result<void> check_file_crc(Bytes file, uint32_t stored);
// Its error: "file CRC32 mismatch  stored=0x...  computed=0x...".
CoreError file_crc_mismatch(uint32_t stored, uint32_t computed);

// The data section [40, end) read as object records back to back, as the
// layout has them. The walk stops at the end or at the first record that
// runs past it; the records before that are known by their starts.
//
// The starts are kept in a map that a lookup reads with one memory access,
// requested ahead. A record takes at least its 8-byte prefix, so each aligned
// 8-byte block of the section holds at most one start: the map gives each
// block four bits, the start's position in the block plus a presence bit,
// and takes a sixteenth of the section's length in address space. For small records it is
// placed on huge pages (few faults, few TLB misses); for large ones on small
// pages that are only filled where records start, so that most stay
// untouched.
class DataSection {
 public:
  DataSection() = default;
  DataSection(DataSection&&) noexcept = default;
  DataSection& operator=(DataSection&&) noexcept = default;

  // Walks [40, end) of `file`, whose header announces `expected` records
  // (which only chooses the map's pages). REQUIRES: 40 <= end <= file.size().
  // Each payload's CRC-32 is compared with its stored one, and the CRC-32 of
  // [40, end) is computed in the same pass, a cache-sized chunk at a time,
  // so that the section is read from memory once.
  // Throws std::bad_alloc when the map cannot be had.
  static DataSection walk(Bytes file, uint64_t end, uint64_t expected);

  // The CRC-32 of [40, end), to be continued over the index section.
  uint32_t crc() const { return crc_; }
  // The number of whole records found.
  uint64_t records() const { return records_; }
  // The walk covers [40, reached()): reached() is the end of the section, or
  // the start of the record that runs past it (broken()).
  uint64_t reached() const { return reached_; }
  bool broken() const { return broken_; }
  // Whether a record starts at `o`. REQUIRES: 40 <= o < reached().
  bool is_start(uint64_t o) const {
    const uint64_t at = o - kHeaderSize;
    return ((bits_[at >> 7] >> ((at >> 1) & 60)) & 0xF) == (kPresent | (at & 7));
  }
  // Requests the memory is_start(o) reads; any `o` may be given.
  void prefetch(uint64_t o) const {
    if (o >= kHeaderSize && o < reached_) __builtin_prefetch(&bits_[(o - kHeaderSize) >> 7]);
  }
  // Whether the record at start `o` holds a payload that fails its CRC-32.
  bool bad_crc(uint64_t o) const { return !bad_crc_.empty() && bad_crc_listed(o); }

 private:
  bool bad_crc_listed(uint64_t o) const;
  struct Free {
    void operator()(uint64_t* p) const;
  };
  PageArray<uint64_t> dense_;                // the map for small records,
  std::unique_ptr<uint64_t[], Free> sparse_;  // or for large ones
  // Nibble b of the map (bits 4(b mod 16) up in word b / 16): kPresent | r
  // when a record starts at 40 + 8b + r, else 0.
  static constexpr uint64_t kPresent = 8;
  uint64_t* bits_ = nullptr;
  std::vector<uint64_t> bad_crc_;           // ascending record starts
  uint64_t records_ = 0;
  uint64_t reached_ = kHeaderSize;
  bool broken_ = false;
  uint32_t crc_ = 0;
};

struct IndexEntry {
  Bytes key;
  uint64_t record_offset;
  uint64_t next;  // position of the following entry
};

// Decodes the index entry at position `pos`.
Result<IndexEntry> read_index_entry(Bytes file, uint64_t pos);

// The errors of read_object, out of line so that the lookup path stays short.
CoreError record_out_of_bounds(uint64_t offset);
CoreError record_beyond_end(uint64_t offset);

// The payload of the record at `offset`, bounds-checked but not CRC-checked.
// The span points into `file`; callers copy it out.
inline Result<Bytes> read_object(Bytes file, uint64_t offset) {
  const uint64_t size = file.size();
  if (!fits(offset, kRecordPrefix, size)) [[unlikely]] return record_out_of_bounds(offset);
  const uint64_t n = load_be32(file.data() + offset);
  if (!fits(offset + kRecordPrefix, n, size)) [[unlikely]] return record_beyond_end(offset);
  return Bytes(file.data() + offset + kRecordPrefix, n);
}

// "0x" and eight lower-case hexadecimal digits.
std::string hex32(uint32_t v);

}  // namespace tarn::format
