// MergeCore: a new store made of several existing ones, streamed.
//
// The sources come in an order: stores, and sets of removed keys. For each
// distinct key, the last source that names it decides: a store maps it to
// its object there, a removal set leaves it out. A k-way merge over the
// sources' sorted keys finds these winners; then each winning record is
// copied straight from its store's mapping into the new file, once, in the
// order of first use, so that keys that shared an object keep sharing it.
// Records with identical payloads (same length, CRC-32 and bytes) become
// one object even across stores, so a merge is never larger than a fresh
// build of the same content. No payload is held in memory: what a merge
// keeps is about one entry per key and one per object.
//
// A store is held by shared ownership, so a merge can read from the very
// mapping an open reader uses (the file it opened, whatever has since been
// renamed over its path) and the reader may be closed meanwhile. A store
// may be one shard of a sharded store: it then counts only for the keys
// that route to it, as a lookup through that store would find them.
//
// Every record copied has its own CRC-32 checked on the way: a damaged
// record fails the build with TarnCorruptError naming the store and the
// key; damage never reaches a fresh file whose whole-file CRC would vouch
// for it.
//
// A build may write one shard of a sharded output: the winners whose keys
// route to that shard (see route.h). The first such build merges every key
// once and splits the winners by shard, 8 bytes per key, kept for the
// builds of the other shards; so writing S shards costs one merge, not S.
//
// Not synchronised: the binding gives add_* exclusive use, and build needs
// it too (it keeps the split it makes, and holds the core for its whole
// run). The stores' mappings stay valid for the MergeCore's life.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/atomic_file.h"
#include "core/error.h"
#include "core/reader.h"
#include "core/sink.h"

namespace tarn {

// Shard `shard` of a store of `count` shards; count 1 is a whole store.
struct ShardPart {
  uint32_t shard = 0;
  uint32_t count = 1;
};

class MergeCore {
 public:
  MergeCore() = default;
  MergeCore(MergeCore&&) noexcept = default;
  MergeCore& operator=(MergeCore&&) noexcept = default;

  // Appends an opened store as the next source. A store whose index is not
  // in ascending key order, or repeats a key (written by another program),
  // is put in order here; of a repeated key the later entry counts, as for
  // lookups.
  void add_store(ReaderCore store);
  // The same for a store held elsewhere too (an open reader's), or for one
  // shard of one: `part` names which, and only the entries whose keys route
  // to that shard count. REQUIRES: part.shard < part.count.
  void add_store(std::shared_ptr<const ReaderCore> store, ShardPart part = {});

  // The whole-file CRC-32 of a store opened without that check (a reader
  // opened with verify=False): TarnCorruptError naming it on a mismatch.
  static Result<void> check_file(const ReaderCore& store);

  // Appends a set of removed keys as the next source.
  void add_removals(std::vector<std::string> keys);

  size_t source_count() const { return sources_.size(); }

  // Writes the merged store to `path` through the store sink (sink.h), with
  // the observer told the progress and asked before the rename; with
  // `only`, just the keys of that output shard; with `lookup_index`, a fresh
  // lookup index when the keys allow it (an input's own is never copied: no
  // key names it). Fails with TarnCorruptError when a winning record lies
  // outside its store or fails its CRC-32, with TarnError when the result
  // would exceed the format's counts, and with the errors of the sink. A
  // cancelled or failed build leaves the target as it was and no temporary
  // file. REQUIRES: only.shard < only.count.
  Result<BuildReport> build(const std::string& path, bool lookup_index, BuildObserver* observer = nullptr,
                            ShardPart only = {}) const;

 private:
  struct Source {
    // A store and its entries in ascending key order, each key once and
    // (for a shard) only the keys routed to it, all given by `order` unless
    // `whole` says the index is already so; or removed keys in order.
    std::shared_ptr<const ReaderCore> store;
    bool whole = true;
    std::vector<uint32_t> order;
    std::vector<std::string> removed;
    size_t size() const;
    std::span<const uint8_t> key(size_t i) const;
    uint32_t entry(size_t i) const { return whole ? uint32_t(i) : order[i]; }
  };

  struct Winner {
    uint32_t source;
    uint32_t entry;
  };

  // One output object: where its record is read from.
  struct Copy {
    uint32_t source;
    uint32_t winner;  // one winner using it, to name a damaged record by its key
    uint64_t offset;  // of the record in the source's file
    uint32_t payload_len;
  };
  struct Plan {
    std::vector<Copy> copies;     // the output's records, in order
    std::vector<uint64_t> placed;  // the output record offset of each winner
    uint64_t data_len = 0, index_len = 0;
  };

  // The winning entries, in key order.
  std::vector<Winner> merge_keys() const;
  // Those of output shard `only`: in `own`, or in the split kept for it.
  std::span<const Winner> winners_of(ShardPart only, std::vector<Winner>* own) const;
  // The output objects of `winners` and where each winner's record goes;
  // TarnCorruptError for a record outside its store.
  Result<Plan> plan(std::span<const Winner> winners) const;

  std::vector<Source> sources_;
  // The winners split by output shard for a count of `count` shards: those
  // of shard i are winners[begin[i], begin[i + 1]). Built by the first
  // build of a shard (build has exclusive use: see above).
  struct Split {
    uint32_t count = 0;
    std::vector<Winner> winners;
    std::vector<size_t> begin;
  };
  mutable Split split_;
};

}  // namespace tarn
