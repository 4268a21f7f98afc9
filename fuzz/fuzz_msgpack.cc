// libFuzzer target: the msgpack reader (core/msgpack.h) on arbitrary bytes.
//
// The reader builds a plain tree here through a builder that also checks
// the stream of calls it gets: each container is filled in order with
// exactly its declared count, nothing is set into a container that is not
// the innermost open one, every value inside a map key (and none outside)
// is flagged as a key, and what a failed walk leaves unfinished is
// discarded innermost first. Then:
//   - a successful walk is encoded again in the shortest form, which must be
//     no longer than the input, must read back to the same tree and must
//     encode to the same bytes again; and each strict prefix of the input
//     (all of them for short inputs) must fail as truncated;
//   - a failed walk must name a known fault at a byte inside the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/msgpack.h"
#include "fuzz_common.h"

const char fuzz::kTargetName[] = "fuzz_msgpack";

namespace {

using fuzz::fail;
using tarn::CoreError;
using tarn::ErrorKind;
using tarn::msgpack::Bytes;

enum class Kind : uint8_t { kNil, kBool, kUint, kSint, kReal, kStr, kBin, kExt, kTimestamp, kArray, kMap };

struct Node {
  Kind kind = Kind::kNil;
  bool key = false;
  uint64_t u = 0;  // bool, uint, sint (as bits), real (as bits), ext type, timestamp seconds (as bits)
  uint32_t n = 0;  // declared count; timestamp nanoseconds
  std::string bytes;
  std::vector<int> kids;  // array items, or map keys and values alternating
  bool operator==(const Node&) const = default;
};

Node make(Kind kind, uint64_t u = 0, bool key = false) {
  Node n;
  n.kind = kind;
  n.u = u;
  n.key = key;
  return n;
}

struct Open {
  int node;
  uint32_t filled;
};

class TreeBuilder {
 public:
  using Value = int;
  static bool ok(int v) { return v >= 0; }
  static constexpr bool kChecksUtf8 = false;

  std::vector<Node> nodes;
  std::vector<Open> open;

  int add(Node n) {
    nodes.push_back(std::move(n));
    return int(nodes.size() - 1);
  }
  int nil() { return add(make(Kind::kNil)); }
  int boolean(bool b) { return add(make(Kind::kBool, b)); }
  int uint(uint64_t v) { return add(make(Kind::kUint, v)); }
  int sint(int64_t v) {
    CHECK(v < 0, "sint of a non-negative value");
    return add(make(Kind::kSint, uint64_t(v)));
  }
  int real(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return add(make(Kind::kReal, bits));
  }
  int str(Bytes s, bool ascii, bool key) {
    bool really_ascii = true;
    for (uint8_t c : s) really_ascii &= c < 0x80;
    CHECK(ascii == really_ascii);
    Node n = make(Kind::kStr, 0, key);
    n.bytes.assign(reinterpret_cast<const char*>(s.data()), s.size());
    return add(std::move(n));
  }
  int bin(Bytes s) {
    Node n = make(Kind::kBin);
    n.bytes.assign(reinterpret_cast<const char*>(s.data()), s.size());
    return add(std::move(n));
  }
  int ext(int8_t type, Bytes s) {
    CHECK(type >= 0);
    Node n = make(Kind::kExt, uint64_t(type));
    n.bytes.assign(reinterpret_cast<const char*>(s.data()), s.size());
    return add(std::move(n));
  }
  int timestamp(int64_t seconds, uint32_t nanos) {
    CHECK(nanos <= 999999999u);
    Node n = make(Kind::kTimestamp, uint64_t(seconds));
    n.n = nanos;
    return add(std::move(n));
  }
  int begin_array(uint32_t count, bool key) {
    Node n = make(Kind::kArray, 0, key);
    n.n = count;
    const int id = add(std::move(n));
    open.push_back({id, 0});
    return id;
  }
  void set_item(int& a, uint32_t i, int item, bool key) {
    CHECK(!open.empty() && open.back().node == a, "set_item into a container that is not the innermost");
    CHECK(nodes[a].kind == Kind::kArray && nodes[a].key == key);
    CHECK(i == open.back().filled && i < nodes[a].n, "item out of order");
    open.back().filled++;
    nodes[a].kids.push_back(item);
  }
  void end_array(int& a, bool) { close(a, Kind::kArray, nodes[a].n); }
  int begin_map(uint32_t count) {
    Node n = make(Kind::kMap);
    n.n = count;
    const int id = add(std::move(n));
    open.push_back({id, 0});
    return id;
  }
  bool set_pair(int& m, int k, int v) {
    CHECK(!open.empty() && open.back().node == m, "set_pair into a container that is not the innermost");
    CHECK(nodes[m].kind == Kind::kMap && open.back().filled < nodes[m].n);
    open.back().filled++;
    nodes[m].kids.push_back(k);
    nodes[m].kids.push_back(v);
    return true;
  }
  void end_map(int& m) { close(m, Kind::kMap, nodes[m].n); }
  void discard(int v) {
    // An unfinished container is dropped innermost first; a finished value
    // may be dropped too (the key of a pair whose value failed).
    if (!open.empty() && open.back().node == v) open.pop_back();
    for (const Open& o : open) CHECK(o.node != v, "an outer container discarded before an inner one");
  }
  CoreError failure() { fail("the tree builder never fails"); }

 private:
  void close(int c, Kind kind, uint32_t count) {
    CHECK(!open.empty() && open.back().node == c && nodes[c].kind == kind, "end of a container not innermost");
    CHECK(open.back().filled == count, "container closed before it was full");
    open.pop_back();
  }
};

// Every value inside a map key is flagged as a key, none outside; no map
// sits inside a key.
void check_keys(const std::vector<Node>& t, int id, bool in_key) {
  const Node& n = t[id];
  if (n.kind == Kind::kArray || n.kind == Kind::kStr) CHECK(n.key == in_key, "key flag");
  if (n.kind == Kind::kMap) CHECK(!in_key, "map inside a key");
  if (n.kind == Kind::kArray) {
    CHECK(n.kids.size() == n.n);
    for (int k : n.kids) check_keys(t, k, in_key);
  } else if (n.kind == Kind::kMap) {
    CHECK(n.kids.size() == 2 * size_t(n.n));
    for (size_t i = 0; i < n.kids.size(); ++i) check_keys(t, n.kids[i], i % 2 == 0);
  }
}

void put(std::string& out, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(char(v >> (8 * i)));
}
void head(std::string& out, uint64_t n, uint8_t fix, uint32_t fix_max, uint8_t b8, uint8_t b16, uint8_t b32) {
  if (fix && n <= fix_max) {
    out.push_back(char(fix | n));
  } else if (b8 && n <= 0xff) {
    out.push_back(char(b8));
    put(out, n, 1);
  } else if (n <= 0xffff) {
    out.push_back(char(b16));
    put(out, n, 2);
  } else {
    out.push_back(char(b32));
    put(out, n, 4);
  }
}

// The shortest encoding of the tree at `id`.
void encode(const std::vector<Node>& t, int id, std::string& out) {
  const Node& n = t[id];
  switch (n.kind) {
    case Kind::kNil: out.push_back(char(0xc0)); break;
    case Kind::kBool: out.push_back(char(n.u ? 0xc3 : 0xc2)); break;
    case Kind::kUint:
      if (n.u <= 0x7f) out.push_back(char(n.u));
      else if (n.u <= 0xff) out.push_back(char(0xcc)), put(out, n.u, 1);
      else if (n.u <= 0xffff) out.push_back(char(0xcd)), put(out, n.u, 2);
      else if (n.u <= 0xffffffffu) out.push_back(char(0xce)), put(out, n.u, 4);
      else out.push_back(char(0xcf)), put(out, n.u, 8);
      break;
    case Kind::kSint: {
      const int64_t v = int64_t(n.u);
      if (v >= -32) out.push_back(char(uint8_t(v)));
      else if (v >= INT8_MIN) out.push_back(char(0xd0)), put(out, uint64_t(v), 1);
      else if (v >= INT16_MIN) out.push_back(char(0xd1)), put(out, uint64_t(v), 2);
      else if (v >= INT32_MIN) out.push_back(char(0xd2)), put(out, uint64_t(v), 4);
      else out.push_back(char(0xd3)), put(out, uint64_t(v), 8);
      break;
    }
    case Kind::kReal: {
      double d;
      std::memcpy(&d, &n.u, 8);
      const float f = float(d);
      const double back = double(f);
      if (std::memcmp(&back, &d, 8) == 0) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        out.push_back(char(0xca));
        put(out, bits, 4);
      } else {
        out.push_back(char(0xcb));
        put(out, n.u, 8);
      }
      break;
    }
    case Kind::kStr: head(out, n.bytes.size(), 0xa0, 31, 0xd9, 0xda, 0xdb), out += n.bytes; break;
    case Kind::kBin: head(out, n.bytes.size(), 0, 0, 0xc4, 0xc5, 0xc6), out += n.bytes; break;
    case Kind::kExt:
    case Kind::kTimestamp: {
      std::string body;
      int8_t type = int8_t(n.u);
      if (n.kind == Kind::kTimestamp) {
        type = -1;
        const int64_t s = int64_t(n.u);
        if (s >= 0 && (uint64_t(s) >> 34) == 0) {
          if (n.n == 0 && (uint64_t(s) >> 32) == 0) put(body, uint64_t(s), 4);
          else put(body, uint64_t(n.n) << 34 | uint64_t(s), 8);
        } else {
          put(body, n.n, 4);
          put(body, uint64_t(s), 8);
        }
      } else {
        body = n.bytes;
      }
      const size_t len = body.size();
      const int fixed = len == 1 ? 0xd4 : len == 2 ? 0xd5 : len == 4 ? 0xd6 : len == 8 ? 0xd7 : len == 16 ? 0xd8 : 0;
      if (fixed) out.push_back(char(fixed));
      else head(out, len, 0, 0, 0xc7, 0xc8, 0xc9);
      out.push_back(char(type));
      out += body;
      break;
    }
    case Kind::kArray:
      head(out, n.n, 0x90, 15, 0, 0xdc, 0xdd);
      for (int k : n.kids) encode(t, k, out);
      break;
    case Kind::kMap:
      head(out, n.n, 0x80, 15, 0, 0xde, 0xdf);
      for (int k : n.kids) encode(t, k, out);
      break;
  }
}

bool same_tree(const std::vector<Node>& a, int x, const std::vector<Node>& b, int y) {
  const Node &p = a[x], &q = b[y];
  if (p.kind != q.kind || p.key != q.key || p.u != q.u || p.n != q.n || p.bytes != q.bytes ||
      p.kids.size() != q.kids.size()) {
    return false;
  }
  for (size_t i = 0; i < p.kids.size(); ++i) {
    if (!same_tree(a, p.kids[i], b, q.kids[i])) return false;
  }
  return true;
}

const char* const kFaults[] = {"truncated ",  "reserved byte 0xc1 at byte ", "nested deeper than ", "invalid utf-8 in str",
                               "map used as a map key", "reserved ext type -", "timestamp "};

void check_fault(const CoreError& e, size_t size) {
  CHECK(e.kind() == ErrorKind::kCorrupt, e.message());
  const std::string d = e.detail();
  if (d.ends_with(" after the value")) {
    const unsigned long n = std::strtoul(d.c_str(), nullptr, 10);
    CHECK(n >= 1 && n < size, d);
    return;
  }
  bool known = false;
  for (const char* f : kFaults) known |= d.starts_with(f);
  CHECK(known, d);
  const size_t pos = d.rfind(" at byte ");
  CHECK(pos != std::string::npos, d);
  // "truncated value" may name the end of the input, where a value was due.
  CHECK(std::strtoull(d.c_str() + pos + 9, nullptr, 10) <= size, d);
}

struct Walk {
  TreeBuilder b;
  tarn::Result<int> r;
  explicit Walk(Bytes in) : r(tarn::msgpack::parse_msgpack(in, b)) {
    CHECK(b.open.empty(), "containers left open");
    if (r) check_keys(b.nodes, *r, false);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes in{data, size};
  Walk first(in);
  if (!first.r) {
    check_fault(first.r.error(), size);
    return 0;
  }
  std::string enc;
  encode(first.b.nodes, *first.r, enc);
  CHECK(enc.size() <= size, "the shortest form is longer than the input");
  Walk again(Bytes{reinterpret_cast<const uint8_t*>(enc.data()), enc.size()});
  CHECK(again.r.has_value(), again.r.error().detail());
  CHECK(same_tree(first.b.nodes, *first.r, again.b.nodes, *again.r), "the re-encoding reads back differently");
  std::string enc2;
  encode(again.b.nodes, *again.r, enc2);
  CHECK(enc2 == enc, "encoding is not stable");

  const size_t step = size <= 64 ? 1 : size / 16;
  for (size_t cut = 0; cut < size; cut += step) {
    Walk part(Bytes{data, cut});
    CHECK(!part.r.has_value(), "a strict prefix of a value parsed");
    CHECK(part.r.error().detail().starts_with("truncated "), part.r.error().detail());
  }
  return 0;
}
