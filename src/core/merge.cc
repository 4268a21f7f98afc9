#include "core/merge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/crc32.h"
#include "core/format.h"
#include "core/route.h"
#include "core/utf8.h"

namespace tarn {
namespace {

using format::kEntryOverhead;
using format::kHeaderSize;
using format::kRecordPrefix;

int compare(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// A record whose payload fails its own CRC-32, named by its store and the
// key that reached it.
CoreError damaged(const ReaderCore& store, std::span<const uint8_t> key, uint64_t offset) {
  return CoreError::Corrupt(store.path() + ": object of key '" + utf8_lossy(key) +
                            "' fails its CRC-32 check (record at offset " + std::to_string(offset) + ")");
}

}  // namespace

size_t MergeCore::Source::size() const {
  if (!store) return removed.size();
  return whole ? store->entry_count() : order.size();
}

std::span<const uint8_t> MergeCore::Source::key(size_t i) const {
  if (!store) return {reinterpret_cast<const uint8_t*>(removed[i].data()), removed[i].size()};
  return store->key(entry(i));
}

void MergeCore::add_store(ReaderCore store) { add_store(std::make_shared<const ReaderCore>(std::move(store))); }

void MergeCore::add_store(std::shared_ptr<const ReaderCore> store, ShardPart part) {
  split_ = Split{};
  Source s;
  const ReaderCore& r = *store;
  const size_t n = r.entry_count();
  auto routed = [&](size_t i) { return part.count == 1 || shard_of(r.key(i), part.count) == part.shard; };
  for (size_t i = 0; i < n && s.whole; ++i) {
    s.whole = routed(i) && (i == 0 || format::key_less(r.key(i - 1), r.key(i)));
  }
  if (!s.whole) {
    // Sorted by key, the later of equal keys last; then one per key, and
    // for a shard only its own keys (a lookup through the shard finds no
    // other).
    for (size_t i = 0; i < n; ++i) {
      if (routed(i)) s.order.push_back(uint32_t(i));
    }
    std::stable_sort(s.order.begin(), s.order.end(),
                     [&](uint32_t a, uint32_t b) { return format::key_less(r.key(a), r.key(b)); });
    size_t kept = 0;
    for (size_t i = 0; i < s.order.size(); ++i) {
      if (i + 1 < s.order.size() && compare(r.key(s.order[i]), r.key(s.order[i + 1])) == 0) continue;
      s.order[kept++] = s.order[i];
    }
    s.order.resize(kept);
    s.order.shrink_to_fit();
  }
  s.store = std::move(store);
  sources_.push_back(std::move(s));
}

Result<void> MergeCore::check_file(const ReaderCore& store) {
  // The header was checked at open, so the file holds at least its 40 bytes.
  auto r = format::check_file_crc(store.file(), store.header().file_crc32);
  if (!r) return CoreError::Corrupt(store.path() + ": " + r.error().detail());
  return Ok{};
}

void MergeCore::add_removals(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return format::key_less({reinterpret_cast<const uint8_t*>(a.data()), a.size()},
                            {reinterpret_cast<const uint8_t*>(b.data()), b.size()});
  });
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  split_ = Split{};
  Source s;
  s.removed = std::move(keys);
  sources_.push_back(std::move(s));
}

Result<MergeCore::Plan> MergeCore::plan(std::span<const Winner> winners) const {
  // Each winning record becomes one output object: the same record
  // (source, offset) reached by several keys, and records with the same
  // payload, share it. Found by sorting, not hashing: the records of a
  // source are then visited in file order, and nothing is allocated per
  // record beyond a few flat arrays.
  const size_t n = winners.size();
  struct Use {
    uint64_t offset;
    uint32_t source;
    uint32_t winner;
  };
  std::vector<Use> uses(n);
  Plan plan;
  for (size_t j = 0; j < n; ++j) {
    const ReaderCore& store = *sources_[winners[j].source].store;
    uses[j] = {store.record_offset(winners[j].entry), winners[j].source, uint32_t(j)};
    plan.index_len += kEntryOverhead + store.key(winners[j].entry).size();
  }
  std::sort(uses.begin(), uses.end(), [](const Use& a, const Use& b) {
    if (a.source != b.source) return a.source < b.source;
    if (a.offset != b.offset) return a.offset < b.offset;
    return a.winner < b.winner;
  });

  // One group per distinct record, its first use being its earliest winner.
  struct Group {
    uint64_t content;  // payload length << 32 | payload CRC-32
    uint64_t offset;
    uint32_t source;
    uint32_t first;    // the earliest winner using it
    uint32_t payload_len;
    uint32_t object;   // the group whose payload it shares (itself at first)
  };
  std::vector<Group> groups;
  std::vector<uint32_t> group_of(n);
  for (size_t i = 0; i < n; ++i) {
    const Use& u = uses[i];
    if (groups.empty() || groups.back().source != u.source || groups.back().offset != u.offset) {
      const Bytes file = sources_[u.source].store->file();
      auto payload = format::read_object(file, u.offset);
      if (!payload) return payload.error();
      const uint32_t crc = format::load_be32(file.data() + u.offset + 4);
      const uint32_t g = uint32_t(groups.size());
      groups.push_back({uint64_t(payload->size()) << 32 | crc, u.offset, u.source, u.winner,
                        uint32_t(payload->size()), g});
    }
    group_of[u.winner] = uint32_t(groups.size() - 1);
  }
  std::vector<Use>().swap(uses);

  // Equal payloads: among groups of the same length and CRC-32, in order of
  // first use, each joins the earliest one whose bytes match.
  auto payload_of = [&](const Group& g) {
    return sources_[g.source].store->file().data() + g.offset + kRecordPrefix;
  };
  std::vector<uint32_t> by_content(groups.size());
  for (uint32_t g = 0; g < groups.size(); ++g) by_content[g] = g;
  std::sort(by_content.begin(), by_content.end(), [&](uint32_t a, uint32_t b) {
    if (groups[a].content != groups[b].content) return groups[a].content < groups[b].content;
    return groups[a].first < groups[b].first;
  });
  for (size_t i = 0; i < by_content.size();) {
    size_t end = i + 1;
    while (end < by_content.size() && groups[by_content[end]].content == groups[by_content[i]].content) ++end;
    for (size_t a = i + 1; a < end; ++a) {
      Group& later = groups[by_content[a]];
      for (size_t b = i; b < a; ++b) {
        const Group& earlier = groups[by_content[b]];
        if (earlier.object != by_content[b]) continue;  // compare with the first of each payload only
        if (std::memcmp(payload_of(earlier), payload_of(later), later.payload_len) == 0) {
          later.object = by_content[b];
          break;
        }
      }
    }
    i = end;
  }
  std::vector<uint32_t>().swap(by_content);

  // The objects in order of first use, and where each record goes.
  std::vector<uint32_t> objects;
  for (uint32_t g = 0; g < groups.size(); ++g) {
    if (groups[g].object == g) objects.push_back(g);
  }
  if (objects.size() > format::kMaxCount) {
    return CoreError::Usage("object count would exceed the limit of 4294967295 objects");
  }
  std::sort(objects.begin(), objects.end(), [&](uint32_t a, uint32_t b) { return groups[a].first < groups[b].first; });
  std::vector<uint64_t> out_offset(groups.size());
  plan.copies.reserve(objects.size());
  for (uint32_t g : objects) {
    out_offset[g] = kHeaderSize + plan.data_len;
    plan.copies.push_back({groups[g].source, groups[g].first, groups[g].offset, groups[g].payload_len});
    plan.data_len += kRecordPrefix + groups[g].payload_len;
  }
  plan.placed.resize(n);
  for (size_t j = 0; j < n; ++j) plan.placed[j] = out_offset[groups[group_of[j]].object];
  return plan;
}

std::vector<MergeCore::Winner> MergeCore::merge_keys() const {
  // A k-way merge over the sources' next keys, through a heap whose top is
  // the lowest key and, among equal keys, the last source: the winner. A
  // sharded input brings one source per shard, so the count may be large.
  std::vector<size_t> at(sources_.size(), 0);
  auto later = [&](uint32_t a, uint32_t b) {  // whether a comes out after b
    const int c = compare(sources_[a].key(at[a]), sources_[b].key(at[b]));
    return c > 0 || (c == 0 && a < b);
  };
  std::vector<uint32_t> heap;
  for (uint32_t s = 0; s < sources_.size(); ++s) {
    if (sources_[s].size() > 0) heap.push_back(s);
  }
  std::make_heap(heap.begin(), heap.end(), later);

  std::vector<Winner> winners;
  while (!heap.empty()) {
    const uint32_t top = heap.front();
    const Source& w = sources_[top];
    const std::span<const uint8_t> low = w.key(at[top]);
    if (w.store) winners.push_back({top, w.entry(at[top])});
    // Step past the key in every source that holds it (`low` stays valid:
    // it points into the source's index, not into the heap).
    while (!heap.empty() && compare(sources_[heap.front()].key(at[heap.front()]), low) == 0) {
      std::pop_heap(heap.begin(), heap.end(), later);
      const uint32_t s = heap.back();
      if (++at[s] < sources_[s].size()) {
        std::push_heap(heap.begin(), heap.end(), later);
      } else {
        heap.pop_back();
      }
    }
  }
  return winners;
}

std::span<const MergeCore::Winner> MergeCore::winners_of(ShardPart only, std::vector<Winner>* own) const {
  if (only.count == 1) {
    *own = merge_keys();
    return *own;
  }
  if (split_.count != only.count) {
    split_ = Split{};  // the old split goes before the new one is made
    std::vector<Winner> all = merge_keys();
    auto shard = [&](const Winner& w) { return shard_of(sources_[w.source].store->key(w.entry), only.count); };
    std::vector<size_t> begin(size_t(only.count) + 1, 0);
    for (const Winner& w : all) ++begin[shard(w) + 1];
    for (size_t i = 1; i < begin.size(); ++i) begin[i] += begin[i - 1];
    std::vector<size_t> next(begin.begin(), begin.end() - 1);
    std::vector<Winner> split(all.size());
    for (const Winner& w : all) split[next[shard(w)]++] = w;  // in key order within each shard
    split_ = Split{only.count, std::move(split), std::move(begin)};
  }
  const size_t b = split_.begin[only.shard];
  return {split_.winners.data() + b, split_.begin[only.shard + 1] - b};
}

Result<BuildReport> MergeCore::build(const std::string& path, bool lookup_index, BuildObserver* observer,
                                     ShardPart only) const {
  std::vector<Winner> own;
  const std::span<const Winner> winners = winners_of(only, &own);
  if (winners.size() > format::kMaxCount) {
    return CoreError::Usage("key count would exceed the limit of 4294967295 keys");
  }

  auto planned = plan(winners);
  if (!planned) return planned.error();
  // The winning records, copied as they are from their stores' mappings.
  class Copies final : public RecordSource {
   public:
    Copies(const MergeCore& m, std::span<const Winner> winners, const Plan& plan)
        : m_(m), winners_(winners), plan_(plan) {}
    uint64_t count() const override { return plan_.copies.size(); }
    uint64_t length() const override { return plan_.data_len; }
    Result<void> emit(RecordSink& out) const override {
      for (const Copy& c : plan_.copies) {
        const ReaderCore& store = *m_.sources_[c.source].store;
        const uint8_t* rec = store.file().data() + c.offset;
        if (crc32({rec + kRecordPrefix, c.payload_len}) != format::load_be32(rec + 4)) {
          return damaged(store, store.key(winners_[c.winner].entry), c.offset);
        }
        if (auto r = out.write({rec, kRecordPrefix + size_t(c.payload_len)}); !r) return r;
      }
      return Ok{};
    }

   private:
    const MergeCore& m_;
    std::span<const Winner> winners_;
    const Plan& plan_;
  };
  // The winners' keys, in key order, with their records' new offsets.
  class Keys final : public KeySource {
   public:
    Keys(const MergeCore& m, std::span<const Winner> winners, const Plan& plan)
        : m_(m), winners_(winners), plan_(plan) {}
    uint64_t size() const override { return winners_.size(); }
    Bytes key(uint64_t j) const override { return m_.sources_[winners_[j].source].store->key(winners_[j].entry); }
    uint64_t record_offset(uint64_t j) const override { return plan_.placed[j]; }
    uint64_t key_bytes() const override { return plan_.index_len - kEntryOverhead * winners_.size(); }

   private:
    const MergeCore& m_;
    std::span<const Winner> winners_;
    const Plan& plan_;
  };
  const SinkOptions options{SinkOptions::Leftover::kRemove, lookup_index};
  return write_store(path, Copies(*this, winners, *planned), Keys(*this, winners, *planned), options, observer);
}

}  // namespace tarn
