#include "core/format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <cstring>

#include "core/crc32.h"

namespace tarn::format {

void encode_header(const Header& h, uint8_t out[kHeaderSize]) {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, kMagic, 4);
  out[4] = kVersion;
  store_be32(out + 8, h.num_keys);
  store_be32(out + 12, h.num_objects);
  store_be64(out + 16, h.index_offset);
  store_be64(out + 24, kHeaderSize);
  store_be32(out + 32, h.file_crc32);
  if (h.lookup_len != 0) {
    // "LX" and the record's version: lookup_index.h.
    out[5] = 'L';
    out[6] = 'X';
    out[7] = 1;
    store_be32(out + 36, h.lookup_len);
  }
}

void encode_record_prefix(uint32_t len, uint32_t crc, uint8_t out[kRecordPrefix]) {
  store_be32(out, len);
  store_be32(out + 4, crc);
}

void encode_object_record(Bytes payload, std::string& out) {
  uint8_t prefix[kRecordPrefix];
  encode_record_prefix(uint32_t(payload.size()), crc32(payload), prefix);
  out.append(reinterpret_cast<const char*>(prefix), kRecordPrefix);
  out.append(reinterpret_cast<const char*>(payload.data()), payload.size());
}

uint8_t* encode_index_entry(Bytes key, uint64_t record_offset, uint8_t* out) {
  store_be16(out, uint16_t(key.size()));
  if (!key.empty()) std::memcpy(out + 2, key.data(), key.size());
  store_be64(out + 2 + key.size(), record_offset);
  return out + kEntryOverhead + key.size();
}

void encode_index_entry(Bytes key, uint64_t record_offset, std::string& out) {
  const size_t at = out.size();
  out.resize(at + kEntryOverhead + key.size());
  encode_index_entry(key, record_offset, reinterpret_cast<uint8_t*>(out.data() + at));
}

std::string hex32(uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

CoreError file_crc_mismatch(uint32_t stored, uint32_t computed) {
  // Two blanks before each field: callers match this text exactly.
  return CoreError::Corrupt("file CRC32 mismatch  stored=" + hex32(stored) + "  computed=" + hex32(computed));
}

Result<void> check_file_crc(Bytes file, uint32_t stored) {
  uint32_t computed = crc32(file.subspan(kHeaderSize));
  if (computed != stored) return file_crc_mismatch(stored, computed);
  return Ok{};
}

void DataSection::Free::operator()(uint64_t* p) const { std::free(p); }

DataSection DataSection::walk(Bytes file, uint64_t end, uint64_t expected) {
  // Large enough for the whole-section CRC to run at full speed, small
  // enough that the records' own CRCs then find the chunk in cache.
  constexpr uint64_t kChunk = 128 << 10;
  DataSection d;
  // Records of up to a small page leave no page of the map untouched: those get
  // huge pages. calloc gives a large block as fresh zero pages, filled only
  // where written.
  constexpr uint64_t kDenseRecord = 4096;
  const uint64_t words = (end - kHeaderSize) / 128 + 1;  // 16 blocks of 8 bytes each
  if (words > SIZE_MAX / 8) throw std::bad_alloc();
  if (expected && (end - kHeaderSize) / expected <= kDenseRecord) {
    d.dense_ = PageArray<uint64_t>(size_t(words));
    d.bits_ = d.dense_.data();
  } else {
    d.sparse_.reset(static_cast<uint64_t*>(std::calloc(size_t(words), 8)));
    if (!d.sparse_) throw std::bad_alloc();
    d.bits_ = d.sparse_.get();
  }
  uint64_t* bits = d.bits_;

  const uint8_t* base = file.data();
  uint64_t pos = kHeaderSize;
  uint64_t records = 0;
  uint32_t crc = 0;
  bool broken = false;
  for (uint64_t chunk = kHeaderSize; chunk < end;) {
    const uint64_t chunk_end = end - chunk > kChunk ? chunk + kChunk : end;
    crc = crc32(file.subspan(chunk, chunk_end - chunk), crc);
    while (!broken && pos < chunk_end) {
      if (!fits(pos, kRecordPrefix, end)) {
        broken = true;
        break;
      }
      const uint64_t n = load_be32(base + pos);
      if (!fits(pos + kRecordPrefix, n, end)) {
        broken = true;
        break;
      }
      if (tarn::crc32({base + pos + kRecordPrefix, size_t(n)}) != load_be32(base + pos + 4)) [[unlikely]] {
        d.bad_crc_.push_back(pos);
      }
      const uint64_t at = pos - kHeaderSize;
      bits[at >> 7] |= (kPresent | (at & 7)) << ((at >> 1) & 60);
      ++records;
      pos += kRecordPrefix + n;
    }
    chunk = chunk_end;
  }
  d.records_ = records;
  d.reached_ = pos;
  d.broken_ = broken;
  d.crc_ = crc;
  return d;
}

bool DataSection::bad_crc_listed(uint64_t o) const { return std::binary_search(bad_crc_.begin(), bad_crc_.end(), o); }

Result<Header> parse_header(Bytes file, bool verify) {
  if (file.size() < kHeaderSize) return CoreError::Corrupt("file too small for header");
  const uint8_t* p = file.data();
  if (std::memcmp(p, kMagic, 4) != 0) {
    return CoreError::Corrupt("bad magic [" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " +
                              std::to_string(p[2]) + ", " + std::to_string(p[3]) + "]");
  }
  if (p[4] != kVersion) return CoreError::Version(p[4]);
  Header h;
  h.num_keys = load_be32(p + 8);
  h.num_objects = load_be32(p + 12);
  h.index_offset = load_be64(p + 16);
  h.file_crc32 = load_be32(p + 32);
  if (verify) {
    if (auto ok = check_file_crc(file, h.file_crc32); !ok) return ok.error();
  }
  return h;
}

Result<IndexEntry> read_index_entry(Bytes file, uint64_t pos) {
  const uint64_t size = file.size();
  if (!fits(pos, 2, size)) return CoreError::Corrupt("index section truncated (key_len)");
  const uint64_t k = load_be16(file.data() + pos);
  // pos + 2 <= size here, so pos + 2 cannot wrap.
  if (!fits(pos + 2, k + 8, size)) return CoreError::Corrupt("index section truncated (key + offset)");
  const uint8_t* key = file.data() + pos + 2;
  return IndexEntry{Bytes(key, k), load_be64(key + k), pos + 2 + k + 8};
}

CoreError record_out_of_bounds(uint64_t offset) {
  return CoreError::Corrupt("offset " + std::to_string(offset) + " out of bounds");
}

CoreError record_beyond_end(uint64_t offset) {
  return CoreError::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

}  // namespace tarn::format
