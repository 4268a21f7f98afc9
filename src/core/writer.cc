#include "core/writer.h"

#include <algorithm>
#include <cstring>

#include "core/format.h"

namespace tarn {
namespace {

using format::kHeaderSize;
using format::kRecordPrefix;

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

namespace {

// The staged records, whose CRC-32 the writer has kept as they came.
class StagedRecords final : public RecordSource {
 public:
  StagedRecords(const ChunkArena& arena, uint64_t count, uint64_t length, uint32_t crc)
      : arena_(arena), count_(count), length_(length), crc_(crc) {}
  uint64_t count() const override { return count_; }
  uint64_t length() const override { return length_; }
  bool has_crc() const override { return true; }
  uint32_t crc() const override { return crc_; }
  Result<void> emit(RecordSink& out) const override {
    Result<void> status = Ok{};
    arena_.for_each_chunk([&](std::span<const uint8_t> chunk) {
      if (status) status = out.write(chunk);
    });
    return status;
  }

 private:
  const ChunkArena& arena_;
  uint64_t count_, length_;
  uint32_t crc_;
};

}  // namespace

// The staged keys in sorted order.
class WriterCore::SortedKeys final : public KeySource {
 public:
  SortedKeys(const WriterCore& w, std::vector<uint32_t> order) : w_(w), order_(std::move(order)) {}
  uint64_t size() const override { return order_.size(); }
  Bytes key(uint64_t i) const override { return w_.key_of(order_[i]); }
  uint64_t record_offset(uint64_t i) const override { return w_.offsets_[w_.entries_[order_[i]].obj_id]; }
  // In staging order: one sequential pass.
  uint64_t key_bytes() const override {
    uint64_t n = 0;
    for (const KeyEntry& e : w_.entries_) n += e.len;
    return n;
  }
  // Sorted order visits the entries, their key bytes and their objects'
  // offsets at random: the entry first, its bytes and offset half-way.
  void prefetch(uint64_t i) const override {
    if (i + 8 < order_.size()) __builtin_prefetch(&w_.entries_[order_[i + 8]]);
    if (i < order_.size()) {
      const KeyEntry& e = w_.entries_[order_[i]];
      __builtin_prefetch(e.bytes);
      __builtin_prefetch(&w_.offsets_[e.obj_id]);
    }
  }

 private:
  const WriterCore& w_;
  std::vector<uint32_t> order_;
};

Result<BuildReport> WriterCore::build(const std::string& path, const SinkOptions& options,
                                      BuildObserver* observer) const {
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

  const StagedRecords records(records_, object_count(), data_len_, data_crc_.value());
  const SortedKeys keys(*this, std::move(order));
  return write_store(path, records, keys, options, observer);
}

}  // namespace tarn
