#include "core/writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/format.h"

namespace tarn {
namespace {

using format::kHeaderSize;
using format::kRecordPrefix;

constexpr const char* kWholeBuffer = "failed to write whole buffer";
constexpr const char* kBufferedData = "failed to write the buffered data";

}  // namespace

Result<uint64_t> WriterCore::add_object(std::span<const uint8_t> payload) {
  if (payload.size() > format::kMaxPayloadLen) {
    return CoreError::Usage("payload of " + std::to_string(payload.size()) +
                            " bytes exceeds the limit of 4294967295 bytes");
  }
  if (offsets_.size() >= format::kMaxCount) {
    return CoreError::Usage("object count would exceed the limit of 4294967295 objects");
  }
  // Every allocation comes before the first change.
  if (offsets_.size() == offsets_.capacity()) offsets_.reserve(std::max<size_t>(64, offsets_.size() * 2));
  uint8_t* rec = records_.alloc(kRecordPrefix + payload.size());

  if (!payload.empty()) std::memcpy(rec + kRecordPrefix, payload.data(), payload.size());
  format::encode_record_prefix(uint32_t(payload.size()), crc32(payload), rec);
  data_crc_.update({rec, kRecordPrefix + payload.size()});
  const uint64_t id = offsets_.size();
  offsets_.push_back(kHeaderSize + data_len_);
  data_len_ += kRecordPrefix + payload.size();
  return id;
}

Result<void> WriterCore::add_key(std::span<const uint8_t> key, uint64_t obj_id) {
  if (obj_id >= object_count()) {
    return CoreError::Usage("obj_id " + std::to_string(obj_id) + " out of range (have " +
                            std::to_string(object_count()) + " objects)");
  }
  if (key.size() > format::kMaxKeyLen) {
    return CoreError::Usage("key of " + std::to_string(key.size()) + " bytes exceeds the limit of 65535 bytes");
  }
  const uint64_t h = table_.hash(key);
  auto key_of = [this](uint32_t i) { return this->key_of(i); };
  if (uint32_t found = table_.find(key, h, key_of); found != KeyTable::kNone) {
    entries_[found].obj_id = uint32_t(obj_id);  // the last mapping of a key wins
    return Ok{};
  }
  if (entries_.size() >= format::kMaxCount) {
    return CoreError::Usage("key count would exceed the limit of 4294967295 keys");
  }
  // Every allocation comes before the first change.
  table_.reserve(entries_.size() + 1, key_of);
  if (entries_.size() == entries_.capacity()) entries_.reserve(std::max<size_t>(64, entries_.size() * 2));
  uint8_t* copy = keys_.alloc(key.size());

  if (!key.empty()) std::memcpy(copy, key.data(), key.size());
  const uint32_t idx = uint32_t(entries_.size());
  entries_.push_back({copy, uint32_t(obj_id), uint16_t(key.size())});
  (void)table_.upsert(key, h, idx, false, key_of);
  return Ok{};
}

Result<void> WriterCore::write_file(int fd, std::span<const uint32_t> order, BuildObserver* observer) const {
  uint64_t total = kHeaderSize + data_len_;
  for (const KeyEntry& e : entries_) total += format::kEntryOverhead + e.len;
  uint64_t written = 0;
  // Counts `n` more bytes written and asks the observer whether to go on.
  auto advance = [&](uint64_t n) -> Result<void> {
    written += n;
    if (observer && !observer->on_progress(written, total)) return CoreError::IO(kBuildCancelled);
    return Ok{};
  };

  // The header goes in last, once the CRC of the index is known: a zeroed
  // placeholder keeps the writes sequential.
  uint8_t header[kHeaderSize] = {};
  if (auto r = write_all(fd, header, kHeaderSize, kBufferedData); !r) return r;
  if (auto r = advance(kHeaderSize); !r) return r;

  Result<void> status = Ok{};
  records_.for_each_chunk([&](std::span<const uint8_t> chunk) {
    if (status) status = write_all(fd, chunk.data(), chunk.size(), kWholeBuffer);
    if (status) status = advance(chunk.size());
  });
  if (!status) return status;

  // The index section is encoded into a buffer and written as it fills.
  Crc32 crc = data_crc_;
  std::vector<uint8_t> buf;
  buf.reserve(1 << 20);
  auto flush = [&]() -> Result<void> {
    crc.update(buf);
    auto r = write_all(fd, buf.data(), buf.size(), kBufferedData);
    const size_t n = buf.size();
    buf.clear();
    if (!r) return r;
    return advance(n);
  };
  // Sorted order visits the entries, their key bytes and their objects'
  // offsets at random: prefetch each a few steps ahead so the misses overlap.
  constexpr size_t kAhead = 16;
  const size_t n = order.size();
  for (size_t j = 0; j < n; ++j) {
    if (j + kAhead < n) __builtin_prefetch(&entries_[order[j + kAhead]]);
    if (j + kAhead / 2 < n) {
      const KeyEntry& ahead = entries_[order[j + kAhead / 2]];
      __builtin_prefetch(ahead.bytes);
      __builtin_prefetch(&offsets_[ahead.obj_id]);
    }
    const KeyEntry& e = entries_[order[j]];
    const size_t need = format::kEntryOverhead + e.len;
    if (buf.capacity() - buf.size() < need) {
      if (auto r = flush(); !r) return r;
    }
    const size_t at = buf.size();
    buf.resize(at + need);
    format::encode_index_entry({e.bytes, e.len}, offsets_[e.obj_id], buf.data() + at);
  }
  if (auto r = flush(); !r) return r;

  format::Header h;
  h.num_keys = uint32_t(entries_.size());
  h.num_objects = uint32_t(offsets_.size());
  h.index_offset = kHeaderSize + data_len_;
  h.file_crc32 = crc.value();
  format::encode_header(h, header);
  for (;;) {
    ssize_t w = ::pwrite(fd, header, kHeaderSize, 0);
    if (w == ssize_t(kHeaderSize)) break;
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return CoreError::IO("", errno);
    return CoreError::IO(kBufferedData);  // a header write is never partial on a regular file
  }
  return Ok{};
}

Result<BuildReport> WriterCore::build(const std::string& path, BuildObserver* observer) const {
  // Sort key indices by key bytes; the 16-byte prefixes settle most
  // comparisons without touching the key arena.
  struct Sortable {
    uint64_t hi, lo;  // the first 16 key bytes, big-endian, zero-padded
    uint32_t idx;
    uint32_t len;
  };
  std::vector<Sortable> sortable;
  sortable.reserve(entries_.size());
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    auto k = key_of(i);
    uint8_t buf[16] = {};
    std::memcpy(buf, k.data(), std::min<size_t>(16, k.size()));
    sortable.push_back({format::load_be64(buf), format::load_be64(buf + 8), i, uint32_t(k.size())});
  }
  std::sort(sortable.begin(), sortable.end(), [this](const Sortable& a, const Sortable& b) {
    if (a.hi != b.hi) return a.hi < b.hi;
    if (a.lo != b.lo) return a.lo < b.lo;
    // Equal padded prefixes and a key of at most 16 bytes: it is a prefix of
    // the other (or equal to it), so the shorter one sorts first.
    if (a.len <= 16 || b.len <= 16) return a.len < b.len;
    return format::key_less(key_of(a.idx), key_of(b.idx));
  });
  std::vector<uint32_t> order;
  order.reserve(sortable.size());
  for (const auto& s : sortable) order.push_back(s.idx);
  std::vector<Sortable>().swap(sortable);

  auto opened = AtomicFile::open(path);
  if (!opened) return opened.error();
  AtomicFile file = std::move(*opened);
  if (auto r = write_file(file.fd(), order, observer); !r) {
    // A cancelled build takes its temporary file away; any other failure
    // leaves it for the next build to reuse.
    if (observer && r.error().detail() == kBuildCancelled) file.discard();
    return r.error();
  }
  if (auto r = file.commit(observer); !r) return r.error();

  BuildReport report{object_count(), key_count(), 0.0, 0};
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    report.file_size = uint64_t(st.st_size);
    report.size_kib = double(st.st_size) * 0.0009765625;
  }
  return report;
}

std::string summary_line(const std::string& path, const BuildReport& report) {
  char kib[64];
  // to_chars rounds the exact binary value, ties to even: 0.25 KiB prints 0.2.
  auto res = std::to_chars(kib, kib + sizeof kib, report.size_kib, std::chars_format::fixed, 1);
  std::string line = "\u2705  " + path + "  \u2014  " + std::to_string(report.objects) + " objects \u00b7 " +
                     std::to_string(report.keys) + " keys \u00b7 ";
  line.append(kib, res.ptr);
  line += " KB\n";
  return line;
}

std::optional<std::string> print_summary(const std::string& path, const BuildReport& report) {
  const std::string line = summary_line(path, report);
  const char* p = line.data();
  size_t n = line.size();
  while (n > 0) {
    ssize_t w = ::write(1, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EBADF) return std::nullopt;  // no standard output: the line is dropped
    if (w < 0) return "failed printing to stdout: " + os_error_text(errno);
    if (w == 0) return std::string("failed printing to stdout: failed to write whole buffer");
    p += w;
    n -= size_t(w);
  }
  return std::nullopt;
}

}  // namespace tarn
