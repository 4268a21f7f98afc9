// libFuzzer target: WriterCore staging and build, read back by ReaderCore.
//
// The input is a little program: each operation byte stages an object, maps
// a key (fresh, re-mapped, empty, over-long, or with an object ID out of
// range) or builds the store into a temporary directory. A std::map model
// follows every call; after each build the file is opened with verification
// and every key, the listings, the raw layout (header fields, sizes, order)
// and the deep verification are compared with the model.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/reader.h"
#include "core/writer.h"
#include "fuzz_common.h"

const char fuzz::kTargetName[] = "fuzz_writer";

namespace {

using fuzz::bytes;
using fuzz::fail;
using fuzz::str;
using tarn::Bytes;

// Consumes the fuzzer's input front to back; past the end it yields zeros.
struct Input {
  const uint8_t* p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  uint16_t u16() { return uint16_t(byte() << 8 | byte()); }
  // `len` bytes: up to 32 taken from the input, then repeated, so that a few
  // input bytes can make a long key or payload (and several long ones).
  std::string blob(size_t len) {
    std::string s;
    s.reserve(len);
    const size_t take = std::min({len, n, size_t(32)});
    s.append(reinterpret_cast<const char*>(p), take);
    p += take;
    n -= take;
    for (size_t i = take; i < len; ++i) s.push_back(char(take ? s[i % take] : uint8_t(i * 131)));
    return s;
  }
};

struct Model {
  std::vector<std::string> objects;
  std::map<std::string, uint64_t> keys;  // std::string orders by unsigned bytes
};

std::string g_dir;

// Staging stops growing past this many bytes, which keeps an input's builds
// (and the sanitizers' quarantine) well inside the fuzzer's memory limit.
constexpr size_t kStageBudget = 2 << 20;

void check_build(const tarn::WriterCore& w, const Model& m, const std::string& path) {
  auto built = w.build(path, tarn::SinkOptions{});
  CHECK(built.has_value(), built ? "" : built.error().message());
  CHECK(built->objects == m.objects.size() && built->keys == m.keys.size(), "report counts");
  struct stat st;
  CHECK(::stat((g_dir + "/t.tndb.tmp").c_str(), &st) != 0, "temporary file left behind");

  uint64_t data_len = 0;
  for (const std::string& o : m.objects) data_len += 8 + o.size();
  uint64_t index_len = 0;
  for (const auto& kv : m.keys) index_len += 10 + kv.first.size();
  CHECK(built->size_kib == double(40 + data_len + index_len) * 0.0009765625, "report size");

  auto r = tarn::ReaderCore::open(path, true);
  CHECK(r.has_value(), r ? "" : r.error().message());
  const tarn::FileHeader& h = r->header();
  CHECK(h.file_size == 40 + data_len + index_len, "file size");
  CHECK(h.index_offset == 40 + data_len, "index offset");
  CHECK(h.num_keys == m.keys.size() && h.num_objects == m.objects.size(), "header counts");
  CHECK(r->entry_count() == m.keys.size(), "entry count");
  auto v = r->verify();
  CHECK(v.has_value(), v ? "" : v.error().message());

  // Keys in ascending byte order, each with its object's payload.
  auto items = r->items();
  CHECK(items.has_value(), "items");
  size_t i = 0;
  for (const auto& [key, id] : m.keys) {
    CHECK(str(r->key(i)) == key, "key order");
    CHECK((*items)[i].entry == i && str((*items)[i].payload) == m.objects[id], "item payload");
    auto got = r->get(bytes(key));
    CHECK(got && got->has_value() && str(**got) == m.objects[id], "get");
    CHECK(r->exists(bytes(key)), "exists");
    ++i;
  }
  CHECK(i == items->size(), "item count");

  // Distinct records in order of first reference; equal payloads of
  // different objects are distinct records.
  std::vector<uint64_t> order;
  std::set<uint64_t> seen;
  for (const auto& kv : m.keys)
    if (seen.insert(kv.second).second) order.push_back(kv.second);
  auto objs = r->objects();
  CHECK(objs && objs->size() == order.size(), "objects count");
  for (size_t j = 0; j < order.size(); ++j) CHECK(str((*objs)[j]) == m.objects[order[j]], "objects payload");

  // A prefix scan for the first byte of a key returns exactly the keys
  // starting with it.
  if (!m.keys.empty()) {
    const std::string p = m.keys.rbegin()->first.substr(0, 1);
    auto scan = r->prefix(bytes(p));
    CHECK(scan.has_value(), "prefix");
    size_t want = 0;
    for (const auto& kv : m.keys) want += kv.first.compare(0, p.size(), p) == 0;
    CHECK(scan->size() == want, "prefix count");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  std::string templ = std::string(base) + "/fuzz_writer.XXXXXX";
  if (!mkdtemp(templ.data())) fail("mkdtemp");
  g_dir = templ;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  tarn::WriterCore w;
  Model m;
  const std::string path = g_dir + "/t.tndb";
  int builds = 0;
  size_t staged = 0;  // payload and key bytes held by the writer
  std::vector<std::string> recent;  // keys seen, for re-mapping

  while (!in.empty()) {
    const uint8_t op = in.byte();
    switch (op % 8) {
      case 0:
      case 1: {  // an object of up to 255 bytes, or a long one
        size_t len = in.byte();
        if (op & 0x80) len = size_t(in.u16()) * 2;  // up to 128 KiB: past the first arena chunk
        const std::string payload = in.blob(len);
        if (staged + payload.size() > kStageBudget) break;
        staged += payload.size();
        auto id = w.add_object(bytes(payload));
        CHECK(id && *id == m.objects.size(), "add_object id");
        m.objects.push_back(payload);
        break;
      }
      case 2:
      case 3:
      case 4: {  // a key: fresh, re-mapped, or empty
        std::string key;
        const uint8_t sel = in.byte();
        if (sel < 64 && !recent.empty()) {
          key = recent[sel % recent.size()];
        } else if (sel == 255) {
          key.clear();
        } else if (sel >= 250) {
          key = in.blob(in.u16());  // any length up to 65535
        } else {
          key = in.blob(in.byte() % 24);
        }
        // Mostly in range; now and then one or two past the end.
        const uint8_t pick = in.byte();
        uint64_t id = m.objects.empty() ? pick % 3 : (pick < 240 ? pick % m.objects.size() : m.objects.size() + pick % 2);
        if (pick == 239) id = ~uint64_t(0);
        if (staged + key.size() > kStageBudget) break;
        auto r = w.add_key(bytes(key), id);
        if (id < m.objects.size()) {
          if (!m.keys.count(key)) staged += key.size();
          CHECK(r.has_value(), r ? "" : r.error().message());
          m.keys[key] = id;
          if (recent.size() < 32) recent.push_back(key);
        } else {
          CHECK(!r && r.error().kind() == tarn::ErrorKind::kUsage, "out-of-range obj_id");
          CHECK(r.error().detail() == "obj_id " + std::to_string(id) + " out of range (have " +
                                          std::to_string(m.objects.size()) + " objects)",
                r.error().detail());
        }
        break;
      }
      case 5: {  // a key longer than the format allows is refused, changing nothing
        if (in.byte() < 200) break;
        const std::string key = in.blob(65536 + in.byte());
        auto r = w.add_key(bytes(key), 0);
        CHECK(!r && r.error().kind() == tarn::ErrorKind::kUsage, "over-long key accepted");
        break;
      }
      default:
        if (builds++ < 3) check_build(w, m, path);
        break;
    }
    CHECK(w.object_count() == m.objects.size() && w.key_count() == m.keys.size(), "counts");
  }
  if (builds < 4) check_build(w, m, path);
  return 0;
}
