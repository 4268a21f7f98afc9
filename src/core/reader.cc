#include "core/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/crc32.h"
#include "core/fd.h"
#include "core/offset_set.h"  // objects()

namespace tarn {
namespace {

using format::fits;
using format::kHeaderSize;
using format::kRecordPrefix;

using format::key_less;

bool starts_with(Bytes key, Bytes prefix) {
  return key.size() >= prefix.size() && (prefix.empty() || std::memcmp(key.data(), prefix.data(), prefix.size()) == 0);
}

// Whether each of the `n` offsets that offset_of(i) gives names a record
// start the walk found, with a sound CRC-32. An index whose keys do not
// follow object order names records all over the section, and a lookup in
// the map per entry then misses the cache nearly every time: such offsets
// are first grouped by 4 MiB region of the section (a 256 KiB part of the
// map) and checked region by region, two sequential passes instead.
template <class OffsetOf>
bool all_sound_starts(const format::DataSection& data, size_t n, OffsetOf offset_of) {
  constexpr unsigned kRegionBits = 22;
  const uint64_t end = data.reached();
  std::vector<size_t> first(size_t((end - kHeaderSize) >> kRegionBits) + 2, 0);
  size_t descents = 0;
  uint64_t prev = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t o = offset_of(i);
    if (o < kHeaderSize || o >= end) return false;
    ++first[((o - kHeaderSize) >> kRegionBits) + 1];
    descents += o < prev;
    prev = o;
  }
  auto sound = [&](uint64_t o) { return data.is_start(o) && !data.bad_crc(o); };
  if (descents <= n / 8) {
    for (size_t i = 0; i < n; ++i) {
      if (!sound(offset_of(i))) return false;
    }
    return true;
  }
  for (size_t r = 1; r < first.size(); ++r) first[r] += first[r - 1];
  std::vector<uint64_t> grouped(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t o = offset_of(i);
    grouped[first[(o - kHeaderSize) >> kRegionBits]++] = o;
  }
  for (uint64_t o : grouped) {
    if (!sound(o)) return false;
  }
  return true;
}

}  // namespace

Result<ReaderCore> ReaderCore::open(const std::string& path, bool verify, uint64_t wide_from) {
  return open_in(AT_FDCWD, path, false, verify, wide_from, false);
}

Result<ReaderCore> ReaderCore::open_in_place(const std::string& path, bool verify) {
  return open_in(AT_FDCWD, path, false, verify, uint64_t(1) << 32, true);
}

Result<ReaderCore> ReaderCore::open_at(int dir_fd, const std::string& name, bool verify, const std::string& shown) {
  auto core = open_in(dir_fd, name, true, verify, uint64_t(1) << 32, true);
  if (core) core->path_ = shown;
  return core;
}

namespace {

// Opens `path` (relative to `dir_fd`) for reading. With `no_links`, every
// component is opened on its own, relative to the directory before it, and
// none may be a symbolic link. O_NONBLOCK: opening a FIFO must not wait for
// a writer; the caller's type check then refuses it before anything is read.
Result<Fd> open_for_mapping(int dir_fd, const std::string& path, bool no_links) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (no_links ? O_NOFOLLOW : 0);
  Fd dir;
  int at = dir_fd;
  std::string rest = path;
  auto failed = [&](int err, const std::string& component) -> CoreError {
    struct stat st;
    if (no_links && (err == ELOOP || err == ENOTDIR) &&
        ::fstatat(at, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      return CoreError::IO("cannot open " + path + ": is a symbolic link");
    }
    // A socket cannot be opened at all (ENXIO): name it as what it is not.
    if (err == ENXIO && ::fstatat(at, component.c_str(), &st, 0) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      return CoreError::IO("cannot open " + path + ": not a regular file");
    }
    return CoreError::IO("cannot open " + path + ": ", err);
  };
  if (no_links) {
    // Only names inside the directory: nothing absolute, nothing that climbs.
    if (path.empty() || path.front() == '/' || ("/" + path + "/").find("/../") != std::string::npos) {
      return CoreError::IO("cannot open " + path + ": not a name inside the directory");
    }
    for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1)) {
      const std::string component = rest.substr(0, slash);
      const int raw = no_eintr(
          [&] { return ::openat(at, component.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW); });
      if (raw < 0) return failed(errno, component);
      dir = Fd(raw);
      at = dir.get();
    }
  }
  const int raw = no_eintr([&] { return ::openat(at, rest.c_str(), flags); });
  if (raw < 0) return failed(errno, rest);
  return Fd(raw);
}

}  // namespace

Result<ReaderCore> ReaderCore::open_in(int dir_fd, const std::string& path, bool no_links, bool verify,
                                       uint64_t wide_from, bool in_place) {
  if (path.find('\0') != std::string::npos) {
    return CoreError::IO("cannot open " + path + ": file name contained an unexpected NUL byte");
  }
  auto opened = open_for_mapping(dir_fd, path, no_links);
  if (!opened) return opened.error();
  const Fd fd = std::move(*opened);
  struct stat st;

  if (::fstat(fd.get(), &st) < 0) return CoreError::IO("mmap failed: ", errno);
  // A directory opens but cannot be mapped: it fails at the mapping, with
  // the mapping's error ("mmap failed: ...", a text callers match on).
  // Other special files are refused before anything is read from them.
  const bool directory = S_ISDIR(st.st_mode);
  if (!S_ISREG(st.st_mode) && !directory) return CoreError::IO("cannot open " + path + ": not a regular file");
  const uint64_t size = directory ? 0 : uint64_t(st.st_size);
  // An empty file is mapped one byte long: a zero-length mapping is refused.
  const size_t map_len = size ? size_t(size) : 1;
  void* addr = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return CoreError::IO("mmap failed: ", errno);
#ifdef MADV_HUGEPAGE
  // Lookups land on random pages of the file (a slot, an entry, a record):
  // mapped in small pages nearly each is a TLB miss and a page walk of its
  // own. The kernel maps a page-cache folio of huge-page size with one entry;
  // the advice makes the pages this mapping faults in arrive as such folios
  // (read in 2 MiB at a time). Advice only: the pages stay the page cache's,
  // shared, and where the kernel or file system has no such folios, small
  // pages serve. The writer's sink writes whole aligned 2 MiB pieces for the
  // same reason (sink.cc).
  (void)::madvise(addr, map_len, MADV_HUGEPAGE);
#endif
  if (directory) {  // no file system maps one; should one, it is still no store
    ::munmap(addr, map_len);
    return CoreError::IO("mmap failed: ", ENODEV);
  }

  ReaderCore core;
  core.mapping_ = MappedFile(addr, map_len, size_t(size));  // unmapped with `core` on any failure below
  const Bytes file = core.mapping_.bytes();

  auto parsed = format::parse_header(file, verify);
  if (!parsed) return parsed.error();
  core.header_.index_offset = parsed->index_offset;
  core.header_.file_size = size;
  core.header_.num_keys = parsed->num_keys;
  core.header_.num_objects = parsed->num_objects;
  core.header_.file_crc32 = parsed->file_crc32;
  core.announced_ = lookup::announced(file);
  core.path_ = path;

  if (in_place && core.announced_) {
    auto index = lookup::LookupIndex::open(file, *parsed);
    if (index) {
      core.lookup_ = *index;
      core.in_place_ = true;
      core.count_ = core.header_.num_keys;
      return core;
    }
    core.lookup_fault_ = index.error().detail();
  }
  if (auto r = core.decode_index(file, parsed->num_keys, wide_from); !r) return r.error();
  if (core.header_.index_offset < size) {
    // The index has been copied out: drop its pages from this mapping (they
    // stay in the page cache) so that they do not count as reader memory.
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = uintptr_t(file.data());
    const uintptr_t lo = (begin + core.header_.index_offset + page - 1) & ~(page - 1);
    const uintptr_t hi = begin + size;
    if (hi > lo) (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
  }
  core.path_ = path;
  return core;
}

Result<void> ReaderCore::decode_index(Bytes file, uint64_t count, uint64_t wide_from) {
  const uint8_t* base = file.data();

  // First pass: walk the entries' length fields only, with every bounds
  // check. The header's count is not covered by the checksum, so nothing is
  // allocated until the entries are known to be there: an absurd count ends
  // in a truncation error, not in exhausted memory.
  uint64_t pos = header_.index_offset;
  uint64_t key_bytes = 0;
  for (uint64_t i = 0; i < count; ++i) {
    auto entry = format::read_index_entry(file, pos);
    if (!entry) return entry.error();
    key_bytes += entry->key.size();
    pos = entry->next;
  }

  // Second pass: copy, presized exactly.
  wide_ = key_bytes >= wide_from;
  keys_ = PageArray<uint8_t>(size_t(key_bytes ? key_bytes : 1));
  if (wide_) {
    meta64_ = PageArray<uint64_t>(2 * (size_t(count) + 1));
  } else {
    meta32_ = PageArray<uint32_t>(3 * (size_t(count) + 1));
  }
  auto key_of = [this](uint32_t i) { return key(i); };
  table_.reserve(count, key_of);

  // Entries enter the table a few keys behind their copy, with their home
  // slot prefetched meanwhile: a large table misses the cache on nearly every
  // insert, and this overlaps those misses instead of waiting for each.
  constexpr size_t kLag = 16;
  struct Pending {
    uint64_t hash;
    uint32_t entry;
  };
  Pending pending[kLag];
  auto insert = [&](const Pending& p) {
    const Bytes k = key(p.entry);
    // A repeated key keeps its first copy but now names the later entry.
    (void)table_.upsert(k, p.hash, p.entry, true, key_of);
  };

  pos = header_.index_offset;
  uint64_t used = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t k = format::load_be16(base + pos);
    const uint8_t* kp = base + pos + 2;
    uint8_t* dst = keys_.data() + used;
    const uint64_t offset = format::load_be64(kp + k);
    if (k) std::memcpy(dst, kp, k);
    if (wide_) {
      meta64_[2 * i + 1] = offset;
      meta64_[2 * i + 2] = used + k;
    } else {
      std::memcpy(&meta32_[3 * i + 1], &offset, 8);
      meta32_[3 * i + 3] = uint32_t(used + k);
    }
    used += k;
    count_ = i + 1;
    const uint64_t h = table_.hash({dst, k});
    table_.prefetch(h);
    Pending& slot = pending[i % kLag];
    if (i >= kLag) insert(slot);  // the entry kLag keys back
    slot = {h, uint32_t(i)};
    pos += 2 + k + 8;
  }
  // Entries are inserted in file order, so the later of two equal keys wins.
  for (uint64_t i = count > kLag ? count - kLag : 0; i < count; ++i) insert(pending[i % kLag]);
  return Ok{};
}

Result<std::vector<Item>> ReaderCore::prefix(Bytes p) const {
  const size_t n = entry_count();
  if (n == 0) return std::vector<Item>();
  if (in_place_) {
    const size_t from = lower_bound(p);
    const size_t end = from == ~size_t(0) ? from : prefix_end(from, p);
    if (end == ~size_t(0)) return lookup_damage();
    return collect(from, end);
  }
  // Lower bound: the first key not less than p.
  // Both places the next probe can fall are requested while this one is
  // compared, so that in a large index each step waits for less.
  size_t size = n, base = 0;
  while (size > 1) {
    const size_t half = size / 2, mid = base + half, next = (size - half) / 2;
    prefetch_entry(base + next);
    prefetch_entry(mid + next);
    if (key_less(key(mid), p)) base = mid;
    size -= half;
  }
  size_t end = key_less(key(base), p) ? base + 1 : base;
  const size_t begin = end;
  while (end < n && starts_with(key(end), p)) ++end;
  return collect(begin, end);
}

Result<std::vector<Item>> ReaderCore::items() const { return collect(0, entry_count()); }

Result<std::vector<Item>> ReaderCore::collect(size_t begin, size_t end) const {
  std::vector<Item> out;
  out.reserve(end - begin);
  const Bytes file = mapping_.bytes();
  // Records lie in object order, so consecutive keys' records are far apart
  // in a large file: each is requested a few entries ahead of its turn, and
  // the cache misses overlap instead of queueing one after another.
  constexpr size_t kAhead = 8;
  auto prefetch = [&](size_t i) {
    const uint64_t o = record_offset(i);
    if (o < file.size()) __builtin_prefetch(file.data() + o);
  };
  for (size_t i = begin; i < end && i < begin + kAhead; ++i) prefetch(i);
  for (size_t i = begin; i < end; ++i) {
    if (i + kAhead < end) prefetch(i + kAhead);
    auto payload = format::read_object(file, record_offset(i));
    if (!payload) return payload.error();
    out.push_back({uint32_t(i), *payload});
  }
  return out;
}

Result<std::vector<Bytes>> ReaderCore::objects() const {
  std::vector<Bytes> out;
  OffsetSet seen(entry_count());
  const Bytes file = mapping_.bytes();
  for (size_t i = 0; i < entry_count(); ++i) {
    const uint64_t o = record_offset(i);
    if (!seen.insert(o)) continue;
    auto payload = format::read_object(file, o);
    if (!payload) return payload.error();
    out.push_back(*payload);
  }
  return out;
}

Result<void> ReaderCore::verify() const {
  const Bytes file = mapping_.bytes();
  const uint64_t size = file.size();
  const uint64_t index_at = header_.index_offset;
  const auto n = [](uint64_t v) { return std::to_string(v); };

  // One pass reads the data section: the whole-file CRC-32, each record's own
  // CRC-32 and the record starts, while the record is in cache.
  const bool sections = index_at >= kHeaderSize && index_at <= size;
  format::DataSection data;
  uint32_t computed;
  if (sections) {
    data = format::DataSection::walk(file, index_at, header_.num_objects);
    computed = crc32(file.subspan(index_at), data.crc());
  } else {
    computed = crc32(file.subspan(kHeaderSize));
  }
  // The whole-file check comes first, as it does at open.
  if (computed != header_.file_crc32) return format::file_crc_mismatch(header_.file_crc32, computed);

  // The checksum leaves the header unprotected: check what it says about the
  // layout against the bytes.
  if (!sections) return CoreError::Corrupt("index offset " + n(index_at) + " lies outside the file [40, " + n(size) + "]");
  if (!lookup_fault_.empty()) return CoreError::Corrupt(lookup_fault_);
  if (in_place_) {
    // The lookup index walks the section itself; the record checks then go
    // by the offsets it collected.
    std::vector<uint64_t> offsets;
    if (auto r = lookup_.verify(&offsets); !r) return r;
    const uint64_t rec = lookup_.record_offset();
    if (rec < data.reached() && (!data.is_start(rec) || data.bad_crc(rec))) {
      return CoreError::Corrupt("lookup index: record CRC32 mismatch at offset " + n(rec));
    }
    // The lookup index is an object no key may name.
    for (size_t i = 0; i < offsets.size(); ++i) {
      if (offsets[i] == lookup_.record_offset()) {
        return CoreError::Corrupt("lookup index: key #" + n(i) + " names the lookup index record at " + n(offsets[i]));
      }
    }
    return verify_records(data, [&](size_t i) { return offsets[i]; });
  }
  const uint64_t index_end = index_at + format::kEntryOverhead * uint64_t(count_) + start(count_);
  if (index_end != size) {
    return CoreError::Corrupt("index ends at " + n(index_end) + " but the file is " + n(size) + " bytes");
  }
  return verify_records(data, [this](size_t i) { return decoded_offset(i); });
}

template <class OffsetOf>
Result<void> ReaderCore::verify_records(const format::DataSection& data, OffsetOf offset_of) const {
  const Bytes file = mapping_.bytes();
  const uint64_t size = file.size();
  const uint64_t index_at = header_.index_offset;
  const auto n = [](uint64_t v) { return std::to_string(v); };

  // Each record an index entry names. A record start the walk found is known
  // sound but for its CRC-32; when every entry names one with a sound CRC-32,
  // that is all. Otherwise the entries are checked again in index order, so
  // that the error is that of the first record a caller reading keys in
  // order would meet, and anything but a sound start gets the full check.
  // The walk's own faults come after every entry's.
  auto section_checks = [&]() -> Result<void> {
    if (data.broken()) {
      return CoreError::Corrupt("record at " + n(data.reached()) + " runs past the data section end " + n(index_at));
    }
    if (data.records() != header_.num_objects) {
      return CoreError::Corrupt("data section holds " + n(data.records()) + " records, the header says " +
                                n(header_.num_objects));
    }
    return Ok{};
  };
  if (all_sound_starts(data, count_, offset_of)) return section_checks();
  constexpr size_t kAhead = 32;
  for (size_t i = 0; i < count_ && i < kAhead; ++i) data.prefetch(offset_of(i));
  for (size_t i = 0; i < count_; ++i) {
    if (i + kAhead < count_) data.prefetch(offset_of(i + kAhead));
    const uint64_t o = offset_of(i);
    const bool walked = o >= kHeaderSize && o < data.reached();
    if (walked && data.is_start(o)) [[likely]] {
      if (data.bad_crc(o)) return CoreError::Corrupt("object CRC32 mismatch at offset " + n(o));
      continue;
    }
    if (!fits(o, kRecordPrefix, size)) return CoreError::Corrupt("object offset " + n(o) + " out of bounds");
    const uint64_t len = format::load_be32(file.data() + o);
    if (!fits(o + kRecordPrefix, len, size)) return format::record_beyond_end(o);
    if (o < kHeaderSize || o >= index_at) {
      return CoreError::Corrupt("record offset " + n(o) + " of key #" + n(i) + " lies outside the data section [40, " +
                                n(index_at) + ")");
    }
    if (walked) return CoreError::Corrupt("record offset " + n(o) + " of key #" + n(i) + " is not the start of a record");
    // Past a broken record the walk knows no starts; the walk's own error
    // follows the index-order checks.
    if (crc32(file.subspan(o + kRecordPrefix, len)) != format::load_be32(file.data() + o + 4)) {
      return CoreError::Corrupt("object CRC32 mismatch at offset " + n(o));
    }
  }
  return section_checks();
}

}  // namespace tarn
