// Unit tests of the cores that need no interpreter: the decoders and
// encoders of src/core/format.h on crafted bytes (every truncated prefix,
// every message), the temporary-path rule of src/core/temp_path.h, the UTF-8
// checks of src/core/utf8.h, the CRC-32, the CoreError display forms, the
// page-backed arrays and key comparison under the hash tables, and the
// reader's two index layouts against each other.
//
// A plain main(): prints each failure, then "N passed, N failed", and
// returns non-zero if anything failed. Built by CMake with
// -DTARNDB_CORE_TESTS=ON as the target core_tests (tests/test_core_cpp.py
// builds and runs it).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic_file.h"
#include "core/crc32.h"
#include "core/error.h"
#include "core/format.h"
#include "core/keytable.h"
#include "core/msgpack.h"
#include "core/keyview.h"
#include "core/lookup_index.h"
#include "core/sink.h"
#include "core/merge.h"
#include "core/page_array.h"
#include "core/reader.h"
#include "core/route.h"
#include "core/temp_path.h"
#include "core/utf8.h"
#include "core/writer.h"

namespace {

using tarn::CoreError;
using tarn::ErrorKind;
using tarn::Result;
using Buf = std::vector<uint8_t>;
namespace fmt = tarn::format;

int g_passed = 0;
int g_failed = 0;
std::string g_context;  // shown with failures, set by scopes below

void report(bool ok, const std::string& what, const char* file, int line) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  std::printf("FAIL %s:%d: %s%s%s\n", file, line, what.c_str(), g_context.empty() ? "" : "  [",
              g_context.empty() ? "" : (g_context + "]").c_str());
}

struct Context {
  std::string saved;
  explicit Context(std::string c) : saved(g_context) { g_context = std::move(c); }
  ~Context() { g_context = saved; }
};

std::string show(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out += char(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  return out + "\"";
}
std::string show(uint64_t v) { return std::to_string(v); }

#define CHECK(cond) report((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(a, b)                                                                             \
  do {                                                                                             \
    const auto& va_ = (a);                                                                         \
    const auto& vb_ = (b);                                                                         \
    report(va_ == vb_, std::string(#a " == " #b "  (") + show(va_) + " vs " + show(vb_) + ")", __FILE__, \
           __LINE__);                                                                              \
  } while (0)

std::string str(const Buf& b) { return std::string(b.begin(), b.end()); }
std::string str(std::span<const uint8_t> b) { return std::string(b.begin(), b.end()); }
fmt::Bytes span(const Buf& b) { return fmt::Bytes(b.data(), b.size()); }
fmt::Bytes prefix(const Buf& b, size_t n) { return fmt::Bytes(b.data(), n); }
Buf bytes(const std::string& s) { return Buf(s.begin(), s.end()); }

void put_be(Buf& b, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void append(Buf& b, const Buf& more) { b.insert(b.end(), more.begin(), more.end()); }

// A bit-at-a-time CRC-32 (ISO-HDLC), the reference for everything else.
uint32_t ref_crc(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}
uint32_t ref_crc(const Buf& b) { return ref_crc(b.data(), b.size()); }

struct HeaderSpec {
  std::string magic = "TNDB";
  uint8_t version = 2;
  Buf reserved1 = {0, 0, 0};
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = 40;
  uint64_t data_offset = 40;
  uint32_t crc = 0;
  Buf reserved2 = {0, 0, 0, 0};
};

Buf header(const HeaderSpec& h) {
  Buf b(h.magic.begin(), h.magic.end());
  b.push_back(h.version);
  append(b, h.reserved1);
  put_be(b, h.num_keys, 4);
  put_be(b, h.num_objects, 4);
  put_be(b, h.index_offset, 8);
  put_be(b, h.data_offset, 8);
  put_be(b, h.crc, 4);
  append(b, h.reserved2);
  return b;
}

Buf record(const std::string& payload, int64_t len = -1, int64_t crc = -1) {
  Buf b;
  Buf p = bytes(payload);
  put_be(b, len < 0 ? p.size() : uint64_t(len), 4);
  put_be(b, crc < 0 ? ref_crc(p) : uint32_t(crc), 4);
  append(b, p);
  return b;
}

Buf entry(const std::string& key, uint64_t offset, int64_t key_len = -1) {
  Buf b;
  put_be(b, key_len < 0 ? key.size() : uint64_t(key_len), 2);
  append(b, bytes(key));
  put_be(b, offset, 8);
  return b;
}

// The 92-byte worked example.
Buf worked_example() {
  Buf body = record("abc");
  append(body, record(""));
  append(body, entry("a", 51));
  append(body, entry("b", 40));
  append(body, entry("k", 40));
  HeaderSpec h;
  h.num_keys = 3;
  h.num_objects = 2;
  h.index_offset = 59;
  h.crc = ref_crc(body);
  Buf file = header(h);
  append(file, body);
  return file;
}

template <class T>
void check_error(const Result<T>& r, ErrorKind kind, const std::string& message, const char* file, int line) {
  if (r.has_value()) {
    report(false, "expected the error " + show(message) + ", got a value", file, line);
    return;
  }
  report(r.error().kind() == kind, "error kind of " + show(r.error().message()), file, line);
  report(r.error().message() == message,
         "message " + show(r.error().message()) + " vs expected " + show(message), file, line);
}
#define CHECK_ERROR(r, kind, msg) check_error((r), (kind), (msg), __FILE__, __LINE__)
#define CHECK_CORRUPT(r, text) CHECK_ERROR((r), ErrorKind::kCorrupt, std::string("TarnCorruptError: ") + (text))

// ------------------------------------------------------------ CoreError

void test_core_error() {
  CHECK_EQ(CoreError::Corrupt("x y").message(), std::string("TarnCorruptError: x y"));
  CHECK_EQ(CoreError::Corrupt("x y").detail(), std::string("x y"));
  CHECK(CoreError::Corrupt("").kind() == ErrorKind::kCorrupt);
  CHECK_EQ(CoreError::Version(3).message(), std::string("TarnVersionError: unsupported version 3"));
  CHECK_EQ(CoreError::Version(0).message(), std::string("TarnVersionError: unsupported version 0"));
  CHECK_EQ(CoreError::Version(255).message(), std::string("TarnVersionError: unsupported version 255"));
  CHECK(CoreError::Version(1).kind() == ErrorKind::kVersion);
  CHECK_EQ(CoreError::IO("open tmp: z").message(), std::string("TarnIOError: open tmp: z"));
  CHECK(CoreError::IO("").kind() == ErrorKind::kIO);
  CHECK_EQ(CoreError::Usage("obj_id 0 out of range (have 0 objects)").message(),
           std::string("TarnError: obj_id 0 out of range (have 0 objects)"));
  CHECK(CoreError::Usage("").kind() == ErrorKind::kUsage);
  CHECK_EQ(tarn::os_error_text(ENOENT), std::string(std::strerror(ENOENT)) + " (os error 2)");
  CHECK_EQ(tarn::os_error_text(EISDIR), std::string(std::strerror(EISDIR)) + " (os error 21)");
}

// ---------------------------------------------------------------- CRC-32

void test_crc32() {
  const Buf check = bytes("123456789");
  CHECK_EQ(uint64_t(tarn::crc32(span(check))), uint64_t(0xCBF43926u));
  CHECK_EQ(uint64_t(tarn::crc32({})), uint64_t(0));
  CHECK_EQ(uint64_t(tarn::crc32(span(bytes("abc")))), uint64_t(0x352441C2u));
  // Continuation over several spans.
  CHECK_EQ(uint64_t(tarn::crc32(span(bytes("6789")), tarn::crc32(span(bytes("12345"))))), uint64_t(0xCBF43926u));
  tarn::Crc32 running;
  running.update(span(bytes("1234")));
  running.update({});
  running.update(span(bytes("56789")));
  CHECK_EQ(uint64_t(running.value()), uint64_t(0xCBF43926u));

  // Every implementation agrees with the bitwise reference, for many lengths
  // and alignments, and when continued.
  std::mt19937_64 rng(7);
  Buf data(5000 + 64);
  for (auto& b : data) b = uint8_t(rng());
  int mismatches = 0;
  for (size_t n = 0; n <= 5000; n += (n < 300 ? 1 : 97)) {
    for (size_t align = 0; align < 4; ++align) {
      const uint8_t* p = data.data() + align;
      const uint32_t want = ref_crc(p, n);
      mismatches += tarn::crc32({p, n}) != want;
      mismatches += tarn::crc32_detail::portable(p, n, 0) != want;
      mismatches += tarn::crc32_detail::clmul(p, n, 0) != want;
      mismatches += tarn::crc32_detail::clmul_avx512(p, n, 0) != want;
      const size_t cut = n / 3;
      mismatches += tarn::crc32({p + cut, n - cut}, tarn::crc32({p, cut})) != want;
      // The copying form gives the same value and an exact copy, continued too.
      Buf copy(n + 1, 0xAB);
      const uint32_t head = tarn::crc32_copy({p, cut}, copy.data());
      mismatches += tarn::crc32_copy({p + cut, n - cut}, copy.data() + cut, head) != want;
      mismatches += !std::equal(p, p + n, copy.begin()) || copy[n] != 0xAB;
    }
  }
  CHECK_EQ(uint64_t(mismatches), uint64_t(0));
  CHECK(std::strlen(tarn::crc32_detail::active()) > 0);
}

// --------------------------------------------------------------- encoders

void test_encoders() {
  fmt::Header h;
  h.num_keys = 0x01020304;
  h.num_objects = 0x05060708;
  h.index_offset = 0x1112131415161718ull;
  h.file_crc32 = 0xA1B2C3D4;
  uint8_t out[fmt::kHeaderSize];
  std::memset(out, 0xEE, sizeof out);
  fmt::encode_header(h, out);
  HeaderSpec want;
  want.num_keys = h.num_keys;
  want.num_objects = h.num_objects;
  want.index_offset = h.index_offset;
  want.crc = h.file_crc32;
  CHECK_EQ(str(fmt::Bytes(out, sizeof out)), str(header(want)));

  fmt::Header empty;
  fmt::encode_header(empty, out);
  CHECK_EQ(str(fmt::Bytes(out, sizeof out)), str(header(HeaderSpec{})));

  std::string rec = "prefix:";
  fmt::encode_object_record(span(bytes("abc")), rec);
  CHECK_EQ(rec, "prefix:" + str(record("abc")));
  rec.clear();
  fmt::encode_object_record({}, rec);
  CHECK_EQ(rec, str(record("")));
  CHECK_EQ(rec.size(), size_t(8));

  uint8_t pre[fmt::kRecordPrefix];
  fmt::encode_record_prefix(0xDEADBEEF, 0x01020304, pre);
  CHECK_EQ(str(fmt::Bytes(pre, 8)), std::string("\xDE\xAD\xBE\xEF\x01\x02\x03\x04", 8));

  std::string idx;
  fmt::encode_index_entry(span(bytes("key")), 0x0102030405060708ull, idx);
  CHECK_EQ(idx, str(entry("key", 0x0102030405060708ull)));
  idx.clear();
  fmt::encode_index_entry({}, 40, idx);
  CHECK_EQ(idx, str(entry("", 40)));
  CHECK_EQ(idx.size(), size_t(10));
  idx.clear();
  const std::string long_key(65535, 'k');
  fmt::encode_index_entry(span(bytes(long_key)), 7, idx);
  CHECK_EQ(idx, str(entry(long_key, 7)));

  CHECK_EQ(fmt::hex32(0), std::string("0x00000000"));
  CHECK_EQ(fmt::hex32(0x1a2b), std::string("0x00001a2b"));
  CHECK_EQ(fmt::hex32(0xFFFFFFFFu), std::string("0xffffffff"));
  CHECK_EQ(fmt::hex32(0xABCDEF01u), std::string("0xabcdef01"));

  CHECK_EQ(fmt::kHeaderSize, size_t(40));
  CHECK_EQ(uint64_t(fmt::kVersion), uint64_t(2));
  CHECK_EQ(fmt::kRecordPrefix, size_t(8));
  CHECK_EQ(fmt::kEntryOverhead, size_t(10));
  CHECK_EQ(fmt::kMaxKeyLen, uint64_t(65535));
  CHECK_EQ(fmt::kMaxPayloadLen, uint64_t(4294967295u));
}

// ------------------------------------------------------------ parse_header

void test_parse_header() {
  const Buf file = worked_example();
  CHECK_EQ(file.size(), size_t(92));

  // Every prefix shorter than the header, with and without verification.
  for (size_t n = 0; n < 40; ++n) {
    Context c("prefix of " + std::to_string(n) + " bytes");
    CHECK_CORRUPT(fmt::parse_header(prefix(file, n), false), "file too small for header");
    CHECK_CORRUPT(fmt::parse_header(prefix(file, n), true), "file too small for header");
  }
  // Even garbage of 39 bytes is "too small", not a bad magic.
  Buf junk(39, 'x');
  CHECK_CORRUPT(fmt::parse_header(span(junk), false), "file too small for header");
  CHECK_CORRUPT(fmt::parse_header(fmt::Bytes(), true), "file too small for header");

  // The whole example, verified.
  auto ok = fmt::parse_header(span(file), true);
  CHECK(ok.has_value());
  if (ok) {
    CHECK_EQ(uint64_t(ok->num_keys), uint64_t(3));
    CHECK_EQ(uint64_t(ok->num_objects), uint64_t(2));
    CHECK_EQ(ok->index_offset, uint64_t(59));
    CHECK_EQ(uint64_t(ok->file_crc32), uint64_t(ref_crc(file.data() + 40, 52)));
  }
  // Prefixes of 40 bytes and more parse without verification (the index is
  // not looked at) and fail the CRC comparison with it.
  for (size_t n = 40; n < file.size(); ++n) {
    Context c("prefix of " + std::to_string(n) + " bytes");
    auto r = fmt::parse_header(prefix(file, n), false);
    CHECK(r.has_value());
    const uint32_t stored = ref_crc(file.data() + 40, 52);
    const uint32_t computed = ref_crc(file.data() + 40, n - 40);
    CHECK_CORRUPT(fmt::parse_header(prefix(file, n), true),
                  "file CRC32 mismatch  stored=" + fmt::hex32(stored) + "  computed=" + fmt::hex32(computed));
  }

  // The empty store: 40 bytes, CRC of no bytes is 0.
  HeaderSpec e;
  Buf empty = header(e);
  CHECK(fmt::parse_header(span(empty), true).has_value());
  e.crc = 0x1a2b;
  Buf bad_crc = header(e);
  CHECK(fmt::parse_header(span(bad_crc), false).has_value());
  CHECK_CORRUPT(fmt::parse_header(span(bad_crc), true), "file CRC32 mismatch  stored=0x00001a2b  computed=0x00000000");

  // Bad magic: the four bytes as a decimal list.
  {
    Buf zip = file;
    zip[0] = 0x50, zip[1] = 0x4B, zip[2] = 0x03, zip[3] = 0x04;
    CHECK_CORRUPT(fmt::parse_header(span(zip), false), "bad magic [80, 75, 3, 4]");
    CHECK_CORRUPT(fmt::parse_header(span(zip), true), "bad magic [80, 75, 3, 4]");
    for (int i = 0; i < 4; ++i) {
      Buf one = file;
      one[i] ^= 0x20;  // "tNDB", "TnDB", ...
      std::string want = "bad magic [";
      for (int j = 0; j < 4; ++j) want += (j ? ", " : "") + std::to_string(one[j]);
      CHECK_CORRUPT(fmt::parse_header(span(one), false), want + "]");
    }
    Buf high = file;
    high[0] = 0xFF, high[1] = 0, high[2] = 0x80, high[3] = 9;
    CHECK_CORRUPT(fmt::parse_header(span(high), false), "bad magic [255, 0, 128, 9]");
    // The magic is checked before the version, and the size before both.
    Buf both = zip;
    both[4] = 9;
    CHECK_CORRUPT(fmt::parse_header(span(both), true), "bad magic [80, 75, 3, 4]");
    CHECK_CORRUPT(fmt::parse_header(prefix(both, 39), true), "file too small for header");
  }

  // Version: any byte but 2, before the CRC comparison.
  for (int v : {0, 1, 3, 127, 255}) {
    Context c("version " + std::to_string(v));
    Buf f = file;
    f[4] = uint8_t(v);
    CHECK_ERROR(fmt::parse_header(span(f), false), ErrorKind::kVersion,
                "TarnVersionError: unsupported version " + std::to_string(v));
    f[60] ^= 1;  // the CRC no longer matches either
    CHECK_ERROR(fmt::parse_header(span(f), true), ErrorKind::kVersion,
                "TarnVersionError: unsupported version " + std::to_string(v));
  }

  // Nothing else is checked: reserved bytes, data_offset, counts, index_offset.
  {
    HeaderSpec odd;
    odd.reserved1 = {1, 2, 3};
    odd.reserved2 = {0xFF, 0xFF, 0xFF, 0xFF};
    odd.data_offset = 0xFFFFFFFFFFFFFFFFull;
    odd.num_keys = 0xFFFFFFFFu;
    odd.num_objects = 0x89ABCDEFu;
    odd.index_offset = 0xFEDCBA9876543210ull;
    Buf f = header(odd);
    auto r = fmt::parse_header(span(f), true);  // CRC of no bytes = 0 = stored
    CHECK(r.has_value());
    if (r) {
      CHECK_EQ(uint64_t(r->num_keys), uint64_t(0xFFFFFFFFu));
      CHECK_EQ(uint64_t(r->num_objects), uint64_t(0x89ABCDEFu));
      CHECK_EQ(r->index_offset, uint64_t(0xFEDCBA9876543210ull));
      CHECK_EQ(uint64_t(r->file_crc32), uint64_t(0));
    }
  }
  // The header is not covered by the CRC.
  {
    Buf f = file;
    f[8] = 0x7F;      // num_keys
    f[30] ^= 0xFF;    // data_offset
    f[37] = 1;        // reserved
    CHECK(fmt::parse_header(span(f), true).has_value());
    Buf g = file;
    g[91] ^= 1;  // the last index byte is covered
    CHECK_CORRUPT(fmt::parse_header(span(g), true),
                  "file CRC32 mismatch  stored=" + fmt::hex32(ref_crc(file.data() + 40, 52)) +
                      "  computed=" + fmt::hex32(ref_crc(g.data() + 40, 52)));
  }

  // check_file_crc on its own.
  CHECK(fmt::check_file_crc(span(file), ref_crc(file.data() + 40, 52)).has_value());
  CHECK_CORRUPT(fmt::check_file_crc(span(file), 0),
                "file CRC32 mismatch  stored=0x00000000  computed=" + fmt::hex32(ref_crc(file.data() + 40, 52)));
}

// -------------------------------------------------------- read_index_entry

void test_read_index_entry() {
  const Buf file = worked_example();
  // The three entries of the example, one after the other.
  const char* keys[] = {"a", "b", "k"};
  const uint64_t offsets[] = {51, 40, 40};
  uint64_t pos = 59;
  for (int i = 0; i < 3; ++i) {
    auto e = fmt::read_index_entry(span(file), pos);
    CHECK(e.has_value());
    if (!e) return;
    CHECK_EQ(str(e->key), std::string(keys[i]));
    CHECK(e->key.data() == file.data() + pos + 2);  // a view into the file
    CHECK_EQ(e->record_offset, offsets[i]);
    CHECK_EQ(e->next, pos + 11);
    pos = e->next;
  }
  CHECK_EQ(pos, uint64_t(92));
  CHECK_CORRUPT(fmt::read_index_entry(span(file), 92), "index section truncated (key_len)");

  // Every truncated prefix of a buffer holding garbage, then one entry.
  for (size_t lead : {size_t(0), size_t(1), size_t(13)}) {
    for (const std::string& key : {std::string(""), std::string("abc"), std::string(300, 'q')}) {
      Buf buf(lead, 0xAA);
      append(buf, entry(key, 0x0102030405060708ull));
      const size_t k = key.size();
      for (size_t n = 0; n <= buf.size(); ++n) {
        Context c("lead " + std::to_string(lead) + ", key " + std::to_string(k) + ", length " + std::to_string(n));
        auto r = fmt::read_index_entry(prefix(buf, n), lead);
        if (n < lead + 2) {
          CHECK_CORRUPT(r, "index section truncated (key_len)");
        } else if (n < lead + 2 + k + 8) {
          CHECK_CORRUPT(r, "index section truncated (key + offset)");
        } else {
          CHECK(r.has_value());
          if (r) {
            CHECK_EQ(str(r->key), key);
            CHECK_EQ(r->record_offset, uint64_t(0x0102030405060708ull));
            CHECK_EQ(r->next, uint64_t(lead + 2 + k + 8));
          }
        }
      }
    }
  }

  // A zero-length key is a 10-byte entry; the largest key length.
  {
    Buf z = entry("", 0);
    auto r = fmt::read_index_entry(span(z), 0);
    CHECK(r.has_value() && r->key.empty() && r->next == 10 && r->record_offset == 0);
    Buf big = entry(std::string(65535, 'x'), 0xFFFFFFFFFFFFFFFFull);
    r = fmt::read_index_entry(span(big), 0);
    CHECK(r.has_value() && r->key.size() == 65535 && r->record_offset == 0xFFFFFFFFFFFFFFFFull &&
          r->next == 65545);
    CHECK_CORRUPT(fmt::read_index_entry(prefix(big, big.size() - 1), 0), "index section truncated (key + offset)");
  }
  // A key length that claims more than the file holds.
  {
    Buf lie = entry("ab", 40, 0xFFFF);
    CHECK_CORRUPT(fmt::read_index_entry(span(lie), 0), "index section truncated (key + offset)");
  }
  // Positions at and beyond the end, up to values whose sums would wrap.
  {
    Buf buf = entry("k", 1);
    for (uint64_t p : {uint64_t(buf.size()), uint64_t(buf.size() - 1), uint64_t(buf.size() + 1), uint64_t(1) << 40,
                       std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max() - 1,
                       std::numeric_limits<uint64_t>::max() - 2}) {
      Context c("position " + std::to_string(p));
      CHECK_CORRUPT(fmt::read_index_entry(span(buf), p), "index section truncated (key_len)");
    }
    // Position 1: the key length read there (0x6b01 = "k" and the first
    // offset byte) runs far past the end.
    CHECK_CORRUPT(fmt::read_index_entry(span(buf), 1), "index section truncated (key + offset)");
  }
}

// ------------------------------------------------------------- read_object

void test_read_object() {
  const Buf file = worked_example();
  auto a = fmt::read_object(span(file), 40);
  CHECK(a.has_value() && str(*a) == "abc");
  if (a) CHECK(a->data() == file.data() + 48);
  auto e = fmt::read_object(span(file), 51);
  CHECK(e.has_value() && e->empty());

  // Every truncated prefix of garbage followed by one record.
  for (size_t lead : {size_t(0), size_t(5), size_t(40)}) {
    for (const std::string& payload : {std::string(""), std::string("xyz"), std::string(1000, 'p')}) {
      Buf buf(lead, 0x55);
      append(buf, record(payload));
      const size_t n = payload.size();
      for (size_t len = 0; len <= buf.size(); ++len) {
        Context c("lead " + std::to_string(lead) + ", payload " + std::to_string(n) + ", length " +
                  std::to_string(len));
        auto r = fmt::read_object(prefix(buf, len), lead);
        if (len < lead + 8) {
          CHECK_CORRUPT(r, "offset " + std::to_string(lead) + " out of bounds");
        } else if (len < lead + 8 + n) {
          CHECK_CORRUPT(r, "object at " + std::to_string(lead) + " extends beyond file end");
        } else {
          CHECK(r.has_value() && str(*r) == payload);
        }
      }
    }
  }

  // The documented example: offset 100 in a 104-byte file.
  Buf f104(104, 0);
  CHECK_CORRUPT(fmt::read_object(span(f104), 100), "offset 100 out of bounds");
  CHECK_CORRUPT(fmt::read_object(span(f104), 97), "offset 97 out of bounds");
  CHECK(fmt::read_object(span(f104), 96).has_value());  // an empty record of zeros

  // Offsets near 2^64 must not wrap.
  for (uint64_t o : {std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max() - 7,
                     std::numeric_limits<uint64_t>::max() - 8, uint64_t(1) << 63}) {
    CHECK_CORRUPT(fmt::read_object(span(file), o), "offset " + std::to_string(o) + " out of bounds");
  }
  // A length of 4294967295 in a small file.
  Buf huge = record("abc", 0xFFFFFFFFu);
  CHECK_CORRUPT(fmt::read_object(span(huge), 0), "object at 0 extends beyond file end");
  Buf one_short = record("abcd", 5);
  CHECK_CORRUPT(fmt::read_object(span(one_short), 0), "object at 0 extends beyond file end");

  // The payload CRC is not checked here.
  Buf wrong_crc = record("abc", -1, 0x12345678);
  auto w = fmt::read_object(span(wrong_crc), 0);
  CHECK(w.has_value() && str(*w) == "abc");
  // Two entries with the same offset read the same payload.
  auto b1 = fmt::read_object(span(file), 40);
  auto b2 = fmt::read_object(span(file), 40);
  CHECK(b1.has_value() && b2.has_value() && str(*b1) == str(*b2));
}

// -------------------------------------------------------------- temp path

void test_temp_path() {
  const struct {
    const char* target;
    const char* tmp;
  } cases[] = {
      // The documented table.
      {"out.tndb", "out.tndb.tmp"},
      {"out", "out.tndb.tmp"},
      {"out.bin", "out.tndb.tmp"},
      {"a.b.c", "a.b.tndb.tmp"},
      {".hidden", ".hidden.tndb.tmp"},
      {"name.", "name.tndb.tmp"},
      {"dir/x.tndb/", "dir/x.tndb.tmp"},
      // Directories, separators and "." components.
      {"/abs/dir/out.tndb", "/abs/dir/out.tndb.tmp"},
      {"/out", "/out.tndb.tmp"},
      {"./out.tndb", "./out.tndb.tmp"},
      {"a.b/c", "a.b/c.tndb.tmp"},
      {"a.d/.hidden", "a.d/.hidden.tndb.tmp"},
      {"dir//x.tndb//", "dir//x.tndb.tmp"},
      {"dir/x/.", "dir/x.tndb.tmp"},
      {"dir/x/./", "dir/x.tndb.tmp"},
      {"dir/x/././", "dir/x.tndb.tmp"},
      {"a/./b", "a/./b.tndb.tmp"},
      {"a/../b", "a/../b.tndb.tmp"},
      {"a/.", "a.tndb.tmp"},
      // Stems and extensions.
      {"..hidden", "..tndb.tmp"},
      {"...", "...tndb.tmp"},
      {"a..b", "a..tndb.tmp"},
      {".hidden.x", ".hidden.tndb.tmp"},
      {"x.tndb.tmp", "x.tndb.tndb.tmp"},
      {"caf\xc3\xa9.db", "caf\xc3\xa9.tndb.tmp"},
      // No last component: unchanged.
      {"", ""},
      {"/", "/"},
      {"//", "//"},
      {".", "."},
      {"./", "./"},
      {"..", ".."},
      {"../", "../"},
      {"a/..", "a/.."},
      {"/a/../", "/a/../"},
      {"/..", "/.."},
  };
  for (const auto& c : cases) {
    Context ctx(std::string("target ") + show(std::string(c.target)));
    CHECK_EQ(tarn::temp_path_for(c.target), std::string(c.tmp));
  }
  // A NUL inside the text is kept (the build refuses it before opening).
  CHECK_EQ(tarn::temp_path_for(std::string_view("a\0b.x", 5)), std::string("a\0b.tndb.tmp", 12));
}

// ------------------------------------------------------------------ UTF-8

// A straightforward reference: decode one scalar value at a time.
bool ref_valid(const Buf& s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = s[i];
    size_t n;
    uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

void test_utf8() {
  auto valid = [](const std::string& s) { return tarn::utf8_valid(span(bytes(s))); };
  auto lossy = [](const std::string& s) { return tarn::utf8_lossy(span(bytes(s))); };
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD

  CHECK(valid(""));
  CHECK(valid("plain ascii, longer than eight bytes"));
  CHECK(valid("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xEF\xBF\xBF"));
  CHECK(valid(std::string("\0\0\0\0\0\0\0\0\0", 9)));
  CHECK(!valid("\x80"));
  CHECK(!valid("\xC0\x80"));          // overlong
  CHECK(!valid("\xC1\xBF"));          // overlong
  CHECK(!valid("\xE0\x80\x80"));      // overlong
  CHECK(!valid("\xE0\x9F\xBF"));      // overlong
  CHECK(!valid("\xED\xA0\x80"));      // surrogate U+D800
  CHECK(!valid("\xED\xBF\xBF"));      // surrogate U+DFFF
  CHECK(valid("\xED\x9F\xBF"));       // U+D7FF
  CHECK(!valid("\xF0\x80\x80\x80"));  // overlong
  CHECK(!valid("\xF4\x90\x80\x80"));  // above U+10FFFF
  CHECK(!valid("\xF5\x80\x80\x80"));
  CHECK(!valid("\xFF"));
  CHECK(!valid("\xC3"));  // cut short
  CHECK(!valid("\xE2\x82"));
  CHECK(!valid("\xF0\x9F\x98"));
  // A bad byte at every position around the eight-byte ASCII skip.
  for (size_t at = 0; at < 20; ++at) {
    std::string s(20, 'a');
    s[at] = '\xFF';
    Context c("bad byte at " + std::to_string(at));
    CHECK(!valid(s));
    std::string want = s;
    want.replace(at, 1, R);
    CHECK_EQ(lossy(s), want);
    std::string good(20, 'a');
    good.replace(at, 1, "\xC3\xA9");
    CHECK(valid(good));
    CHECK_EQ(lossy(good), good);
  }

  // Maximal ill-formed subsequences, one U+FFFD each (Unicode Table 3-8 and
  // the examples around it).
  CHECK_EQ(lossy("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"), "a" + R + R + R + "b" + R + "c" + R + R + "d");
  CHECK_EQ(lossy("\xC0\xAF"), R + R);
  CHECK_EQ(lossy("\xE0\x80\xAF"), R + R + R);
  CHECK_EQ(lossy("\xED\xA0\x80"), R + R + R);
  CHECK_EQ(lossy("\xF4\x90\x80\x80"), R + R + R + R);
  CHECK_EQ(lossy("\xF0\x9F\x98"), R);
  CHECK_EQ(lossy("\xF0\x9F\x98" "a"), R + "a");
  CHECK_EQ(lossy("\xE2\x82"), R);
  CHECK_EQ(lossy("\xE2\x82\xE2\x82\xAC"), R + "\xE2\x82\xAC");
  CHECK_EQ(lossy("\xC3"), R);
  CHECK_EQ(lossy("\xFF\xFE"), R + R);
  CHECK_EQ(lossy("\x80\x80\x80"), R + R + R);
  CHECK_EQ(lossy("ok"), std::string("ok"));
  CHECK_EQ(lossy(""), std::string(""));
  CHECK_EQ(lossy(std::string("a\0b", 3)), std::string("a\0b", 3));

  // Exhaustive agreement with the reference over all 1- and 2-byte inputs
  // and all 3-byte inputs beginning with a lead byte of 0xE0..0xF4.
  int wrong = 0, not_identity = 0;
  for (int a = 0; a < 256; ++a) {
    Buf s1 = {uint8_t(a)};
    wrong += tarn::utf8_valid(span(s1)) != ref_valid(s1);
    for (int b = 0; b < 256; ++b) {
      Buf s2 = {uint8_t(a), uint8_t(b)};
      const bool v = ref_valid(s2);
      wrong += tarn::utf8_valid(span(s2)) != v;
      if (v) not_identity += tarn::utf8_lossy(span(s2)) != str(s2);
    }
  }
  for (int a = 0xE0; a <= 0xF4; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        Buf s3 = {uint8_t(a), uint8_t(b), uint8_t(c)};
        wrong += tarn::utf8_valid(span(s3)) != ref_valid(s3);
      }
    }
  }
  CHECK_EQ(uint64_t(wrong), uint64_t(0));
  CHECK_EQ(uint64_t(not_identity), uint64_t(0));
  // Lossy output is always valid.
  std::mt19937 rng(3);
  int invalid_out = 0;
  for (int i = 0; i < 20000; ++i) {
    Buf s(rng() % 12);
    for (auto& x : s) x = uint8_t(rng() % 4 == 0 ? rng() : 0x80 + rng() % 0x78);
    invalid_out += !tarn::utf8_valid(span(bytes(tarn::utf8_lossy(span(s)))));
  }
  CHECK_EQ(uint64_t(invalid_out), uint64_t(0));
}

void test_page_array() {
  // Below and above the size at which an array gets a mapping of its own.
  for (size_t n : {size_t(1), size_t(1000), size_t(3) << 20, (size_t(5) << 20) + 12345}) {
    Context c("n=" + std::to_string(n));
    tarn::PageArray<uint32_t> a(n);
    CHECK_EQ(uint64_t(a.size()), uint64_t(n));
    size_t nonzero = 0;
    for (size_t i = 0; i < n; ++i) nonzero += a[i] != 0;
    CHECK_EQ(uint64_t(nonzero), uint64_t(0));
    a[0] = 7;
    a[n - 1] = 9;  // the last element is writable
    if (n * 4 >= (size_t(2) << 20)) CHECK_EQ(uint64_t(reinterpret_cast<uintptr_t>(a.data()) % (2 << 20)), uint64_t(0));
    tarn::PageArray<uint32_t> b(std::move(a));
    CHECK(a.empty());
    CHECK_EQ(uint64_t(b[n - 1]), uint64_t(9));
    if (n > 1) CHECK_EQ(uint64_t(b[0]), uint64_t(7));
    tarn::PageArray<uint32_t> d(3);
    d = std::move(b);
    CHECK_EQ(uint64_t(d.size()), uint64_t(n));
    CHECK_EQ(uint64_t(d[0]), uint64_t(n > 1 ? 7 : 9));
  }
  tarn::PageArray<uint8_t> empty(0);
  CHECK(empty.empty());
}

void test_same_bytes() {
  std::mt19937 rng(11);
  int wrong = 0;
  for (size_t n = 0; n <= 40; ++n) {
    Buf a(n), b;
    for (auto& x : a) x = uint8_t(rng());
    b = a;
    wrong += !tarn::same_bytes(a.data(), b.data(), n);
    for (size_t i = 0; i < n; ++i) {
      b = a;
      b[i] ^= uint8_t(1 + rng() % 255);
      wrong += tarn::same_bytes(a.data(), b.data(), n);
    }
  }
  CHECK_EQ(uint64_t(wrong), uint64_t(0));
}

// One store read through both index layouts (32-bit starts, and the 64-bit
// starts used from 4 GiB of keys on) must answer every query alike.
void test_reader_layouts() {
  std::mt19937 rng(5);
  tarn::WriterCore w;
  std::vector<std::string> keys = {"", "a", "ab", "abcdefgh", "abcdefghi", "abcdefghijklmnop",
                                   "abcdefghijklmnopq", std::string("nul\0key", 7)};
  for (int i = 0; i < 3000; ++i) {
    std::string k(rng() % 40, '\0');
    for (auto& ch : k) ch = char('a' + rng() % 3);
    keys.push_back(k);
  }
  std::vector<std::string> payloads;
  for (size_t i = 0; i < keys.size(); ++i) {
    std::string p(rng() % 200, '\0');
    for (auto& ch : p) ch = char(rng());
    payloads.push_back(p);
    auto bytes_of = [](const std::string& s) {
      return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    auto id = w.add_object(bytes_of(p));
    CHECK(bool(id));
    CHECK(bool(w.add_key(bytes_of(keys[i]), *id)));
  }
  const std::string path =
      (std::filesystem::temp_directory_path() / ("tarndb-core-tests-" + std::to_string(::getpid()) + ".tndb")).string();
  CHECK(bool(w.build(path, tarn::SinkOptions{})));
  auto narrow = tarn::ReaderCore::open(path, true);
  auto wide = tarn::ReaderCore::open(path, true, 0);
  std::filesystem::remove(path);
  CHECK(narrow && wide);
  if (!narrow || !wide) return;
  auto same = [](fmt::Bytes a, fmt::Bytes b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  };
  CHECK_EQ(uint64_t(narrow->entry_count()), uint64_t(wide->entry_count()));
  int wrong = 0;
  for (size_t i = 0; i < narrow->entry_count(); ++i) {
    wrong += !same(narrow->key(i), wide->key(i)) || narrow->record_offset(i) != wide->record_offset(i);
  }
  // A later add_key of the same key names that object: the last payload wins.
  std::map<std::string, std::string> expect;
  for (size_t i = 0; i < keys.size(); ++i) expect[keys[i]] = payloads[i];
  for (const auto* r : {&*narrow, &*wide}) {
    for (const auto& [k, p] : expect) {
      const fmt::Bytes kb(reinterpret_cast<const uint8_t*>(k.data()), k.size());
      auto got = r->get(kb);
      wrong += !got || !*got || !same(**got, fmt::Bytes(reinterpret_cast<const uint8_t*>(p.data()), p.size()));
      wrong += !r->exists(kb);
    }
    const std::string absent = "abcdefghijklmnoz";
    wrong += r->exists(fmt::Bytes(reinterpret_cast<const uint8_t*>(absent.data()), absent.size()));
    auto scan = r->prefix(span(bytes("ab")));
    size_t want = 0;
    for (const auto& [k, p] : expect) want += k.rfind("ab", 0) == 0;
    wrong += !scan || scan->size() != want;
    wrong += !r->verify();
  }
  CHECK_EQ(uint64_t(wrong), uint64_t(0));
}

// A string literal's bytes, embedded NULs included.
template <size_t N>
std::string S(const char (&lit)[N]) {
  return std::string(lit, N - 1);
}

// The msgpack reader with a builder that renders what it is handed as text:
// a key's str as k'..', an array inside a key as (..), a map as {k:v,}.
struct TextBuilder {
  using Value = std::string;
  static bool ok(const std::string& v) { return !v.empty(); }
  static constexpr bool kChecksUtf8 = false;
  std::string nil() { return "nil"; }
  std::string boolean(bool b) { return b ? "true" : "false"; }
  std::string uint(uint64_t v) { return "u" + std::to_string(v); }
  std::string sint(int64_t v) { return "i" + std::to_string(v); }
  std::string real(double d) {
    char b[32];
    std::snprintf(b, sizeof b, "f%g", d);
    return b;
  }
  std::string str(std::span<const uint8_t> s, bool ascii, bool key) {
    return std::string(key ? "k" : "s") + (ascii ? "'" : "u'") + std::string(s.begin(), s.end()) + "'";
  }
  std::string bin(std::span<const uint8_t> s) { return "b" + std::to_string(s.size()); }
  std::string ext(int8_t type, std::span<const uint8_t> s) {
    return "x" + std::to_string(type) + ":" + std::to_string(s.size());
  }
  std::string timestamp(int64_t sec, uint32_t ns) { return "t" + std::to_string(sec) + "." + std::to_string(ns); }
  std::string begin_array(uint32_t, bool key) { return key ? "(" : "["; }
  void set_item(std::string& a, uint32_t, std::string item, bool) { a += item + ","; }
  void end_array(std::string& a, bool key) { a += key ? ")" : "]"; }
  std::string begin_map(uint32_t) { return "{"; }
  bool set_pair(std::string& m, std::string k, std::string v) {
    m += k + ":" + v + ",";
    return true;
  }
  void end_map(std::string& m) { m += "}"; }
  void discard(const std::string&) {}
  CoreError failure() { return CoreError::Usage("never"); }
};

Result<std::string> parse_text(const Buf& b) {
  TextBuilder builder;
  return tarn::msgpack::parse_msgpack(span(b), builder);
}

void test_msgpack_known_values() {
  const std::pair<Buf, std::string> cases[] = {
      {bytes(S("\x83\xa2id\xcd\x30\x39\xa4name\xaaitem-12345\xa4tags\x93\x01\x02\x03")),
       "{k'id':u12345,k'name':s'item-12345',k'tags':[u1,u2,u3,],}"},
      // An array key is a tuple down to its last element; the value is not.
      {bytes(S("\x81\x92\x91\xa1x\xc3\x91\xa1y")), "{((k'x',),true,):[s'y',],}"},
      {bytes(S("\x96\xff\xe0\xd0\x80\xd1\x00\x80\xd3\x80\x00\x00\x00\x00\x00\x00\x00\xcf\xff\xff\xff\xff\xff\xff\xff\xff")),
       "[i-1,i-32,i-128,u128,i-9223372036854775808,u18446744073709551615,]"},
      {bytes(S("\x94\xca\x3f\xc0\x00\x00\xcb\xc0\x04\x00\x00\x00\x00\x00\x00\xc0\xc2")), "[f1.5,f-2.5,nil,false,]"},
      {bytes(S("\x93\xd6\xff\x00\x00\x00\x05\xd4\x07\x00\xc7\x03\x7f\x01\x02\x03")), "[t5.0,x7:1,x127:3,]"},
      {bytes(S("\x92\xa2\xc3\xa9\xc4\x02\x00\x01")), "[su'\xc3\xa9',b2,]"},
  };
  for (const auto& [input, want] : cases) {
    Context c("input " + show(str(input)));
    Result<std::string> r = parse_text(input);
    CHECK(r.has_value());
    if (r) CHECK_EQ(*r, want);
  }
}

void test_msgpack_every_prefix_is_truncated() {
  // Each kind of length field, container and ext, cut at every byte.
  Buf full = bytes(S("\x8a\xa1s\xd9\x03""abc\xa1""b\xc4\x02xy\xa1""e\xc7\x02\x05zz\xa1t\xd7\xff"));
  append(full, Buf(8, 0));
  append(full, bytes(S("\xa1u\xcf\x00\x00\x00\x00\x00\x00\x01\x00\xa1i\xd2\xff\xff\xff\xfe\xa1""f\xcb")));
  append(full, Buf(8, 0));
  append(full, bytes(S("\xa1""a\xdc\x00\x02\x90\x80\xa1m\xde\x00\x01\x91\x01\xc0\xa1w\xdb\x00\x00\x00\x01z")));
  CHECK(parse_text(full).has_value());
  for (size_t n = 0; n < full.size(); ++n) {
    Context c("prefix of " + std::to_string(n) + " bytes");
    TextBuilder builder;
    Result<std::string> r = tarn::msgpack::parse_msgpack(prefix(full, n), builder);
    CHECK(!r.has_value() && r.error().kind() == ErrorKind::kCorrupt && r.error().detail().rfind("truncated ", 0) == 0);
  }
  Buf extra = full;
  extra.push_back(0xc0);
  CHECK_CORRUPT(parse_text(extra), "1 byte after the value");
}

void test_msgpack_depth_limit() {
  const uint32_t limit = tarn::msgpack::kMaxDepth;
  for (uint8_t opener : {uint8_t(0x91), uint8_t(0x81)}) {
    Buf at_limit, over;
    for (uint32_t i = 0; i < limit; ++i) {
      at_limit.push_back(opener);
      if (opener == 0x81) at_limit.push_back(0x00);  // the key of each map
    }
    over = at_limit;
    at_limit.push_back(0x01);
    over.push_back(0x90);
    CHECK(parse_text(at_limit).has_value());
    CHECK_CORRUPT(parse_text(over), "nested deeper than 1024 at byte " + std::to_string(over.size() - 1));
  }
  // A huge declared count with few bytes fails before anything is built.
  CHECK_CORRUPT(parse_text(bytes(S("\xdd\xff\xff\xff\xff\x01"))), "truncated array at byte 0");
  CHECK_CORRUPT(parse_text(bytes(S("\xdf\x00\x00\x00\x02\x01\x01\x01"))), "truncated map at byte 0");
}

// A store file of (key, payload) entries in the order given, one record each,
// written by hand as another program might (unsorted and repeated keys
// allowed; the record of key `damaged` with a wrong CRC-32 of its own, the
// file's CRC-32 right); returns the path, or "" on failure.
std::string write_store(const std::vector<std::pair<std::string, std::string>>& entries, const std::string& name,
                        const std::string& damaged = "\xff") {
  Buf body;
  std::vector<uint64_t> where;
  for (const auto& e : entries) {
    where.push_back(40 + body.size());
    append(body, e.first == damaged ? record(e.second, -1, ref_crc(bytes(e.second)) ^ 1) : record(e.second));
  }
  HeaderSpec h;
  h.index_offset = 40 + body.size();
  for (size_t i = 0; i < entries.size(); ++i) append(body, entry(entries[i].first, where[i]));
  h.num_keys = uint32_t(entries.size());
  h.num_objects = uint32_t(entries.size());
  h.crc = ref_crc(body);
  Buf file = header(h);
  append(file, body);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("tarndb-core-tests-" + std::to_string(::getpid()) + "-" + name + ".tndb"))
                               .string();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return "";
  const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && ok ? path : "";
}

// The listed (key, payload) pairs of a view, in view order.
std::vector<std::pair<std::string, std::string>> listing(const tarn::ReaderCore& r, const tarn::KeyView& v) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t pos = 0; pos < v.size(); ++pos) {
    const uint32_t e = v.entry(pos);
    auto p = r.payload(e);
    out.emplace_back(str(r.key(e)), p ? str(*p) : "<error>");
  }
  return out;
}

// Both layouts of the key view: the index itself for a sorted, all-text
// index, and the settled array (each key once with the entry a lookup
// finds, no invalid UTF-8, sorted) otherwise; and the shard filter.
void test_key_view() {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const Pairs plain = {{"", "e"}, {"a", "1"}, {"ab", "2"}, {"b", "3"}, {"\xc3\xa9", "4"}};
  const Pairs foreign = {{"dup", "first"}, {"c", "c"}, {"\xe9t\xe9", "latin"}, {"dup", "second"},
                         {"a", "a"},       {"ab", "ab"}, {"\xed\xa0\x80", "surrogate"}, {"b\xff", "bad"}};
  const Pairs want_foreign = {{"a", "a"}, {"ab", "ab"}, {"c", "c"}, {"dup", "second"}};
  for (const auto& [name, entries, identity, want] :
       {std::tuple{"plain", plain, true, plain}, std::tuple{"foreign", foreign, false, want_foreign}}) {
    Context c(name);
    const std::string path = write_store(entries, name);
    CHECK(!path.empty());
    auto r = tarn::ReaderCore::open(path, true);
    std::filesystem::remove(path);
    CHECK(bool(r));
    if (!r) continue;
    const tarn::KeyView v = tarn::KeyView::build(*r);
    CHECK_EQ(v.is_identity(), identity);
    CHECK_EQ(uint64_t(v.size()), uint64_t(want.size()));
    CHECK(listing(*r, v) == want);
    // lower_bound and prefix_end agree with a scan of the listing.
    for (const std::string& probe : {std::string(""), std::string("a"), std::string("aa"), std::string("b"),
                                     std::string("d"), std::string("zz")}) {
      Context cp(std::string(name) + " probe=" + probe);
      size_t lb = 0;
      while (lb < want.size() && want[lb].first < probe) ++lb;
      size_t pe = lb;
      while (pe < want.size() && want[pe].first.rfind(probe, 0) == 0) ++pe;
      const size_t got_lb = v.lower_bound(*r, span(bytes(probe)));
      CHECK_EQ(uint64_t(got_lb), uint64_t(lb));
      CHECK_EQ(uint64_t(v.prefix_end(*r, got_lb, span(bytes(probe)))), uint64_t(pe));
    }
    // As shards of 3: each key listed by exactly the shard it routes to.
    size_t total = 0;
    for (uint32_t s = 0; s < 3; ++s) {
      const tarn::KeyView part = tarn::KeyView::build(*r, s, 3);
      total += part.size();
      for (size_t pos = 0; pos < part.size(); ++pos) CHECK_EQ(tarn::shard_of(r->key(part.entry(pos)), 3), s);
    }
    CHECK_EQ(uint64_t(total), uint64_t(want.size()));
  }
}

// ----------------------------------------------------------- merge

// The shards of a store count only for the keys that route to them (a
// lookup finds no other); each shard of a sharded output gets exactly its
// keys; a damaged record is never copied.
void test_merge() {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  Pairs shard[2];
  for (int i = 0; i < 16; ++i) {
    const std::string k = "k" + std::to_string(i);
    shard[tarn::shard_of(span(bytes(k)), 2)].push_back({k, "v-" + k});
  }
  shard[0].push_back({shard[1][0].first, "stray"});  // a key of shard 1, in shard 0
  std::sort(shard[0].begin(), shard[0].end());
  tarn::MergeCore m;
  for (uint32_t s = 0; s < 2; ++s) {
    const std::string path = write_store(shard[s], "merge-in" + std::to_string(s));
    auto r = tarn::ReaderCore::open(path, true);
    std::filesystem::remove(path);
    CHECK(bool(r));
    if (!r) return;
    m.add_store(std::make_shared<const tarn::ReaderCore>(std::move(*r)), tarn::ShardPart{s, 2});
  }
  const std::string out = (std::filesystem::temp_directory_path() /
                           ("tarndb-core-tests-" + std::to_string(::getpid()) + "-merge-out.tndb"))
                              .string();
  for (uint32_t count : {1u, 3u, 2u}) {
    size_t total = 0;
    for (uint32_t s = 0; s < count; ++s) {
      Context c("output shard " + std::to_string(s) + " of " + std::to_string(count));
      auto built = m.build(out, true, nullptr, tarn::ShardPart{s, count});
      CHECK(bool(built));
      auto r = tarn::ReaderCore::open(out, true);
      CHECK(r && r->verify());
      if (!r) continue;
      for (size_t e = 0; e < r->entry_count(); ++e) {
        const std::string k = str(r->key(e));
        auto p = r->payload(uint32_t(e));
        CHECK_EQ(p ? str(*p) : std::string("<error>"), "v-" + k);
        CHECK_EQ(tarn::shard_of(r->key(e), count), s);
      }
      total += r->entry_count();
    }
    CHECK_EQ(uint64_t(total), uint64_t(16));
  }

  const std::string bad = write_store({{"bad", "x"}, {"good", "y"}}, "merge-bad", "bad");
  auto r = tarn::ReaderCore::open(bad, true);
  CHECK(bool(r));
  if (!r) return;
  tarn::MergeCore d;
  d.add_store(std::move(*r));
  std::filesystem::remove(out);
  CHECK_CORRUPT(d.build(out, true), bad + ": object of key 'bad' fails its CRC-32 check (record at offset 40)");
  CHECK(!std::filesystem::exists(out));
  std::filesystem::remove(bad);
}

// ----------------------------------------------------------- data section

void test_data_section() {
  // Records of every length up to 300 and some far longer, so that records
  // straddle the walk's chunks; every third stored with a wrong CRC-32.
  std::mt19937_64 rng(11);
  Buf file = header(HeaderSpec{});
  std::vector<uint64_t> starts;
  std::vector<bool> bad;
  for (size_t i = 0; i < 700; ++i) {
    std::string p(i < 300 ? i : 1000 + rng() % 300000, '\0');
    for (auto& ch : p) ch = char(rng());
    starts.push_back(file.size());
    bad.push_back(i % 3 == 1);
    append(file, record(p, -1, bad.back() ? int64_t(ref_crc(bytes(p)) ^ 1) : -1));
  }
  const uint64_t end = file.size();
  append(file, entry("k", 40));
  auto d = fmt::DataSection::walk(span(file), end, starts.size());
  CHECK(!d.broken());
  CHECK_EQ(d.reached(), end);
  CHECK_EQ(d.records(), uint64_t(starts.size()));
  CHECK_EQ(uint64_t(d.crc()), uint64_t(ref_crc(file.data() + 40, end - 40)));
  int wrong = 0;
  size_t next = 0;
  for (uint64_t o = 40; o < end; ++o) {
    const bool is_start = next < starts.size() && starts[next] == o;
    wrong += d.is_start(o) != is_start;
    if (is_start) wrong += d.bad_crc(o) != bad[next++];
  }
  CHECK_EQ(uint64_t(wrong), uint64_t(0));

  // A record that runs past the section ends the walk at its start; the
  // starts before it are still known. The bitmap's pages do not depend on
  // the header's count.
  const uint64_t cut = starts[400];
  for (uint64_t expected : {uint64_t(0), uint64_t(1), uint64_t(1) << 32}) {
    auto short_walk = fmt::DataSection::walk(span(file), cut + 5, expected);
    CHECK(short_walk.broken());
    CHECK_EQ(short_walk.reached(), cut);
    CHECK_EQ(short_walk.records(), uint64_t(400));
    CHECK(short_walk.is_start(starts[399]) && !short_walk.is_start(starts[399] + 1));
    CHECK_EQ(uint64_t(short_walk.crc()), uint64_t(ref_crc(file.data() + 40, cut + 5 - 40)));
  }
  // An empty section.
  auto empty = fmt::DataSection::walk(span(file), 40, 0);
  CHECK(!empty.broken() && empty.records() == 0 && empty.reached() == 40 && empty.crc() == 0);
}

// ------------------------------------------------------------ atomic file

std::string read_all(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

void write_file(const std::string& path, const std::string& data) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
  }
}

struct CancelAtRename : tarn::BuildObserver {
  bool on_progress(uint64_t, uint64_t) override { return true; }
  bool before_rename() override { return false; }
};

void test_atomic_file() {
  const auto dir = std::filesystem::temp_directory_path() / ("tarndb-atomic-" + std::to_string(::getpid()));
  std::filesystem::create_directory(dir);
  const std::string target = (dir / "a.tndb").string();
  const std::string tmp = (dir / "a.tndb.tmp").string();
  auto mode_of = [](const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? uint64_t(st.st_mode & 07777) : uint64_t(-1);
  };
  const mode_t mask = ::umask(022);
  ::umask(mask);
  const Buf data = bytes("new content");
  {
    auto f = tarn::AtomicFile::open(target);
    CHECK(bool(f));
    if (f) {
      CHECK_EQ(f->temp_path(), tmp);
      CHECK_EQ(mode_of(tmp), uint64_t(0600));  // private while it is written
      CHECK(bool(tarn::write_all(f->fd(), data.data(), data.size())));
      CHECK(bool(f->commit()));
    }
  }
  CHECK_EQ(read_all(target), str(data));
  CHECK_EQ(mode_of(target), uint64_t(0666 & ~mask));
  CHECK(!std::filesystem::exists(tmp));

  // A cancelled commit and a discard both take the temporary file away and
  // leave the target alone; a plain failure leaves the file, private.
  {
    auto f = tarn::AtomicFile::open(target);
    CHECK(f && bool(tarn::write_all(f->fd(), data.data(), 3)));
    CancelAtRename cancel;
    if (f) CHECK_ERROR(f->commit(&cancel), ErrorKind::kIO, "TarnIOError: build cancelled");
  }
  {
    auto f = tarn::AtomicFile::open(target);
    CHECK(bool(f));
    if (f) f->discard();
  }
  CHECK(!std::filesystem::exists(tmp));
  CHECK_EQ(read_all(target), str(data));
  {
    const std::string blocked = (dir / "sub").string();
    std::filesystem::create_directory(blocked);
    auto f = tarn::AtomicFile::open(blocked);
    CHECK(bool(f));
    if (f) CHECK(!f->commit());  // a rename onto a directory fails
    CHECK_EQ(mode_of(blocked + ".tndb.tmp"), uint64_t(0600));
  }

  // The refusals of a planted temporary path are tests/test_build_safety.py's.
  std::filesystem::remove_all(dir);
}


// ------------------------------------------------------------ lookup index

std::string temp_store(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("tarndb-core-tests-" + std::to_string(::getpid()) + "-" + name + ".tndb"))
      .string();
}

fmt::Bytes sbytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// A store of `keys` (key i mapped to payload "v<i>"), built by the sink with
// a lookup index; returns its bytes.
Buf build_indexed(const std::vector<std::string>& keys, bool lookup = true) {
  tarn::WriterCore w;
  for (size_t i = 0; i < keys.size(); ++i) {
    auto id = w.add_object(sbytes("v" + std::to_string(i)));
    CHECK(bool(id) && bool(w.add_key(sbytes(keys[i]), *id)));
  }
  (void)w.add_object(sbytes("unreferenced"));
  const std::string path = temp_store("indexed");
  auto built = w.build(path, tarn::SinkOptions{tarn::SinkOptions::Leftover::kRemove, lookup});
  CHECK(bool(built));
  const std::string text = read_all(path);
  std::filesystem::remove(path);
  return bytes(text);
}

std::optional<tarn::ReaderCore> open_bytes(const Buf& b, bool in_place, const std::string& name = "open") {
  const std::string path = temp_store(name);
  write_file(path, str(b));
  auto r = in_place ? tarn::ReaderCore::open_in_place(path, false) : tarn::ReaderCore::open(path, false);
  std::filesystem::remove(path);  // the mapping stays valid
  if (!r) return std::nullopt;
  return std::move(*r);
}

std::vector<std::string> sample_keys(size_t n) {
  std::vector<std::string> keys = {"", "a", "a\x01", "ab", "\xc3\xa9t\xc3\xa9", "zz"};
  std::mt19937_64 rng(7);
  while (keys.size() < n) keys.push_back("key/" + std::to_string(rng() % 1000000007) + "/" + std::string(rng() % 30, 'x'));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void test_lookup_index() {
  for (size_t n : {size_t(0), size_t(1), size_t(6), size_t(17), size_t(3000)}) {
    Context c("n=" + std::to_string(n));
    std::vector<std::string> keys = sample_keys(n);
    if (n < keys.size()) keys.resize(n);
    const Buf file = build_indexed(keys);
    CHECK(tarn::lookup::announced(span(file)));
    auto placed = open_bytes(file, true);
    auto decoded = open_bytes(file, false);
    CHECK(placed && decoded);
    if (!placed || !decoded) continue;
    CHECK(placed->in_place());
    CHECK(!decoded->in_place());
    CHECK_EQ(uint64_t(placed->entry_count()), uint64_t(keys.size()));
    CHECK_EQ(uint64_t(placed->user_objects()), uint64_t(keys.size() + 1));
    CHECK_EQ(uint64_t(placed->header().num_objects), uint64_t(keys.size() + 2));
    int wrong = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      auto got = placed->get(sbytes(keys[i]));
      wrong += !(got && *got && str(**got) == "v" + std::to_string(i));
      wrong += str(placed->key(i)) != keys[i];
      wrong += placed->record_offset(i) != decoded->record_offset(i);
      wrong += placed->lower_bound(sbytes(keys[i])) != i;
      wrong += placed->find(sbytes(keys[i] + "?"), placed->hash(sbytes(keys[i] + "?"))) != tarn::kNoEntry;
    }
    CHECK_EQ(wrong, 0);
    CHECK_EQ(uint64_t(placed->lower_bound(sbytes("\xff"))), uint64_t(keys.size()));
    // Prefix ends agree with a plain scan.
    for (const std::string p : {"", "a", "key/1", "key/99", "zz", "zzz"}) {
      size_t from = 0;
      while (from < keys.size() && keys[from] < p) ++from;
      size_t end = from;
      while (end < keys.size() && keys[end].compare(0, p.size(), p) == 0) ++end;
      CHECK_EQ(uint64_t(placed->lower_bound(sbytes(p))), uint64_t(from));
      CHECK_EQ(uint64_t(placed->prefix_end(from, sbytes(p))), uint64_t(end));
    }
    CHECK(bool(placed->verify()));
    CHECK(bool(decoded->verify()));
    // At most 10 bytes a key, the record's prefix and trailer aside.
    if (n >= 17) CHECK(placed->lookup_bytes() <= 10 * keys.size() + 8 + tarn::lookup::kTrailerSize);
  }
  // Keys that are not text get no lookup index; nor does a sink not asked.
  CHECK(!tarn::lookup::announced(span(build_indexed({"a", "\xe9t\xe9"}))));
  CHECK(!tarn::lookup::announced(span(build_indexed({"a", "b"}, false))));
}

// Every byte of the lookup index record damaged in turn, with the file's
// CRC-32 made to match: opening never fails, a lookup never gives another
// key's value, and verify() names a fault of the lookup index.
void test_lookup_index_damage() {
  const std::vector<std::string> keys = sample_keys(40);
  const Buf good = build_indexed(keys);
  auto sound = open_bytes(good, true);
  CHECK(sound && sound->in_place());
  if (!sound) return;
  const uint64_t rec = sound->lookup_index().record_offset();
  const uint64_t end = rec + sound->lookup_bytes();
  int wrong = 0, unnamed = 0, opened = 0;
  for (uint64_t at = rec; at < end; ++at) {
    for (uint8_t flip : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xff)}) {
      Buf bad = good;
      bad[at] ^= flip;
      const uint32_t crc = ref_crc(bad.data() + 40, bad.size() - 40);
      for (int i = 0; i < 4; ++i) bad[32 + i] = uint8_t(crc >> (24 - 8 * i));
      auto r = open_bytes(bad, true, "damaged");
      if (!r) continue;
      ++opened;
      for (size_t i = 0; i < keys.size(); ++i) {
        auto got = r->get(sbytes(keys[i]));
        if (got && *got && str(**got) != "v" + std::to_string(i)) ++wrong;
      }
      auto v = r->verify();
      // The record's own CRC-32 or the structure: either way it is named.
      if (v || v.error().detail().rfind("lookup index: ", 0) != 0) ++unnamed;
    }
  }
  CHECK_EQ(opened, int(3 * (end - rec)));
  CHECK_EQ(wrong, 0);
  CHECK_EQ(unnamed, 0);

  // A header that announces a record that is not there: the reader decodes
  // the index as before, and verify() says why.
  Buf lying = good;
  lying[39] ^= 0x04;
  const uint32_t crc = ref_crc(lying.data() + 40, lying.size() - 40);
  for (int i = 0; i < 4; ++i) lying[32 + i] = uint8_t(crc >> (24 - 8 * i));
  auto r = open_bytes(lying, true, "lying");
  CHECK(r && !r->in_place() && !r->lookup_fault().empty());
  if (r) {
    CHECK(r->exists(sbytes(keys[3])));
    auto v = r->verify();
    CHECK(!v && v.error().detail().rfind("lookup index: ", 0) == 0);
  }
}

// The sink's two policies for a temporary file left by a failed build.
void test_sink_leftover() {
  const auto dir = std::filesystem::temp_directory_path() / ("tarndb-core-sink-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "target");  // a directory: the rename fails
  const std::string target = (dir / "target").string();
  tarn::WriterCore w;
  auto id = w.add_object(sbytes("x"));
  CHECK(bool(id) && bool(w.add_key(sbytes("k"), *id)));
  using L = tarn::SinkOptions::Leftover;
  CHECK(!w.build(target, tarn::SinkOptions{L::kKeep, true}));
  CHECK(std::filesystem::exists(target + ".tndb.tmp"));
  CHECK(!w.build(target, tarn::SinkOptions{L::kRemove, true}));
  CHECK(!std::filesystem::exists(target + ".tndb.tmp"));
  std::filesystem::remove_all(dir);
}
void test_private_open() {
  const auto dir = std::filesystem::temp_directory_path() / ("tarndb-private-" + std::to_string(::getpid()));
  std::filesystem::create_directory(dir);
  const tarn::Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  {
    auto fd = tarn::open_private(dfd.get(), "own", O_RDWR | O_CREAT);
    CHECK(fd && ::fstat(fd->get(), &st) == 0 && (st.st_mode & 07777) == 0600);
    CHECK(fd && bool(tarn::write_all(fd->get(), reinterpret_cast<const uint8_t*>("abc"), 3)));
  }
  {
    auto fd = tarn::open_private(dfd.get(), "own", O_RDWR | O_TRUNC);  // truncated only once checked
    CHECK(fd && ::fstat(fd->get(), &st) == 0 && st.st_size == 0);
  }
  CHECK(::symlinkat("own", dfd.get(), "link") == 0);
  CHECK(::linkat(dfd.get(), "own", dfd.get(), "hard", 0) == 0);
  CHECK(::mkfifoat(dfd.get(), "fifo", 0600) == 0);
  CHECK_ERROR(tarn::open_private(dfd.get(), "link", O_RDWR | O_CREAT | O_TRUNC), ErrorKind::kIO,
              "TarnIOError: open: link: is a symbolic link");
  CHECK_ERROR(tarn::open_private(dfd.get(), "hard", O_RDWR), ErrorKind::kIO, "TarnIOError: open: hard: has 2 links");
  CHECK_ERROR(tarn::open_private(dfd.get(), "fifo", O_WRONLY), ErrorKind::kIO,
              "TarnIOError: open: fifo: not a regular file (a FIFO)");
  // The reader's opens under a directory: no link on the way, nothing outside.
  CHECK(::mkdirat(dfd.get(), "gen", 0700) == 0 && ::symlinkat("gen", dfd.get(), "gen-link") == 0);
  CHECK_ERROR(tarn::ReaderCore::open_at(dfd.get(), "gen-link/x.tndb", true, "x"), ErrorKind::kIO,
              "TarnIOError: cannot open gen-link/x.tndb: is a symbolic link");
  CHECK_ERROR(tarn::ReaderCore::open_at(dfd.get(), "link", true, "x"), ErrorKind::kIO,
              "TarnIOError: cannot open link: is a symbolic link");
  CHECK_ERROR(tarn::ReaderCore::open_at(dfd.get(), "gen/../own", true, "x"), ErrorKind::kIO,
              "TarnIOError: cannot open gen/../own: not a name inside the directory");
  std::filesystem::remove_all(dir);
}

}  // namespace

// core_tests [NAME ...]: runs every test, or those whose names are given
// (the name is the function's without "test_", e.g. `core_tests crc32`).
int main(int argc, char** argv) {
  struct Test {
    const char* name;
    void (*run)();
  };
  static const Test kTests[] = {
    {"core_error", test_core_error},
    {"crc32", test_crc32},
    {"encoders", test_encoders},
    {"parse_header", test_parse_header},
    {"read_index_entry", test_read_index_entry},
    {"read_object", test_read_object},
    {"temp_path", test_temp_path},
    {"utf8", test_utf8},
    {"page_array", test_page_array},
    {"same_bytes", test_same_bytes},
    {"reader_layouts", test_reader_layouts},
    {"msgpack_known_values", test_msgpack_known_values},
    {"msgpack_every_prefix_is_truncated", test_msgpack_every_prefix_is_truncated},
    {"msgpack_depth_limit", test_msgpack_depth_limit},
    {"key_view", test_key_view},
    {"merge", test_merge},
    {"data_section", test_data_section},
    {"atomic_file", test_atomic_file},
    {"lookup_index", test_lookup_index},
    {"lookup_index_damage", test_lookup_index_damage},
    {"sink_leftover", test_sink_leftover},
    {"private_open", test_private_open},
  };
  int ran = 0;
  for (const Test& t : kTests) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], t.name) == 0;
    if (!wanted) continue;
    t.run();
    ++ran;
  }
  if (ran == 0) {
    std::fprintf(stderr, "no test of that name; the tests are:");
    for (const Test& t : kTests) std::fprintf(stderr, " %s", t.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
