// libFuzzer target: ReaderCore on arbitrary file contents.
//
// Each input is written to a memory-backed file and opened with verification
// off and on. Whatever opens is then asked every question a reader answers:
// each key's lookup and presence, prefix scans over keys from the index and
// prefixes derived from them, the full listings and the deep verification
// (and, where that passes, what a sound file promises). A file that carries
// a lookup index is also read in place through it.
// Every answer, error or not, is compared with a deliberately simple decoder
// of the same bytes written here (bitwise CRC-32, checked arithmetic on
// 128-bit integers, std::map), so a wrong answer aborts as surely as an
// out-of-bounds read does under the sanitizers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/reader.h"
#include "core/utf8.h"
#include "fuzz_common.h"

const char fuzz::kTargetName[] = "fuzz_reader";

namespace {

using fuzz::fail;
using fuzz::str;
using tarn::Bytes;
using tarn::CoreError;
using tarn::ErrorKind;
using u128 = unsigned __int128;

uint32_t crc32_bitwise(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// What the reader is expected to answer: an error (kind and detail text) or
// a value.
struct Expect {
  bool ok = true;
  ErrorKind kind = ErrorKind::kCorrupt;
  std::string detail;
  static Expect Err(ErrorKind k, std::string d) { return {false, k, std::move(d)}; }
};

void same_error(const Expect& want, const CoreError& got, const char* where) {
  CHECK(!want.ok, std::string(where) + ": unexpected error " + got.message());
  CHECK(got.kind() == want.kind, std::string(where) + ": kind of " + got.message());
  CHECK(got.detail() == want.detail, std::string(where) + ": got '" + got.detail() + "' want '" + want.detail + "'");
}

struct Model {
  std::vector<uint8_t> file;
  uint32_t num_keys = 0, num_objects = 0, stored_crc = 0;
  uint64_t index_offset = 0;
  std::vector<std::string> keys;
  std::vector<uint64_t> offsets;
  std::map<std::string, size_t> last;  // key -> its last entry
  bool sorted = true;

  // Open as the reader must: the first failing check decides the error.
  Expect open(bool verify) {
    const uint8_t* f = file.data();
    const u128 L = file.size();
    if (L < 40) return Expect::Err(ErrorKind::kCorrupt, "file too small for header");
    if (std::memcmp(f, "TNDB", 4) != 0) {
      return Expect::Err(ErrorKind::kCorrupt, "bad magic [" + std::to_string(f[0]) + ", " + std::to_string(f[1]) +
                                                  ", " + std::to_string(f[2]) + ", " + std::to_string(f[3]) + "]");
    }
    if (f[4] != 2) return Expect::Err(ErrorKind::kVersion, "unsupported version " + std::to_string(f[4]));
    num_keys = uint32_t(be(f + 8, 4));
    num_objects = uint32_t(be(f + 12, 4));
    index_offset = be(f + 16, 8);
    stored_crc = uint32_t(be(f + 32, 4));
    if (verify) {
      const uint32_t computed = crc32_bitwise(f + 40, file.size() - 40);
      if (computed != stored_crc) {
        return Expect::Err(ErrorKind::kCorrupt,
                           "file CRC32 mismatch  stored=" + hex32(stored_crc) + "  computed=" + hex32(computed));
      }
    }
    u128 pos = index_offset;
    for (uint32_t i = 0; i < num_keys; ++i) {
      if (pos + 2 > L) return Expect::Err(ErrorKind::kCorrupt, "index section truncated (key_len)");
      const uint64_t k = be(f + uint64_t(pos), 2);
      if (pos + 2 + k + 8 > L) return Expect::Err(ErrorKind::kCorrupt, "index section truncated (key + offset)");
      keys.emplace_back(reinterpret_cast<const char*>(f + uint64_t(pos) + 2), k);
      offsets.push_back(be(f + uint64_t(pos) + 2 + k, 8));
      last[keys.back()] = i;
      if (i > 0 && keys[i - 1] > keys[i]) sorted = false;
      pos += 2 + k + 8;
    }
    return {};
  }

  // The record read: the payload of the record at o, or its error.
  Expect read(uint64_t o, std::string* payload) const {
    const u128 L = file.size();
    if (u128(o) + 8 > L) return Expect::Err(ErrorKind::kCorrupt, "offset " + std::to_string(o) + " out of bounds");
    const uint64_t n = be(file.data() + o, 4);
    if (u128(o) + 8 + n > L) {
      return Expect::Err(ErrorKind::kCorrupt, "object at " + std::to_string(o) + " extends beyond file end");
    }
    if (payload) payload->assign(reinterpret_cast<const char*>(file.data() + o + 8), n);
    return {};
  }

  // The deep check as the layout states it: the whole-file CRC-32; the
  // index section from index_offset exactly to the end; then each entry's
  // record in index order; then the data section [40, index_offset) as
  // num_objects records back to back. The record starts come from a plain
  // walk into a std::set.
  Expect verify() const {
    const uint32_t computed = crc32_bitwise(file.data() + 40, file.size() - 40);
    if (computed != stored_crc) {
      return Expect::Err(ErrorKind::kCorrupt,
                         "file CRC32 mismatch  stored=" + hex32(stored_crc) + "  computed=" + hex32(computed));
    }
    const u128 L = file.size();
    const u128 io = index_offset;
    auto n = [](u128 v) { return std::to_string(uint64_t(v)); };
    if (io < 40 || io > L) {
      return Expect::Err(ErrorKind::kCorrupt, "index offset " + n(io) + " lies outside the file [40, " + n(L) + "]");
    }
    u128 end = io;
    for (const std::string& k : keys) end += 2 + k.size() + 8;
    if (end != L) {
      return Expect::Err(ErrorKind::kCorrupt, "index ends at " + n(end) + " but the file is " + n(L) + " bytes");
    }
    std::set<uint64_t> starts, bad;
    u128 pos = 40;
    bool broken = false;
    while (pos < io) {
      if (pos + 8 > io || pos + 8 + be(file.data() + uint64_t(pos), 4) > io) {
        broken = true;
        break;
      }
      const uint64_t len = be(file.data() + uint64_t(pos), 4);
      starts.insert(uint64_t(pos));
      if (crc32_bitwise(file.data() + uint64_t(pos) + 8, len) != be(file.data() + uint64_t(pos) + 4, 4)) {
        bad.insert(uint64_t(pos));
      }
      pos += 8 + len;
    }
    const u128 reached = pos;
    for (size_t i = 0; i < offsets.size(); ++i) {
      const uint64_t o = offsets[i];
      const std::string at = std::to_string(o), key = " of key #" + std::to_string(i);
      if (starts.count(o)) {
        if (bad.count(o)) return Expect::Err(ErrorKind::kCorrupt, "object CRC32 mismatch at offset " + at);
        continue;
      }
      if (u128(o) + 8 > L) return Expect::Err(ErrorKind::kCorrupt, "object offset " + at + " out of bounds");
      const uint64_t len = be(file.data() + o, 4);
      if (u128(o) + 8 + len > L) return Expect::Err(ErrorKind::kCorrupt, "object at " + at + " extends beyond file end");
      if (o < 40 || o >= io) {
        return Expect::Err(ErrorKind::kCorrupt,
                           "record offset " + at + key + " lies outside the data section [40, " + n(io) + ")");
      }
      if (o < reached) return Expect::Err(ErrorKind::kCorrupt, "record offset " + at + key + " is not the start of a record");
      if (crc32_bitwise(file.data() + o + 8, len) != be(file.data() + o + 4, 4)) {
        return Expect::Err(ErrorKind::kCorrupt, "object CRC32 mismatch at offset " + at);
      }
    }
    if (broken) {
      return Expect::Err(ErrorKind::kCorrupt, "record at " + n(reached) + " runs past the data section end " + n(io));
    }
    if (starts.size() != num_objects) {
      return Expect::Err(ErrorKind::kCorrupt, "data section holds " + std::to_string(starts.size()) +
                                                  " records, the header says " + std::to_string(num_objects));
    }
    return {};
  }
};

// Checks one scan result (prefix or items) against the model: `match` tells
// which entries belong, in index order. An unsorted index lets the reader's
// binary search land anywhere, so there only soundness is checked.
void check_scan(const Model& m, const tarn::ReaderCore& r, const tarn::Result<std::vector<tarn::Item>>& got,
                const std::string& prefix, bool whole, const char* where) {
  const bool exact = whole || m.sorted;
  Expect want;
  std::vector<size_t> entries;
  for (size_t i = 0; i < m.keys.size(); ++i) {
    if (!whole && m.keys[i].compare(0, prefix.size(), prefix) != 0) continue;
    entries.push_back(i);
    if (want.ok) want = m.read(m.offsets[i], nullptr);
  }
  if (!got) {
    if (exact) {
      same_error(want, got.error(), where);
    } else {
      CHECK(got.error().kind() == ErrorKind::kCorrupt, where);
    }
    return;
  }
  if (exact) {
    CHECK(want.ok, std::string(where) + ": expected " + want.detail);
    CHECK(got->size() == entries.size(), where);
  }
  const std::vector<tarn::Item>& items = *got;
  for (size_t j = 0; j < items.size(); ++j) {
    const uint32_t e = items[j].entry;
    CHECK(e < m.keys.size(), where);
    if (exact) CHECK(e == entries[j], where);
    if (j > 0) CHECK(e > items[j - 1].entry, where);
    CHECK(str(r.key(e)) == m.keys[e], where);
    if (!whole) CHECK(m.keys[e].compare(0, prefix.size(), prefix) == 0, where);
    std::string payload;
    CHECK(m.read(m.offsets[e], &payload).ok, where);
    CHECK(str(items[j].payload) == payload, where);
  }
}

void check_lookup(const Model& m, const tarn::ReaderCore& r, const std::string& key) {
  const Bytes kb(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  auto it = m.last.find(key);
  CHECK(r.exists(kb) == (it != m.last.end()), "exists");
  auto got = r.get(kb);
  if (it == m.last.end()) {
    CHECK(got && !got->has_value(), "get of an absent key");
    return;
  }
  std::string payload;
  const Expect want = m.read(m.offsets[it->second], &payload);
  if (!got) return same_error(want, got.error(), "get");
  CHECK(want.ok, "get: expected " + want.detail);
  CHECK(got->has_value() && str(**got) == payload, "get payload");
}

// Drives one opened reader through everything it answers.
void exercise(Model& m, const tarn::ReaderCore& r) {
  const tarn::FileHeader& h = r.header();
  CHECK(h.file_size == m.file.size() && h.num_keys == m.num_keys && h.num_objects == m.num_objects &&
            h.index_offset == m.index_offset && h.file_crc32 == m.stored_crc,
        "header");
  CHECK(r.entry_count() == m.keys.size(), "entry count");

  for (size_t i = 0; i < m.keys.size(); ++i) {
    const Bytes k = r.key(i);
    CHECK(str(k) == m.keys[i], "key " + std::to_string(i));
    // The text form shown for a key is always well-formed, and unchanged
    // for a key that already was.
    const std::string text = tarn::utf8_lossy(k);
    CHECK(tarn::utf8_valid({reinterpret_cast<const uint8_t*>(text.data()), text.size()}), "lossy output");
    if (tarn::utf8_valid(k)) CHECK(text == m.keys[i], "lossy of valid UTF-8");
  }

  // Lookups: every distinct key, and keys next to them that may be absent.
  size_t budget = 512;
  for (const auto& [key, entry] : m.last) {
    if (budget-- == 0) break;
    check_lookup(m, r, key);
    check_lookup(m, r, key + '\0');
    if (!key.empty()) check_lookup(m, r, key.substr(0, key.size() - 1));
  }
  check_lookup(m, r, "");
  check_lookup(m, r, std::string("\xff\xff\xff", 3));

  // Prefix scans: the empty prefix, whole keys, cut keys, keys with their
  // last byte bumped (just past a run), and some text from the file itself.
  std::vector<std::string> prefixes = {"", std::string(1, '\0'), "\xff", "a"};
  for (size_t i = 0; i < m.keys.size() && prefixes.size() < 40; i += 1 + m.keys.size() / 12) {
    const std::string& k = m.keys[i];
    prefixes.push_back(k);
    prefixes.push_back(k.substr(0, k.size() / 2));
    if (!k.empty()) {
      std::string bumped = k;
      bumped.back() = char(uint8_t(bumped.back()) + 1);
      prefixes.push_back(bumped);
    }
  }
  if (m.file.size() > 44) prefixes.emplace_back(reinterpret_cast<const char*>(m.file.data() + 40), 2);
  for (const std::string& p : prefixes) {
    auto got = r.prefix({reinterpret_cast<const uint8_t*>(p.data()), p.size()});
    check_scan(m, r, got, p, false, "prefix");
  }
  check_scan(m, r, r.items(), "", true, "items");

  // objects(): each distinct record once, in order of first reference.
  {
    Expect want;
    std::vector<std::string> payloads;
    std::set<uint64_t> seen;
    for (uint64_t o : m.offsets) {
      if (!seen.insert(o).second) continue;
      std::string p;
      want = m.read(o, &p);
      if (!want.ok) break;
      payloads.push_back(std::move(p));
    }
    auto got = r.objects();
    if (!got) {
      same_error(want, got.error(), "objects");
    } else {
      CHECK(want.ok, "objects: expected " + want.detail);
      CHECK(got->size() == payloads.size(), "objects count");
      for (size_t i = 0; i < payloads.size(); ++i) CHECK(str((*got)[i]) == payloads[i], "objects payload");
    }
  }

  const Expect want = m.verify();
  auto got = r.verify();
  if (!got) {
    same_error(want, got.error(), "verify");
    return;
  }
  CHECK(want.ok, "verify: expected " + want.detail);
  // What a sound file promises, checked on the reader's own state and the
  // raw bytes: the index ends at the end of the file; every entry names a
  // record that lies inside the data section and matches its CRC-32; every
  // key reads; the data section holds no more records than the header counts.
  const uint8_t* f = m.file.data();
  uint64_t index_end = h.index_offset;
  for (size_t i = 0; i < r.entry_count(); ++i) index_end += 10 + r.key(i).size();
  CHECK(index_end == h.file_size, "verified: the index ends at the end of the file");
  for (size_t i = 0; i < r.entry_count(); ++i) {
    const uint64_t o = r.record_offset(i);
    CHECK(o >= 40 && o < h.index_offset, "verified: record offset inside the data section");
    const uint64_t len = be(f + o, 4);
    CHECK(u128(o) + 8 + len <= h.index_offset, "verified: record ends inside the data section");
    CHECK(crc32_bitwise(f + o + 8, len) == be(f + o + 4, 4), "verified: record CRC-32");
    auto payload = r.get(r.key(i));
    CHECK(payload && payload->has_value(), "verified: every key reads");
  }
  auto objects = r.objects();
  CHECK(objects && objects->size() <= h.num_objects, "verified: no more objects than the header counts");
}

fuzz::MemFile g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file.create("fuzz_reader");
  return 0;
}

// The same bytes read in place, through the lookup index the header may
// announce. Whatever the structure holds, nothing reads outside the mapping,
// and a hit's entry carries the very key asked for. Before verify() the
// structure is trusted only as far as constant-time checks go: a slot may
// name a position inside another entry whose bytes spell the key, and a
// fence that fits among its neighbours may name another entry. So a lookup
// answers with the payload of an entry of its key and a rank gives its
// entry's key (or nothing), unless verify() names the damage; and verify()
// passing means every key is found.
void exercise_in_place(Model& m) {
  auto opened = tarn::ReaderCore::open_in_place(g_file.path(), false);
  if (!opened) return;  // the decoded open's errors are checked above
  const tarn::ReaderCore& r = *opened;
  if (!r.in_place()) return;
  CHECK(r.entry_count() == m.num_keys, "in place: entry count");
  bool lookups_sound = true, ranks_sound = true;
  for (size_t i = 0; i < m.keys.size(); ++i) {
    const Bytes k(reinterpret_cast<const uint8_t*>(m.keys[i].data()), m.keys[i].size());
    auto got = r.get(k);
    if (!got || !*got) continue;
    bool matches = false;
    for (size_t j = 0; j < m.keys.size() && !matches; ++j) {
      std::string payload;
      matches = m.keys[j] == m.keys[i] && m.read(m.offsets[j], &payload).ok && payload == str(**got);
    }
    lookups_sound = lookups_sound && matches;
    const Bytes rank_key = r.key(i);
    ranks_sound = ranks_sound && (rank_key.empty() || str(rank_key) == m.keys[i]);
    (void)r.lower_bound(k);
  }
  if (r.verify()) {
    CHECK(lookups_sound, "in place: verify() passed but a lookup gave a payload no entry of its key names");
    CHECK(ranks_sound, "in place: verify() passed but a rank gave another entry's key");
    for (size_t i = 0; i < m.keys.size(); ++i) {
      const Bytes k(reinterpret_cast<const uint8_t*>(m.keys[i].data()), m.keys[i].size());
      auto got = r.get(k);
      std::string payload;
      CHECK(got && *got && m.read(m.offsets[i], &payload).ok && payload == str(**got),
            "in place: verify() passed but a key is not found");
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_file.replace(data, size);

  for (bool verify : {false, true}) {
    Model m;
    m.file.assign(data, data + size);
    const Expect want = m.open(verify);
    auto opened = tarn::ReaderCore::open(g_file.path(), verify);
    if (!opened) {
      same_error(want, opened.error(), verify ? "open(verify)" : "open");
      continue;
    }
    CHECK(want.ok, std::string("open succeeded, expected ") + want.detail);
    CHECK(opened->path() == g_file.path(), "path");
    exercise(m, *opened);
    if (!verify) exercise_in_place(m);
  }
  return 0;
}
