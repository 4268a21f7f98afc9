// ReaderCore: one opened .tndb file and everything decoded from it.
//
// open() maps the file read-only, validates the header (and, on request, the
// whole-file CRC-32) and decodes the whole index eagerly, so lookups never
// parse the file: the key bytes are copied into one arena, the record offsets
// into one array, and a KeyTable maps key bytes to entry indices. Payloads
// stay in the mapping until a query copies them out.
//
// After open() nothing changes, so every const method may run on any number
// of threads at once. Spans returned point into the mapping or the arena and
// stay valid for the ReaderCore's life.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "core/keytable.h"
#include "core/mapped_file.h"
#include "core/page_array.h"

namespace tarn {

using Bytes = std::span<const uint8_t>;

struct FileHeader {
  uint64_t index_offset = 0;
  uint64_t file_size = 0;
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint32_t file_crc32 = 0;
};

// One (key, payload) pair of a scan or listing: the entry's position in the
// index and its payload in the mapping.
struct Item {
  uint32_t entry;
  Bytes payload;
};

class ReaderCore {
 public:
  // Opens, maps and indexes `path`. On failure nothing is left behind: no
  // descriptor, no mapping.
  // `wide_from` is the total of key bytes from which the index uses 64-bit
  // starts; only tests lower it, to reach that layout with small files.
  static Result<ReaderCore> open(const std::string& path, bool verify, uint64_t wide_from = uint64_t(1) << 32);
  // The same for `name`, a relative name under the directory `dir_fd`, each
  // of whose components is opened without following a symbolic link: the
  // file mapped is the one found inside that directory, checked after the
  // open (a sharded store's shards). A link on the way is refused with
  // TarnIOError "cannot open NAME: is a symbolic link". `shown` is the path
  // that path() and the errors of later reads give.
  static Result<ReaderCore> open_at(int dir_fd, const std::string& name, bool verify, const std::string& shown);

  ReaderCore(ReaderCore&&) noexcept = default;
  ReaderCore& operator=(ReaderCore&&) noexcept = default;

  // Number of decoded index entries (duplicates included), entry i's key and
  // its record offset.
  size_t entry_count() const { return count_; }
  Bytes key(size_t i) const {
    const uint64_t begin = start(i);
    return {keys_.data() + begin, size_t(start(i + 1) - begin)};
  }
  uint64_t record_offset(size_t i) const {
    if (wide_) return meta64_[2 * i + 1];
    uint64_t v;
    __builtin_memcpy(&v, &meta32_[3 * i + 1], 8);
    return v;
  }

  // The payload of `key`, std::nullopt when absent, or a record-read error.
  Result<std::optional<Bytes>> get(Bytes key) const {
    const uint32_t i = lookup(key);
    if (i == KeyTable::kNone) return std::optional<Bytes>();
    auto payload = format::read_object(mapping_.bytes(), record_offset(i));
    if (!payload) [[unlikely]] return payload.error();
    return std::optional<Bytes>(*payload);
  }
  // Whether `key` is indexed; reads no file bytes.
  bool exists(Bytes key) const { return lookup(key) != KeyTable::kNone; }
  // The entries whose keys start with `prefix`, in index order.
  Result<std::vector<Item>> prefix(Bytes prefix) const;
  // Every entry, in index order.
  Result<std::vector<Item>> items() const;
  // The payload of each record, once, in order of first reference.
  Result<std::vector<Bytes>> objects() const;
  // The whole-file CRC-32; then that the header's layout holds (the index
  // section runs from index_offset exactly to the end of the file, and the
  // data section [40, index_offset) is num_objects records back to back);
  // then, in index order, that each entry names the start of a record in the
  // data section whose payload matches its CRC-32. Records no entry names
  // are covered by the whole-file CRC-32 alone.
  Result<void> verify() const;

  const FileHeader& header() const { return header_; }
  const std::string& path() const { return path_; }
  // The whole mapped file, for copying records out as they are.
  Bytes file() const { return mapping_.bytes(); }

  // ---- The stages of a lookup, for batch lookups that overlap the memory
  // accesses of several keys: hash a key and prefetch its slot, guess its
  // entry from the slot and prefetch the entry's record, then its key bytes
  // and payload record, and only then probe. find(k, hash(k)) is the entry
  // get() and exists() use; the prefetches only warm caches, never fault,
  // and may be skipped. All of them are const and thread-safe.
  uint64_t hash(Bytes k) const { return table_.hash(k); }
  void prefetch_slot(uint64_t h) const { table_.prefetch(h); }
  // The entry the home slot of h names (tag match only), or KeyTable::kNone.
  uint32_t guess(uint64_t h) const { return table_.candidate(h); }
  void prefetch_meta(uint32_t i) const { prefetch_entry(i); }
  // REQUIRES: i < entry_count(); fastest once prefetch_meta(i) has landed.
  void prefetch_key_and_record(uint32_t i) const {
    __builtin_prefetch(keys_.data() + start(i));
    const uint64_t o = record_offset(i);
    if (o < mapping_.bytes().size()) __builtin_prefetch(mapping_.bytes().data() + o);
  }
  // The entry index of `k` (whose hash is h), or KeyTable::kNone.
  uint32_t find(Bytes k, uint64_t h) const {
    if (count_ == 0) return KeyTable::kNone;
    return table_.find(k, h, [this](uint32_t i) { return key(i); });
  }
  // Entry i's payload, bounds-checked as get() checks it. REQUIRES: i < entry_count().
  Result<Bytes> payload(uint32_t i) const { return format::read_object(mapping_.bytes(), record_offset(i)); }

 private:
  ReaderCore() = default;
  static Result<ReaderCore> open_in(int dir_fd, const std::string& path, bool no_links, bool verify,
                                    uint64_t wide_from);
  // The entry index of `key`, or KeyTable::kNone.
  uint32_t lookup(Bytes k) const {
    if (count_ == 0) return KeyTable::kNone;
    return table_.find(k, table_.hash(k), [this](uint32_t i) { return key(i); });
  }
  Result<std::vector<Item>> collect(size_t begin, size_t end) const;  // entries [begin, end)
  Result<void> decode_index(Bytes file, uint64_t count, uint64_t wide_from);

  std::string path_;
  MappedFile mapping_;
  FileHeader header_;
  // Entry i's key is keys_[start(i), start(i + 1)). Its start and its record
  // offset sit side by side in one small record per entry (three 32-bit
  // words, or two 64-bit ones once the keys add up to 4 GiB), so that the
  // cache line that locates the key also gives the offset: a lookup then
  // fetches the key and the payload at the same time instead of one after
  // the other. A final record holds the end of the last key.
  uint64_t start(size_t i) const { return wide_ ? meta64_[2 * i] : meta32_[3 * i]; }
  void prefetch_entry(size_t i) const {
    if (wide_) {
      __builtin_prefetch(&meta64_[2 * i]);
    } else {
      __builtin_prefetch(&meta32_[3 * i]);
    }
  }

  PageArray<uint8_t> keys_;
  PageArray<uint32_t> meta32_;
  PageArray<uint64_t> meta64_;
  bool wide_ = false;
  size_t count_ = 0;
  KeyTable table_;  // key -> the last entry with that key
};

}  // namespace tarn
