#include "core/sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/crc32.h"
#include "core/format.h"
#include "core/lookup_index.h"

namespace tarn {
namespace {

using format::kEntryOverhead;
using format::kHeaderSize;

// The texts of a write that takes no bytes: callers match them exactly.
constexpr const char* kWholeBuffer = "failed to write whole buffer";
constexpr const char* kBufferedData = "failed to write the buffered data";

// Whole pieces of 2 MiB at offsets that are multiples of it: a file system
// that keeps large folios then keeps the written file in the page cache in
// folios of huge-page size, which every reader's mapping maps with one TLB
// entry each instead of 512 (see the mapping in reader.cc).
constexpr size_t kBufferSize = size_t(2) << 20;

// Writes through a buffer, keeping the CRC-32 of what it is asked to and
// telling the observer the progress after each write. The file is written
// from its start in whole buffers; the whole buffers within a larger piece
// go out directly from where they are.
class Output final : public RecordSink {
 public:
  Output(int fd, uint64_t total, BuildObserver* observer) : fd_(fd), total_(total), observer_(observer) {
    buf_.reserve(kBufferSize);
  }

  // Whether write() keeps the CRC-32 (off while a source with a known CRC
  // hands over its records).
  void set_checked(bool checked) { checked_ = checked; }

  Result<void> write(Bytes data) override {
    if (checked_) crc_.update(data);
    if (!buf_.empty() || data.size() < kBufferSize) {
      const size_t take = std::min(data.size(), kBufferSize - buf_.size());
      buf_.insert(buf_.end(), data.begin(), data.begin() + take);
      data = data.subspan(take);
      if (buf_.size() < kBufferSize) return Ok{};
      if (auto r = flush(); !r) return r;
    }
    const size_t whole = data.size() - data.size() % kBufferSize;
    if (whole) {
      if (auto r = put(data.first(whole), kWholeBuffer); !r) return r;
      data = data.subspan(whole);
    }
    buf_.insert(buf_.end(), data.begin(), data.end());
    return Ok{};
  }

  Result<void> flush() {
    if (buf_.empty()) return Ok{};
    auto r = put(buf_, kBufferedData);
    buf_.clear();
    return r;
  }

  // Continues the CRC-32 from `crc`, the value of everything before.
  void resume_crc(uint32_t crc) { crc_ = Crc32(crc); }
  uint32_t crc() const { return crc_.value(); }

 private:
  Result<void> put(Bytes data, const char* zero_write_text) {
    if (auto r = write_all(fd_, data.data(), data.size(), zero_write_text); !r) return r;
    written_ += data.size();
    if (observer_ && !observer_->on_progress(written_, total_)) return CoreError::IO(kBuildCancelled);
    return Ok{};
  }

  int fd_;
  uint64_t total_;
  BuildObserver* observer_;
  uint64_t written_ = 0;
  std::vector<uint8_t> buf_;
  Crc32 crc_;
  bool checked_ = true;
};

// Whether the temporary path still names the file being written: true up to
// the rename, after which the path may already be another build's.
bool still_temporary(const AtomicFile& file) {
  struct stat held, named;
  return ::fstat(file.fd(), &held) == 0 && ::lstat(file.temp_path().c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

Result<void> write_header(int fd, const format::Header& h) {
  uint8_t header[kHeaderSize];
  format::encode_header(h, header);
  for (;;) {
    const ssize_t n = ::pwrite(fd, header, kHeaderSize, 0);
    if (n == ssize_t(kHeaderSize)) return Ok{};
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CoreError::IO("", errno);
    return CoreError::IO(kBufferedData);  // a header write is never partial on a regular file
  }
}

// Header, records, lookup index record, index section.
Result<void> write_body(Output& out, int fd, const RecordSource& records, const KeySource& keys,
                        const std::vector<uint8_t>& lookup, format::Header header) {
  // The header goes in last, once the CRC is known: a zeroed placeholder
  // keeps the writes sequential.
  const uint8_t zeros[kHeaderSize] = {};
  out.set_checked(false);
  if (auto r = out.write({zeros, kHeaderSize}); !r) return r;
  out.set_checked(!records.has_crc());
  if (auto r = records.emit(out); !r) return r;
  if (records.has_crc()) out.resume_crc(records.crc());
  out.set_checked(true);
  if (!lookup.empty()) {
    if (auto r = out.write(lookup); !r) return r;
  }

  // Sorted order may visit the keys' bytes at random: the source requests
  // them a few steps ahead so that the misses overlap.
  constexpr uint64_t kAhead = 8;
  uint8_t entry[kEntryOverhead + format::kMaxKeyLen];
  const uint64_t n = keys.size();
  for (uint64_t j = 0; j < n; ++j) {
    keys.prefetch(j + kAhead);
    uint8_t* end = format::encode_index_entry(keys.key(j), keys.record_offset(j), entry);
    if (auto r = out.write({entry, size_t(end - entry)}); !r) return r;
  }
  if (auto r = out.flush(); !r) return r;
  header.file_crc32 = out.crc();
  return write_header(fd, header);
}

}  // namespace

Result<BuildReport> write_store(const std::string& path, const RecordSource& records, const KeySource& keys,
                                const SinkOptions& options, BuildObserver* observer) {
  const uint64_t n = keys.size();
  if (n > format::kMaxCount) return CoreError::Usage("key count would exceed the limit of 4294967295 keys");
  if (records.count() > format::kMaxCount) {
    return CoreError::Usage("object count would exceed the limit of 4294967295 objects");
  }
  const uint64_t index_len = kEntryOverhead * n + keys.key_bytes();

  // The lookup index is one more record, so it needs room in the count.
  std::vector<uint8_t> lookup;
  if (options.lookup_index && records.count() < format::kMaxCount) {
    lookup = lookup::build_record(keys, index_len);
  }

  format::Header header;
  header.num_keys = uint32_t(n);
  header.num_objects = uint32_t(records.count() + (lookup.empty() ? 0 : 1));
  header.index_offset = kHeaderSize + records.length() + lookup.size();
  if (!lookup.empty()) header.lookup_len = uint32_t(lookup.size() - format::kRecordPrefix);
  const uint64_t total = header.index_offset + index_len;

  auto opened = AtomicFile::open(path);
  if (!opened) return opened.error();
  AtomicFile file = std::move(*opened);
  const bool remove = options.leftover == SinkOptions::Leftover::kRemove;
  Output out(file.fd(), total, observer);
  if (auto r = write_body(out, file.fd(), records, keys, lookup, header); !r) {
    if (remove || r.error().detail() == kBuildCancelled) file.discard();
    return r.error();
  }
  if (auto r = file.commit(observer); !r) {
    // A cancelled commit has removed the file already; after the rename the
    // path is no longer ours to remove.
    if (remove && still_temporary(file)) file.discard();
    return r.error();
  }
  return BuildReport{records.count(), n, double(total) * 0.0009765625, total, uint64_t(lookup.size())};
}

}  // namespace tarn
