// ReaderCore: one opened .tndb file, read in one of two ways.
//
// Decoded: open() maps the file read-only, validates the header (and, on
// request, the whole-file CRC-32) and decodes the whole index eagerly, so
// lookups never parse the file: the key bytes are copied into one arena, the
// record offsets into one array, and a KeyTable maps key bytes to entry
// indices.
//
// In place: open_in_place() uses the lookup index the file carries
// (lookup_index.h) when its constant-time checks pass: nothing is decoded or
// copied, opening costs the same for any size, and every answer comes from
// the mapping, whose pages the page cache shares between processes. A file
// without one, or whose one fails those checks, is opened decoded; verify()
// then names the fault.
//
// Entries are known by rank (their position in the index, 0 up) and, for
// lookups, by an EntryRef: the rank when decoded, the entry's byte position
// in the index section when in place. Payloads stay in the mapping until a
// query copies them out.
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
#include "core/lookup_index.h"
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

// An entry as a lookup knows it (see above); kNoEntry: none.
using EntryRef = uint64_t;
inline constexpr EntryRef kNoEntry = ~uint64_t(0);

class ReaderCore {
 public:
  // Opens, maps and indexes `path`, decoded. On failure nothing is left
  // behind: no descriptor, no mapping.
  // `wide_from` is the total of key bytes from which the index uses 64-bit
  // starts; only tests lower it, to reach that layout with small files.
  static Result<ReaderCore> open(const std::string& path, bool verify, uint64_t wide_from = uint64_t(1) << 32);
  // Opens `path` in place when it carries a sound lookup index, else as open().
  static Result<ReaderCore> open_in_place(const std::string& path, bool verify);
  // As open_in_place() for `name`, a relative name under the directory
  // `dir_fd`, each of whose components is opened without following a
  // symbolic link: the file mapped is the one found inside that directory,
  // checked after the open (a sharded store's shards). A link on the way is
  // refused with TarnIOError "cannot open NAME: is a symbolic link". `shown`
  // is the path that path() and the errors of later reads give.
  static Result<ReaderCore> open_at(int dir_fd, const std::string& name, bool verify, const std::string& shown);

  ReaderCore(ReaderCore&&) noexcept = default;
  ReaderCore& operator=(ReaderCore&&) noexcept = default;

  // Number of index entries (duplicates included), the key of the entry of
  // rank i and its record offset. In place, a rank costs a short walk from
  // the nearest fence; bytes that do not lead there give an empty key and an
  // offset past any file.
  size_t entry_count() const { return count_; }
  Bytes key(size_t i) const {
    if (in_place_) [[unlikely]] return key_at(ref(i));
    const uint64_t begin = start(i);
    return {keys_.data() + begin, size_t(start(i + 1) - begin)};
  }
  uint64_t record_offset(size_t i) const {
    if (in_place_) [[unlikely]] return record_offset_at(ref(i));
    return decoded_offset(i);
  }

  // Whether the reader answers from the file's lookup index.
  bool in_place() const { return in_place_; }
  // The file's lookup index: valid when in_place().
  const lookup::LookupIndex& lookup_index() const { return lookup_; }
  // The size of the lookup index record the file carries and the reader
  // accepted (prefix included), 0 when none; the number of records that
  // are the user's objects: one fewer than the header's count when the
  // header announces a lookup index record, whether sound or not, so that
  // every reader of the header counts alike.
  uint64_t lookup_bytes() const { return in_place_ ? lookup_.record_bytes() : 0; }
  uint64_t user_objects() const { return header_.num_objects - (announced_ && header_.num_objects > 0 ? 1 : 0); }
  // Why the lookup index the header announces was not used ("" if it was,
  // or none is announced, or the reader was opened with open()).
  const std::string& lookup_fault() const { return lookup_fault_; }
  // The error of a seek or listing that the lookup index, damaged, could
  // not complete.
  CoreError lookup_damage() const {
    return CoreError::Corrupt(path_ + ": lookup index: a seek or listing through it went astray; verify() names the damage");
  }

  // The entry of rank i; next_ref(r): the entry after r, rank order.
  EntryRef ref(size_t i) const { return in_place_ ? lookup_.position(i) : EntryRef(i); }
  EntryRef next_ref(EntryRef r) const {
    if (!in_place_) return r + 1;
    lookup::Entry e;
    return lookup_.entry(r, &e) ? e.next : kNoEntry;
  }
  Bytes key_at(EntryRef r) const {
    if (!in_place_) return key(size_t(r));
    lookup::Entry e;
    return lookup_.entry(r, &e) ? e.key : Bytes();
  }
  uint64_t record_offset_at(EntryRef r) const {
    if (!in_place_) return decoded_offset(size_t(r));
    lookup::Entry e;
    return lookup_.entry(r, &e) ? e.record_offset : ~uint64_t(0);
  }
  // In place: the first rank whose key is not less than k, and the end of
  // the keys from `from` (= lower_bound(p)) on that start with p; ~0 when
  // the lookup index is damaged on the way.
  size_t lower_bound(Bytes k) const { return size_t(lookup_.lower_bound(k)); }
  size_t prefix_end(size_t from, Bytes p) const { return size_t(lookup_.prefix_end(from, p)); }

  // The payload of `key`, std::nullopt when absent, or a record-read error.
  Result<std::optional<Bytes>> get(Bytes key) const {
    if (in_place_) {
      lookup::Entry e;
      if (count_ == 0 || lookup_.find(key, lookup_.hash(key), &e) == lookup::LookupIndex::kNone) {
        return std::optional<Bytes>();
      }
      auto payload = format::read_object(mapping_.bytes(), e.record_offset);
      if (!payload) [[unlikely]] return payload.error();
      return std::optional<Bytes>(*payload);
    }
    const EntryRef r = find(key, hash(key));
    if (r == kNoEntry) return std::optional<Bytes>();
    auto payload = format::read_object(mapping_.bytes(), record_offset_at(r));
    if (!payload) [[unlikely]] return payload.error();
    return std::optional<Bytes>(*payload);
  }
  // Whether `key` is indexed; reads no payload bytes.
  bool exists(Bytes key) const { return find(key, hash(key)) != kNoEntry; }
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
  // entry from the slot and prefetch the entry, then its key bytes and
  // payload record, and only then probe. find(k, hash(k)) is the entry get()
  // and exists() use; the prefetches only warm caches, never fault, and may
  // be skipped. All of them are const and thread-safe.
  uint64_t hash(Bytes k) const { return in_place_ ? lookup_.hash(k) : table_.hash(k); }
  void prefetch_slot(uint64_t h) const {
    if (in_place_) {
      lookup_.prefetch_slot(h);
    } else {
      table_.prefetch(h);
    }
  }
  // The entry the home slot of h names (tag match only), or kNoEntry.
  EntryRef guess(uint64_t h) const {
    if (in_place_) return lookup_.guess(h);
    const uint32_t i = table_.candidate(h);
    return i == KeyTable::kNone ? kNoEntry : i;
  }
  void prefetch_meta(EntryRef r) const {
    if (in_place_) {
      lookup_.prefetch_entry(r);
    } else {
      prefetch_entry(size_t(r));
    }
  }
  // Fastest once prefetch_meta(r) has landed. REQUIRES: r names an entry.
  void prefetch_key_and_record(EntryRef r) const {
    if (!in_place_) __builtin_prefetch(keys_.data() + start(size_t(r)));
    const uint64_t o = record_offset_at(r);
    if (o < mapping_.bytes().size()) __builtin_prefetch(mapping_.bytes().data() + o);
  }
  // The entry of `k` (whose hash is h), or kNoEntry.
  EntryRef find(Bytes k, uint64_t h) const {
    if (count_ == 0) return kNoEntry;
    if (in_place_) return lookup_.find(k, h);
    const uint32_t i = table_.find(k, h, [this](uint32_t e) { return key(e); });
    return i == KeyTable::kNone ? kNoEntry : i;
  }
  // The payload of entry r, bounds-checked as get() checks it.
  Result<Bytes> payload(EntryRef r) const { return format::read_object(mapping_.bytes(), record_offset_at(r)); }

 private:
  ReaderCore() = default;
  static Result<ReaderCore> open_in(int dir_fd, const std::string& path, bool no_links, bool verify,
                                    uint64_t wide_from, bool in_place);
  uint64_t decoded_offset(size_t i) const {
    if (wide_) return meta64_[2 * i + 1];
    uint64_t v;
    __builtin_memcpy(&v, &meta32_[3 * i + 1], 8);
    return v;
  }
  Result<std::vector<Item>> collect(size_t begin, size_t end) const;  // entries [begin, end)
  Result<void> decode_index(Bytes file, uint64_t count, uint64_t wide_from);
  // verify() from the record checks on, given each entry's record offset.
  template <class OffsetOf>
  Result<void> verify_records(const format::DataSection& data, OffsetOf offset_of) const;

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

  bool in_place_ = false;
  bool announced_ = false;
  lookup::LookupIndex lookup_;
  std::string lookup_fault_;
};

}  // namespace tarn
