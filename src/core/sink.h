// write_store: the one place that writes a .tndb file.
//
// Every store file, a writer's build and a merge alike, is written here, in
// one sequential pass through a buffer: a zeroed header placeholder, the data
// section (object records handed over by a RecordSource), the lookup index
// record when asked for and the keys allow it (see lookup_index.h), the index
// section (encoded here from a KeySource, in its order), and last the real
// header, written in place once the CRC-32 of everything after it is known.
// The file goes through an AtomicFile: a private temporary file beside the
// target, synced and renamed over it.
//
// A build the observer cancels always removes its temporary file. Any other
// failure follows SinkOptions::leftover: kKeep leaves the temporary file for
// the next build to the same target to truncate and reuse (what callers of
// the low-level writer rely on), kRemove takes it away as long as the path
// still names the file this build wrote.
//
// Pure apart from the file it writes; nothing is printed. One call runs on
// one thread; the sources are only read.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/atomic_file.h"
#include "core/error.h"

namespace tarn {

using Bytes = std::span<const uint8_t>;

struct BuildReport {
  uint64_t objects;      // the caller's records (the lookup index record not counted)
  uint64_t keys;
  double size_kib;       // the size of the file now at the target, 0 if unreadable
  uint64_t file_size;    // the same size in bytes
  uint64_t index_bytes;  // the lookup index record (prefix included); 0: none written
};

// Receives the data section's bytes from a RecordSource.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Appends `bytes` (whole records or parts of them, in file order).
  virtual Result<void> write(Bytes bytes) = 0;
};

// The object records of a file, in file order.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  virtual uint64_t count() const = 0;   // number of records
  virtual uint64_t length() const = 0;  // their total length, prefixes included
  // The CRC-32 of all the records, when the source already knows it (the
  // sink then spares itself that pass); has_crc() says whether it does.
  virtual bool has_crc() const { return false; }
  virtual uint32_t crc() const { return 0; }
  // Writes exactly length() bytes of records to `out`. An error of its own
  // (or of `out`) ends the build.
  virtual Result<void> emit(RecordSink& out) const = 0;
};

// The keys of a file in index order (ascending, each once), each with the
// absolute offset of the record it names.
class KeySource {
 public:
  virtual ~KeySource() = default;
  virtual uint64_t size() const = 0;
  virtual Bytes key(uint64_t i) const = 0;
  virtual uint64_t record_offset(uint64_t i) const = 0;
  // The total of the keys' lengths; a source that can tell it without
  // visiting each key in order spares the sink that pass.
  virtual uint64_t key_bytes() const {
    uint64_t n = 0;
    for (uint64_t i = 0; i < size(); ++i) n += key(i).size();
    return n;
  }
  // Requests the memory that key(i) and record_offset(i) will read, some
  // entries ahead of their turn; i may be past the end.
  virtual void prefetch(uint64_t) const {}
};

struct SinkOptions {
  enum class Leftover { kKeep, kRemove };
  Leftover leftover = Leftover::kKeep;
  // Write the lookup index record, if the keys are unique, ascending and
  // valid UTF-8 and the counts leave room for one more record.
  bool lookup_index = false;
};

// Writes the store of `records` and `keys` to `path` atomically. Errors:
// TarnError when a count exceeds the format, the errors of AtomicFile, of
// the writes (the system error alone; "failed to write whole buffer" or
// "failed to write the buffered data" for a write that takes nothing), the
// sources' own, and kBuildCancelled when the observer cancels.
Result<BuildReport> write_store(const std::string& path, const RecordSource& records, const KeySource& keys,
                                const SinkOptions& options, BuildObserver* observer = nullptr);

}  // namespace tarn
