#include "core/merge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "core/crc32.h"
#include "core/format.h"

namespace tarn {
namespace {

using format::kEntryOverhead;
using format::kHeaderSize;
using format::kRecordPrefix;

constexpr size_t kBufferSize = 1 << 20;

int compare(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// One output object: where its record is read from.
struct Copy {
  uint32_t source;
  uint64_t offset;  // of the record in the source's file
  uint32_t payload_len;
};

struct SourceRecord {
  uint32_t source;
  uint64_t offset;
  bool operator==(const SourceRecord&) const = default;
};

struct SourceRecordHash {
  size_t operator()(const SourceRecord& r) const { return std::hash<uint64_t>()(r.offset * 0x9E3779B97F4A7C15ull ^ r.source); }
};

// Writes through a buffer, keeping the CRC-32 of everything after the
// header and telling the observer the progress after each write.
class Output {
 public:
  Output(int fd, uint64_t total, BuildObserver* observer) : fd_(fd), total_(total), observer_(observer) {
    buf_.reserve(kBufferSize);
  }

  Result<void> append(std::span<const uint8_t> data, bool checked) {
    if (buf_.size() + data.size() > kBufferSize) {
      if (auto r = flush(); !r) return r;
    }
    if (data.size() >= kBufferSize) return put(data, checked);
    buf_.insert(buf_.end(), data.begin(), data.end());
    if (checked) crc_.update(data);
    return Ok{};
  }

  Result<void> flush() {
    if (buf_.empty()) return Ok{};
    auto r = put(buf_, false);
    buf_.clear();
    return r;
  }

  uint32_t crc() const { return crc_.value(); }

 private:
  Result<void> put(std::span<const uint8_t> data, bool checked) {
    if (checked) crc_.update(data);
    if (auto r = write_all(fd_, data.data(), data.size()); !r) return r;
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
};

// Whether the temporary path still names the file being written: true up to
// the rename, after which the path may already be another build's.
bool still_temporary(const AtomicFile& file) {
  struct stat held, named;
  return ::fstat(file.fd(), &held) == 0 && ::stat(file.temp_path().c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

size_t MergeCore::Source::size() const {
  if (!store) return removed.size();
  return order.empty() ? store->entry_count() : order.size();
}

std::span<const uint8_t> MergeCore::Source::key(size_t i) const {
  if (!store) return {reinterpret_cast<const uint8_t*>(removed[i].data()), removed[i].size()};
  return store->key(entry(i));
}

void MergeCore::add_store(ReaderCore store) {
  Source s;
  const size_t n = store.entry_count();
  bool ordered = true;
  for (size_t i = 1; i < n && ordered; ++i) ordered = format::key_less(store.key(i - 1), store.key(i));
  if (!ordered) {
    // Sorted by key, the later of equal keys last; then one per key.
    s.order.resize(n);
    for (size_t i = 0; i < n; ++i) s.order[i] = uint32_t(i);
    std::stable_sort(s.order.begin(), s.order.end(),
                     [&](uint32_t a, uint32_t b) { return format::key_less(store.key(a), store.key(b)); });
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i + 1 < n && compare(store.key(s.order[i]), store.key(s.order[i + 1])) == 0) continue;
      s.order[kept++] = s.order[i];
    }
    s.order.resize(kept);
    if (kept == 0) s.order.shrink_to_fit();  // an empty order would read as "in order"
  }
  s.store.emplace(std::move(store));
  sources_.push_back(std::move(s));
}

void MergeCore::add_removals(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return format::key_less({reinterpret_cast<const uint8_t*>(a.data()), a.size()},
                            {reinterpret_cast<const uint8_t*>(b.data()), b.size()});
  });
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  Source s;
  s.removed = std::move(keys);
  sources_.push_back(std::move(s));
}

std::vector<MergeCore::Winner> MergeCore::merge_keys() const {
  // A linear pick among the sources' next keys: the source counts a merge
  // is given are small.
  std::vector<Winner> winners;
  std::vector<size_t> at(sources_.size(), 0);
  for (;;) {
    int lowest = -1;
    std::span<const uint8_t> low;
    for (size_t s = 0; s < sources_.size(); ++s) {
      if (at[s] >= sources_[s].size()) continue;
      auto k = sources_[s].key(at[s]);
      const int c = lowest < 0 ? -1 : compare(k, low);
      if (c <= 0) {
        lowest = int(s);  // the last of equal keys wins
        low = k;
      }
    }
    if (lowest < 0) break;
    for (size_t s = 0; s < sources_.size(); ++s) {
      if (at[s] < sources_[s].size() && int(s) != lowest && compare(sources_[s].key(at[s]), low) == 0) ++at[s];
    }
    const Source& w = sources_[size_t(lowest)];
    if (w.store) winners.push_back({uint32_t(lowest), w.entry(at[size_t(lowest)])});
    ++at[size_t(lowest)];
  }
  return winners;
}

Result<BuildReport> MergeCore::build(const std::string& path, BuildObserver* observer) const {
  const std::vector<Winner> winners = merge_keys();
  if (winners.size() > format::kMaxCount) {
    return CoreError::Usage("key count would exceed the limit of 4294967295 keys");
  }

  // Each winning record becomes an output object once: the same record
  // (source, offset) again, or one with the same payload, reuses it.
  std::vector<Copy> copies;
  std::vector<uint64_t> placed;  // output record offset of each winner
  placed.reserve(winners.size());
  std::unordered_map<SourceRecord, uint32_t, SourceRecordHash> by_record;
  std::unordered_multimap<uint64_t, uint32_t> by_content;  // (length, CRC-32) -> object
  std::vector<uint64_t> out_offset;
  uint64_t data_len = 0, index_len = 0;
  for (const Winner& w : winners) {
    const ReaderCore& store = *sources_[w.source].store;
    const uint64_t off = store.record_offset(w.entry);
    index_len += kEntryOverhead + store.key(w.entry).size();
    if (auto hit = by_record.find({w.source, off}); hit != by_record.end()) {
      placed.push_back(out_offset[hit->second]);
      continue;
    }
    auto payload = format::read_object(store.file(), off);
    if (!payload) return payload.error();
    const uint32_t crc = format::load_be32(store.file().data() + off + 4);
    const uint64_t content = uint64_t(payload->size()) << 32 | crc;
    uint32_t obj = UINT32_MAX;
    auto [lo, hi] = by_content.equal_range(content);
    for (auto it = lo; it != hi && obj == UINT32_MAX; ++it) {
      const Copy& c = copies[it->second];
      const uint8_t* other = sources_[c.source].store->file().data() + c.offset + kRecordPrefix;
      if (payload->empty() || std::memcmp(other, payload->data(), payload->size()) == 0) obj = it->second;
    }
    if (obj == UINT32_MAX) {
      if (copies.size() >= format::kMaxCount) {
        return CoreError::Usage("object count would exceed the limit of 4294967295 objects");
      }
      obj = uint32_t(copies.size());
      copies.push_back({w.source, off, uint32_t(payload->size())});
      out_offset.push_back(kHeaderSize + data_len);
      data_len += kRecordPrefix + payload->size();
      by_content.emplace(content, obj);
    }
    by_record.emplace(SourceRecord{w.source, off}, obj);
    placed.push_back(out_offset[obj]);
  }
  by_record = {};
  by_content = {};

  auto opened = AtomicFile::open(path);
  if (!opened) return opened.error();
  AtomicFile file = std::move(*opened);
  const uint64_t total = kHeaderSize + data_len + index_len;
  Output out(file.fd(), total, observer);
  auto write_body = [&]() -> Result<void> {
    // The header goes in last, once the CRC is known: a zeroed placeholder
    // keeps the writes sequential.
    const uint8_t zeros[kHeaderSize] = {};
    if (auto r = out.append({zeros, kHeaderSize}, false); !r) return r;
    for (const Copy& c : copies) {
      const uint8_t* rec = sources_[c.source].store->file().data() + c.offset;
      if (auto r = out.append({rec, kRecordPrefix + size_t(c.payload_len)}, true); !r) return r;
    }
    std::vector<uint8_t> entry_buf(kEntryOverhead + format::kMaxKeyLen);
    uint8_t* entry = entry_buf.data();
    for (size_t j = 0; j < winners.size(); ++j) {
      const ReaderCore& store = *sources_[winners[j].source].store;
      const auto key = store.key(winners[j].entry);
      uint8_t* end = format::encode_index_entry(key, placed[j], entry);
      if (auto r = out.append({entry, size_t(end - entry)}, true); !r) return r;
    }
    if (auto r = out.flush(); !r) return r;
    format::Header h;
    h.num_keys = uint32_t(winners.size());
    h.num_objects = uint32_t(copies.size());
    h.index_offset = kHeaderSize + data_len;
    h.file_crc32 = out.crc();
    uint8_t header[kHeaderSize];
    format::encode_header(h, header);
    for (;;) {
      const ssize_t n = ::pwrite(file.fd(), header, kHeaderSize, 0);
      if (n == ssize_t(kHeaderSize)) return Ok{};
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return CoreError::IO("", errno);
      return CoreError::IO("failed to write the buffered data");
    }
  };
  // Unlike a writer's build, a merge leaves no temporary file behind on a
  // failure (a full disk, a target that is a directory).
  if (auto r = write_body(); !r) {
    file.discard();
    return r.error();
  }
  if (auto r = file.commit(observer); !r) {
    if (still_temporary(file)) file.discard();
    return r.error();
  }
  return BuildReport{copies.size(), winners.size(), double(total) / 1024, total};
}

}  // namespace tarn
