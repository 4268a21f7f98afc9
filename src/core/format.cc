#include "core/format.h"

#include <cstdio>
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

Result<void> check_file_crc(Bytes file, uint32_t stored) {
  uint32_t computed = crc32(file.subspan(kHeaderSize));
  if (computed != stored) {
    return CoreError::Corrupt("file CRC32 mismatch  stored=" + hex32(stored) + "  computed=" + hex32(computed));
  }
  return Ok{};
}

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
