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
// Not synchronised: the binding gives add_* exclusive use, and build needs
// it too (it reads nothing that add_* changes, but holds it for its whole
// run). The stores' mappings stay valid for the MergeCore's life.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/atomic_file.h"
#include "core/error.h"
#include "core/reader.h"
#include "core/sink.h"

namespace tarn {

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

  // Appends a set of removed keys as the next source.
  void add_removals(std::vector<std::string> keys);

  size_t source_count() const { return sources_.size(); }

  // Writes the merged store to `path` through the store sink (sink.h), with
  // a fresh lookup index when `lookup_index` is set and the keys allow it
  // (an input's own is never copied: no key names it), the observer told
  // the progress and asked before the rename. Fails with TarnCorruptError
  // when a winning record lies outside its store, with TarnError when the
  // result would exceed the format's counts, and with the errors of the
  // sink. A cancelled or failed build leaves the target as it was and no
  // temporary file behind.
  Result<BuildReport> build(const std::string& path, bool lookup_index, BuildObserver* observer = nullptr) const;

 private:
  struct Source {
    // A store and its entries in ascending key order, each key once
    // (`order` empty: the index is already so), or removed keys in order.
    std::optional<ReaderCore> store;
    std::vector<uint32_t> order;
    std::vector<std::string> removed;
    size_t size() const;
    std::span<const uint8_t> key(size_t i) const;
    uint32_t entry(size_t i) const { return order.empty() ? uint32_t(i) : order[i]; }
  };

  struct Winner {
    uint32_t source;
    uint32_t entry;
  };

  // One output object: where its record is read from.
  struct Copy {
    uint32_t source;
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
  // The output objects of `winners` and where each winner's record goes;
  // TarnCorruptError for a record outside its store.
  Result<Plan> plan(const std::vector<Winner>& winners) const;

  std::vector<Source> sources_;
};

}  // namespace tarn
