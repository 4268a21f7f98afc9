// WriterCore: the staged content of one writer, and the build of a file.
//
// Each payload is staged straight into its object-record layout (length,
// CRC-32, payload) in a chunked arena, and the CRC-32 of the data section is
// kept running as records are added, so a build writes the staged chunks as
// they are: there is no second copy of the data. Keys live in an arena of
// their own, found through a KeyTable with a per-instance seed; a build sorts
// key indices, not key copies.
//
// Every operation makes all its checks before its first change, so a failed
// call leaves the writer as it was. Not synchronised: the frame's borrow
// counter gives add_* exclusive use and build shared use.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/arena.h"
#include "core/atomic_file.h"
#include "core/crc32.h"
#include "core/error.h"
#include "core/keytable.h"
#include "core/sink.h"

namespace tarn {

class WriterCore {
 public:
  WriterCore() = default;

  // Stages a copy of `payload` and returns its object ID (the object count
  // before the call). Fails with TarnError if the format cannot hold it.
  Result<uint64_t> add_object(std::span<const uint8_t> payload);

  // Maps `key` to `obj_id`, replacing an earlier mapping of the same key.
  // Fails with TarnError when obj_id >= object_count() or the format cannot
  // hold the key.
  Result<void> add_key(std::span<const uint8_t> key, uint64_t obj_id);

  uint64_t object_count() const { return offsets_.size(); }
  uint64_t key_count() const { return entries_.size(); }

  // Writes everything staged to `path` through the store sink (sink.h):
  // atomically, with the temporary file and the lookup index as `options`
  // say. Changes nothing in the writer. `observer`, if given, sees the
  // progress and may cancel before the rename.
  Result<BuildReport> build(const std::string& path, const SinkOptions& options,
                            BuildObserver* observer = nullptr) const;

 private:
  struct KeyEntry {
    const uint8_t* bytes;  // in keys_, stable for the writer's life
    uint32_t obj_id;       // < 2^32: the object count is capped below that
    uint16_t len;
  };
  std::span<const uint8_t> key_of(uint32_t i) const { return {entries_[i].bytes, entries_[i].len}; }

  class SortedKeys;

  ChunkArena records_{64 << 10, 8 << 20};
  std::vector<uint64_t> offsets_;  // record offset of each object ID
  uint64_t data_len_ = 0;          // length of the data section
  Crc32 data_crc_;                 // CRC-32 of the data section so far

  ChunkArena keys_{16 << 10, 1 << 20};
  std::vector<KeyEntry> entries_;
  KeyTable table_;
};

}  // namespace tarn
