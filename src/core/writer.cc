#include "core/writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/fd.h"
#include "core/format.h"
#include "core/temp_path.h"

namespace tarn {
namespace {

using format::kHeaderSize;
using format::kRecordPrefix;

constexpr const char* kWholeBuffer = "failed to write whole buffer";
constexpr const char* kBufferedData = "failed to write the buffered data";
constexpr const char* kCancelled = "build cancelled";

// Writes all of [p, p + n), resuming after signals and partial writes.
Result<void> write_all(int fd, const uint8_t* p, size_t n, const char* zero_write_text) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return CoreError::IO("", errno);
    }
    if (w == 0) return CoreError::IO(zero_write_text);
    p += w;
    n -= size_t(w);
  }
  return Ok{};
}

// Opens the temporary file and takes an exclusive lock on it. Another build
// to the same temporary path may have renamed the file we opened into place
// while we waited for the lock; the path then names another file (or none),
// and we start over, so that we never write into what is already some other
// build's finished target. The lock is held until the descriptor is closed.
Result<Fd> open_locked(const std::string& tmp) {
  for (;;) {
    const int raw = no_eintr([&] { return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666); });
    if (raw < 0) return CoreError::IO("open tmp: ", errno);
    Fd fd(raw);
    if (no_eintr([&] { return ::flock(fd.get(), LOCK_EX); }) < 0) return CoreError::IO("lock tmp: ", errno);
    struct stat held, named;
    if (::fstat(fd.get(), &held) < 0) return CoreError::IO("lock tmp: ", errno);
    if (::stat(tmp.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      return fd;
    }
  }
}

// The directory holding `path`, for the sync after the rename.
std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the rename durable. Filesystems that cannot sync a directory say so
// with EINVAL or ENOTSUP; there is nothing more to be done on them.
Result<void> sync_dir(const std::string& dir) {
  const int raw = no_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (raw < 0) return CoreError::IO("sync dir: ", errno);
  Fd fd(raw);
  if (no_eintr([&] { return ::fsync(fd.get()); }) < 0 && errno != EINVAL && errno != ENOTSUP) return CoreError::IO("sync dir: ", errno);
  return Ok{};
}


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
    if (observer && !observer->on_progress(written, total)) return CoreError::IO(kCancelled);
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
  const std::string tmp = temp_path_for(path);

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

  // Checked on the target itself: deriving the temporary path can drop a NUL
  // that sits in the extension, and the rename would then act on a cut name.
  if (path.find('\0') != std::string::npos) {
    return CoreError::IO("open tmp: file name contained an unexpected NUL byte");
  }
  auto opened = open_locked(tmp);
  if (!opened) return opened.error();
  Fd fd = std::move(*opened);

  // Truncate only under the lock: a leftover temporary file is reused.
  if (no_eintr([&] { return ::ftruncate(fd.get(), 0); }) < 0) return CoreError::IO("", errno);

  if (auto r = write_file(fd.get(), order, observer); !r) {
    // A cancelled build takes its temporary file away; it still holds the
    // lock, so no other build is writing into it.
    if (observer && r.error().detail() == kCancelled) (void)::unlink(tmp.c_str());
    return r.error();
  }
  if (no_eintr([&] { return ::fsync(fd.get()); }) < 0) return CoreError::IO("", errno);
  // The last moment a build can still be called off: after the sync, before
  // the rename.
  if (observer && !observer->before_rename()) {
    (void)::unlink(tmp.c_str());
    return CoreError::IO(kCancelled);
  }

  if (::rename(tmp.c_str(), path.c_str()) < 0) return CoreError::IO("rename: ", errno);
  if (auto r = sync_dir(parent_dir(tmp)); !r) return r.error();
  fd = Fd();  // releases the lock, after the rename

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
