// The msgpack reader: one value walked out of [data, data + size).
//
// Stored objects are msgpack values. parse_msgpack() walks exactly one value
// and hands each part to a Builder, which makes the caller's representation of
// it (Python objects in the fast module, a plain tree in tests and the fuzz
// target): the bytes are checked once, here, and every builder sees the same
// rules. Every length read from the input is checked against the bytes left,
// in a form that cannot wrap, before it is used; a container's declared count
// is checked against the bytes left (each element takes at least one byte)
// before the builder is asked to make room for it. A fault is returned as a
// CoreError of kind kCorrupt with a short text naming the byte it was found at.
//
// What the reader accepts, beyond the format's own grammar, is the set of
// values the package has always decoded:
//   - str holds well-formed UTF-8 (no surrogates, overlongs or code points
//     above U+10FFFF);
//   - a map is never a map key (its key could not be hashed); an array that
//     is a map key, or inside one, is flagged `key` to the builder;
//   - ext type -1 is a timestamp of 4, 8 or 12 bytes whose nanoseconds are at
//     most 999999999; the other negative ext types are rejected;
//   - at most kMaxDepth containers are open at once;
//   - nothing follows the value.
//
// The Builder (a template parameter, so the walk inlines its callbacks):
//   using Value = ...;                       the builder's handle of a value
//   static bool ok(const Value&);            false: the builder failed
//   Value nil(); Value boolean(bool);
//   Value uint(uint64_t); Value sint(int64_t);  sint only for negative values
//   Value real(double);                      float32 is widened
//   Value str(Bytes text, bool ascii, bool key);  `ascii`: no byte above 0x7f
//   static constexpr bool kChecksUtf8;       true: str() itself rejects text
//                                            that is not UTF-8 (a decoder that
//                                            checks as it goes), and then
//   bool took_bad_utf8();                    tells, once, that it did so;
//                                            false: the parser checks first
//   Value bin(Bytes); Value ext(int8_t type, Bytes);  type >= 0
//   Value timestamp(int64_t seconds, uint32_t nanoseconds);
//   Value begin_array(uint32_t n, bool key);
//   void set_item(Value& array, uint32_t i, Value item, bool key);  takes item
//   void end_array(Value& array, bool key);
//   Value begin_map(uint32_t n);
//   bool set_pair(Value& map, Value k, Value v);  takes k and v; false: failed
//   void end_map(Value& map);
//   void discard(Value);                     drops a value not handed on
//   CoreError failure();                     what went wrong when ok() was false
//
// The parser holds no state beyond one call; it is as thread-safe as its
// builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/error.h"
#include "core/format.h"
#include "core/utf8.h"

namespace tarn::msgpack {

using Bytes = std::span<const uint8_t>;

// The deepest nesting of arrays and maps accepted (empty ones count too).
inline constexpr uint32_t kMaxDepth = 1024;

// A fault found by the walk. It is kept as plain data while the walk
// unwinds (so the builder's partial values are all dropped before anything
// is allocated for the text) and described at the end.
enum class FaultKind : uint8_t {
  kTruncated,       // `what` declares more bytes than are left
  kReservedByte,    // 0xc1
  kTrailing,        // `extra` bytes after the value
  kTooDeep,         // a container opened inside kMaxDepth others
  kBadUtf8,         // a str that is not well-formed UTF-8
  kMapAsKey,        // a map where a map key starts
  kExtType,         // negative ext type `extra` other than -1
  kTimestampSize,   // a timestamp of `extra` bytes
  kTimestampNanos,  // a timestamp whose nanoseconds (`extra`) exceed 999999999
  kBuilder,         // the builder failed: its failure() tells why
};
struct Fault {
  FaultKind kind;
  const char* what;  // kTruncated: "str", "array", "value", ...
  size_t at;         // offset of the value's first byte
  int64_t extra;
};

// The fault's text, as in "truncated str at byte 17" (msgpack.cc).
[[gnu::cold]] CoreError describe(const Fault& fault);

// True iff no byte of [p, p + n) has its high bit set.
inline bool all_ascii(const uint8_t* p, size_t n) {
  uint64_t acc = 0;
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  uint8_t tail = 0;
  for (; i < n; ++i) tail |= p[i];
  return ((acc & 0x8080808080808080ull) | (tail & 0x80u)) == 0;
}

template <class Builder>
class Parser {
 public:
  using Value = typename Builder::Value;

  Parser(Bytes in, Builder& builder) : begin_(in.data()), p_(in.data()), end_(in.data() + in.size()), b_(builder) {}

  Result<Value> run() {
    Value v{};
    if (!value(&v, 0, false)) {
      if (fault_.kind == FaultKind::kBuilder) return b_.failure();
      return describe(fault_);
    }
    if (p_ != end_) {
      b_.discard(v);
      fail(FaultKind::kTrailing, p_, int64_t(end_ - p_));
      return describe(fault_);
    }
    return v;
  }

  // What the failed run() found, for a caller that words it otherwise.
  const Fault& fault() const { return fault_; }

 private:
  size_t left() const { return size_t(end_ - p_); }
  size_t offset(const uint8_t* at) const { return size_t(at - begin_); }

  bool fail(FaultKind kind, const uint8_t* at, int64_t extra = 0, const char* what = nullptr) {
    fault_ = Fault{kind, what, offset(at), extra};
    return false;
  }
  bool truncated(const char* what, const uint8_t* at) { return fail(FaultKind::kTruncated, at, 0, what); }
  bool builder_failed() { return fail(FaultKind::kBuilder, p_); }
  // Stores a builder's value, or notes the builder's failure.
  bool put(Value* out, Value v) {
    if (!Builder::ok(v)) [[unlikely]] return builder_failed();
    *out = v;
    return true;
  }
  // Reads a big-endian length or value of `width` bytes (1, 2, 4 or 8).
  bool field(int width, uint64_t* v, const char* what, const uint8_t* at) {
    if (left() < size_t(width)) return truncated(what, at);
    switch (width) {
      case 1: *v = p_[0]; break;
      case 2: *v = format::load_be16(p_); break;
      case 4: *v = format::load_be32(p_); break;
      default: *v = format::load_be64(p_); break;
    }
    p_ += width;
    return true;
  }

  bool value(Value* out, uint32_t depth, bool key);
  bool str(Value* out, uint64_t n, const uint8_t* at, bool key);
  bool bin(Value* out, uint64_t n, const uint8_t* at);
  bool ext(Value* out, uint64_t n, const uint8_t* at);
  bool array(Value* out, uint64_t n, const uint8_t* at, uint32_t depth, bool key);
  bool map(Value* out, uint64_t n, const uint8_t* at, uint32_t depth, bool key);

  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
  Builder& b_;
  Fault fault_{};
};

template <class Builder>
bool Parser<Builder>::value(Value* out, uint32_t depth, bool key) {
  if (p_ == end_) [[unlikely]] return truncated("value", p_);
  const uint8_t* at = p_;
  const uint8_t c = *p_++;
  if (c <= 0x7f) return put(out, b_.uint(c));
  if (c >= 0xe0) return put(out, b_.sint(int8_t(c)));
  if (c >= 0xa0 && c <= 0xbf) return str(out, c & 0x1fu, at, key);
  if (c >= 0x80 && c <= 0x8f) return map(out, c & 0x0fu, at, depth, key);
  if (c >= 0x90 && c <= 0x9f) return array(out, c & 0x0fu, at, depth, key);
  uint64_t v = 0;
  switch (c) {
    case 0xc0: return put(out, b_.nil());
    case 0xc1: return fail(FaultKind::kReservedByte, at);
    case 0xc2: return put(out, b_.boolean(false));
    case 0xc3: return put(out, b_.boolean(true));
    case 0xc4: return field(1, &v, "bin", at) && bin(out, v, at);
    case 0xc5: return field(2, &v, "bin", at) && bin(out, v, at);
    case 0xc6: return field(4, &v, "bin", at) && bin(out, v, at);
    case 0xc7: return field(1, &v, "ext", at) && ext(out, v, at);
    case 0xc8: return field(2, &v, "ext", at) && ext(out, v, at);
    case 0xc9: return field(4, &v, "ext", at) && ext(out, v, at);
    case 0xca: {
      if (!field(4, &v, "float", at)) return false;
      float f;
      const uint32_t bits = uint32_t(v);
      std::memcpy(&f, &bits, 4);
      return put(out, b_.real(double(f)));
    }
    case 0xcb: {
      if (!field(8, &v, "float", at)) return false;
      double d;
      std::memcpy(&d, &v, 8);
      return put(out, b_.real(d));
    }
    case 0xcc: return field(1, &v, "int", at) && put(out, b_.uint(v));
    case 0xcd: return field(2, &v, "int", at) && put(out, b_.uint(v));
    case 0xce: return field(4, &v, "int", at) && put(out, b_.uint(v));
    case 0xcf: return field(8, &v, "int", at) && put(out, b_.uint(v));
    case 0xd0: case 0xd1: case 0xd2: case 0xd3: {
      const int width = 1 << (c - 0xd0);
      if (!field(width, &v, "int", at)) return false;
      // Sign-extend from the field's width.
      const int shift = 64 - 8 * width;
      const int64_t s = int64_t(v << shift) >> shift;
      return put(out, s < 0 ? b_.sint(s) : b_.uint(uint64_t(s)));
    }
    case 0xd4: return ext(out, 1, at);
    case 0xd5: return ext(out, 2, at);
    case 0xd6: return ext(out, 4, at);
    case 0xd7: return ext(out, 8, at);
    case 0xd8: return ext(out, 16, at);
    case 0xd9: return field(1, &v, "str", at) && str(out, v, at, key);
    case 0xda: return field(2, &v, "str", at) && str(out, v, at, key);
    case 0xdb: return field(4, &v, "str", at) && str(out, v, at, key);
    case 0xdc: return field(2, &v, "array", at) && array(out, v, at, depth, key);
    case 0xdd: return field(4, &v, "array", at) && array(out, v, at, depth, key);
    case 0xde: return field(2, &v, "map", at) && map(out, v, at, depth, key);
    default: return field(4, &v, "map", at) && map(out, v, at, depth, key);  // 0xdf
  }
}

template <class Builder>
bool Parser<Builder>::str(Value* out, uint64_t n, const uint8_t* at, bool key) {
  if (left() < n) return truncated("str", at);
  const Bytes s{p_, size_t(n)};
  p_ += n;
  const bool ascii = all_ascii(s.data(), s.size());
  if constexpr (!Builder::kChecksUtf8) {
    if (!ascii && !utf8_valid(s)) [[unlikely]] return fail(FaultKind::kBadUtf8, at);
  }
  Value v = b_.str(s, ascii, key);
  if (!Builder::ok(v)) [[unlikely]] {
    if constexpr (Builder::kChecksUtf8) {
      if (!ascii && b_.took_bad_utf8()) return fail(FaultKind::kBadUtf8, at);
    }
    return builder_failed();
  }
  *out = v;
  return true;
}

template <class Builder>
bool Parser<Builder>::bin(Value* out, uint64_t n, const uint8_t* at) {
  if (left() < n) return truncated("bin", at);
  const Bytes s{p_, size_t(n)};
  p_ += n;
  return put(out, b_.bin(s));
}

template <class Builder>
bool Parser<Builder>::ext(Value* out, uint64_t n, const uint8_t* at) {
  if (left() < 1 || left() - 1 < n) return truncated("ext", at);
  const int8_t type = int8_t(*p_);
  const uint8_t* d = p_ + 1;
  p_ += 1 + n;
  if (type >= 0) return put(out, b_.ext(type, Bytes{d, size_t(n)}));
  if (type != -1) return fail(FaultKind::kExtType, at, type);
  // A timestamp: seconds u32; nanoseconds u30 and seconds u34; or
  // nanoseconds u32 and seconds i64.
  int64_t seconds;
  uint32_t nanos;
  if (n == 4) {
    seconds = format::load_be32(d);
    nanos = 0;
  } else if (n == 8) {
    const uint64_t w = format::load_be64(d);
    nanos = uint32_t(w >> 34);
    seconds = int64_t(w & ((uint64_t(1) << 34) - 1));
  } else if (n == 12) {
    nanos = format::load_be32(d);
    seconds = int64_t(format::load_be64(d + 4));
  } else {
    return fail(FaultKind::kTimestampSize, at, int64_t(n));
  }
  if (nanos > 999999999u) return fail(FaultKind::kTimestampNanos, at, nanos);
  return put(out, b_.timestamp(seconds, nanos));
}

template <class Builder>
bool Parser<Builder>::array(Value* out, uint64_t n, const uint8_t* at, uint32_t depth, bool key) {
  if (left() < n) return truncated("array", at);
  if (depth == kMaxDepth) return fail(FaultKind::kTooDeep, at);
  Value a = b_.begin_array(uint32_t(n), key);
  if (!Builder::ok(a)) [[unlikely]] return builder_failed();
  for (uint32_t i = 0; i < n; ++i) {
    Value item{};
    if (!value(&item, depth + 1, key)) [[unlikely]] {
      b_.discard(a);
      return false;
    }
    b_.set_item(a, i, item, key);
  }
  b_.end_array(a, key);
  *out = a;
  return true;
}

template <class Builder>
bool Parser<Builder>::map(Value* out, uint64_t n, const uint8_t* at, uint32_t depth, bool key) {
  if (key) return fail(FaultKind::kMapAsKey, at);
  if (left() / 2 < n) return truncated("map", at);
  if (depth == kMaxDepth) return fail(FaultKind::kTooDeep, at);
  Value m = b_.begin_map(uint32_t(n));
  if (!Builder::ok(m)) [[unlikely]] return builder_failed();
  for (uint32_t i = 0; i < n; ++i) {
    Value k{}, v{};
    if (!value(&k, depth + 1, true)) [[unlikely]] {
      b_.discard(m);
      return false;
    }
    if (!value(&v, depth + 1, false)) [[unlikely]] {
      b_.discard(k);
      b_.discard(m);
      return false;
    }
    if (!b_.set_pair(m, k, v)) [[unlikely]] {
      b_.discard(m);
      return builder_failed();
    }
  }
  b_.end_map(m);
  *out = m;
  return true;
}

// Walks the one msgpack value that `in` holds, building it with `builder`.
template <class Builder>
Result<typename Builder::Value> parse_msgpack(Bytes in, Builder& builder) {
  return Parser<Builder>(in, builder).run();
}

}  // namespace tarn::msgpack
