#include "core/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarn {
namespace {

constexpr uint32_t kPoly = 0xEDB88320u;

// tables[k][b]: the CRC register after byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1) ? kPoly : 0);
    t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}
constexpr auto kTables = make_tables();

// Advances the raw (not inverted) register over n bytes, eight at a time.
uint32_t table_update(uint32_t reg, const uint8_t* p, size_t n) {
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);  // little-endian hosts only, as is every x86-64 and arm64 Linux
    w ^= reg;
    reg = kTables[7][w & 0xFF] ^ kTables[6][(w >> 8) & 0xFF] ^ kTables[5][(w >> 16) & 0xFF] ^
          kTables[4][(w >> 24) & 0xFF] ^ kTables[3][(w >> 32) & 0xFF] ^ kTables[2][(w >> 40) & 0xFF] ^
          kTables[1][(w >> 48) & 0xFF] ^ kTables[0][w >> 56];
    p += 8;
    n -= 8;
  }
  while (n--) reg = (reg >> 8) ^ kTables[0][(reg ^ *p++) & 0xFF];
  return reg;
}

#if defined(__x86_64__)
__attribute__((target("sse2"))) inline __m128i load(const uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}
__attribute__((target("avx512f"))) inline __m512i load512(const uint8_t* q) { return _mm512_loadu_si512(q); }

// Folding with carry-less multiplication. The message is consumed in 128-bit
// blocks; a block followed by D bits of message is congruent (mod P) to its
// two 64-bit halves multiplied by x^(D+32) and x^(D-32) (bit-reflected, hence
// the shift by one) and added to the block D bits further on. A last partial
// block is folded in by shifting the message so that its final 16 bytes form
// a whole block, and the remaining 128 bits are reduced to 32 with two more
// multiplications and a Barrett reduction. Records are short (100 bytes is
// typical), so this tail, not the folding, decides what a record's CRC costs.
constexpr uint64_t fold_constant(unsigned exponent) {
  const uint64_t p = 0x104C11DB7ull;
  uint64_t r = 1;
  for (unsigned i = 0; i < exponent; ++i) {
    r <<= 1;
    if (r & (1ull << 32)) r ^= p;
  }
  uint64_t reflected = 0;
  for (int i = 0; i < 32; ++i)
    if (r & (1ull << i)) reflected |= 1ull << (31 - i);
  return reflected << 1;
}
// {low half, high half} constants for a fold over D bits.
constexpr uint64_t kFold128[2] = {fold_constant(128 + 32), fold_constant(128 - 32)};
constexpr uint64_t kFold256[2] = {fold_constant(256 + 32), fold_constant(256 - 32)};
constexpr uint64_t kFold384[2] = {fold_constant(384 + 32), fold_constant(384 - 32)};
constexpr uint64_t kFold512[2] = {fold_constant(512 + 32), fold_constant(512 - 32)};
constexpr uint64_t kFold2048[2] = {fold_constant(2048 + 32), fold_constant(2048 - 32)};
constexpr uint64_t kFold64 = fold_constant(64);
static_assert(kFold512[0] == 0x154442bd4ull && kFold512[1] == 0x1c6e41596ull);
static_assert(kFold128[0] == 0x1751997d0ull && kFold128[1] == 0x0ccaa009eull);
static_assert(kFold64 == 0x163cd6124ull);
// The bit-reflected polynomial with its x^32 term, and floor(x^64 / P) reflected.
constexpr uint64_t kPolyFull = 0x1DB710641ull;
constexpr uint64_t kBarrettMu = 0x1F7011641ull;

// pshufb masks: the 16 bytes from offset r move a block's bytes up by
// 16 - r positions, those from offset 16 + r move them down by r (0x80 clears).
alignas(16) constexpr uint8_t kShuffle[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds the block `x` into the `r` bytes that follow it, which end at `end`
// (1 <= r <= 15; the 16 bytes before `end` are readable).
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_tail(__m128i x, const uint8_t* end, size_t r) {
  const __m128i up = load(kShuffle + r);         // its first r bytes, moved to the top
  const __m128i down = load(kShuffle + 16 + r);  // its other bytes, moved to the bottom
  // r bytes behind 16 - r zero bytes, which change nothing in front of a message.
  const __m128i head = _mm_shuffle_epi8(x, up);
  // The last 16 bytes of the message: x's later bytes, then the r new ones
  // (the mask's top bit picks x's bytes).
  const __m128i last = _mm_blendv_epi8(load(end - 16), _mm_shuffle_epi8(x, down), up);
  return fold(head, _mm_set_epi64x(kFold128[1], kFold128[0]), last);
}

// The CRC register of a message congruent to the folded block `x`.
__attribute__((target("pclmul,sse4.1"))) inline uint32_t reduce(__m128i x) {
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  // 128 -> 96 bits: the low half times x^96, onto the high half.
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, _mm_set_epi64x(0, kFold128[1]), 0x00), _mm_srli_si128(x, 8));
  // 96 -> 64 bits.
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), _mm_set_epi64x(0, kFold64), 0x00),
                    _mm_srli_si128(x, 4));
  // Barrett reduction, 64 -> 32 bits.
  const __m128i k = _mm_set_epi64x(kBarrettMu, kPolyFull);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), k, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), k, 0x00);
  return uint32_t(_mm_extract_epi32(_mm_xor_si128(t, x), 1));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t clmul_update(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < 16) return table_update(reg, p, n);
  const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(reg)));
  if (n >= 64) {
    const __m128i k512 = _mm_set_epi64x(kFold512[1], kFold512[0]);
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
      x0 = fold(x0, k512, load(p));
      x1 = fold(x1, k512, load(p + 16));
      x2 = fold(x2, k512, load(p + 32));
      x3 = fold(x3, k512, load(p + 48));
      p += 64;
      n -= 64;
    }
    x1 = fold(x0, k128, x1);
    x2 = fold(x1, k128, x2);
    x0 = fold(x2, k128, x3);
  } else {
    p += 16;
    n -= 16;
  }
  while (n >= 16) {
    x0 = fold(x0, k128, load(p));
    p += 16;
    n -= 16;
  }
  if (n) x0 = fold_tail(x0, p + n, n);
  return reduce(x0);
}

// GCC 12's AVX-512 intrinsic headers trip -Wmaybe-uninitialized (and, once
// inlined into a function that also stores, -Wuninitialized) on their own
// placeholder operands; the warning is about the headers, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define TARN_AVX512 "avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1"

__attribute__((target(TARN_AVX512))) inline __m512i fold512(__m512i x, __m512i k, __m512i next) {
  __m512i lo = _mm512_clmulepi64_epi128(x, k, 0x00);
  __m512i hi = _mm512_clmulepi64_epi128(x, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

__attribute__((target(TARN_AVX512))) uint32_t avx512_update(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < 256) return clmul_update(reg, p, n);
  const __m512i k2048 = _mm512_broadcast_i32x4(_mm_set_epi64x(kFold2048[1], kFold2048[0]));
  const __m512i k512 = _mm512_broadcast_i32x4(_mm_set_epi64x(kFold512[1], kFold512[0]));
  __m512i x0 = _mm512_xor_si512(load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(reg))));
  __m512i x1 = load512(p + 64), x2 = load512(p + 128), x3 = load512(p + 192);
  p += 256;
  n -= 256;
  while (n >= 256) {
    x0 = fold512(x0, k2048, load512(p));
    x1 = fold512(x1, k2048, load512(p + 64));
    x2 = fold512(x2, k2048, load512(p + 128));
    x3 = fold512(x3, k2048, load512(p + 192));
    p += 256;
    n -= 256;
  }
  x1 = fold512(x0, k512, x1);
  x2 = fold512(x1, k512, x2);
  x0 = fold512(x2, k512, x3);
  while (n >= 64) {
    x0 = fold512(x0, k512, load512(p));
    p += 64;
    n -= 64;
  }
  // Fold the four 128-bit lanes onto the last one, each by its own distance.
  const __m128i k384 = _mm_set_epi64x(kFold384[1], kFold384[0]);
  const __m128i k256 = _mm_set_epi64x(kFold256[1], kFold256[0]);
  const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
  __m128i acc = _mm512_extracti32x4_epi32(x0, 3);
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 0), k384, _mm_setzero_si128()));
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 1), k256, _mm_setzero_si128()));
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 2), k128, _mm_setzero_si128()));
  while (n >= 16) {
    acc = fold(acc, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    n -= 16;
  }
  if (n) acc = fold_tail(acc, p + n, n);
  return reduce(acc);
}
// 64 bytes of `p` at `at`, stored to `out` at `at` too.
__attribute__((target(TARN_AVX512))) inline __m512i take512(const uint8_t* p, uint8_t* out, size_t at) {
  const __m512i v = load512(p + at);
  _mm512_storeu_si512(out + at, v);
  return v;
}

// avx512_update, storing each 256-byte block to `out` as it is loaded.
// REQUIRES: n >= 256.
__attribute__((target(TARN_AVX512))) uint32_t avx512_copy(uint32_t reg, const uint8_t* p, size_t n, uint8_t* out) {
  const __m512i k2048 = _mm512_broadcast_i32x4(_mm_set_epi64x(kFold2048[1], kFold2048[0]));
  const __m512i k512 = _mm512_broadcast_i32x4(_mm_set_epi64x(kFold512[1], kFold512[0]));
  __m512i x0 = _mm512_xor_si512(take512(p, out, 0), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(reg))));
  __m512i x1 = take512(p, out, 64), x2 = take512(p, out, 128), x3 = take512(p, out, 192);
  size_t at = 256;
  while (n - at >= 256) {
    x0 = fold512(x0, k2048, take512(p, out, at));
    x1 = fold512(x1, k2048, take512(p, out, at + 64));
    x2 = fold512(x2, k2048, take512(p, out, at + 128));
    x3 = fold512(x3, k2048, take512(p, out, at + 192));
    at += 256;
  }
  x1 = fold512(x0, k512, x1);
  x2 = fold512(x1, k512, x2);
  x0 = fold512(x2, k512, x3);
  while (n - at >= 64) {
    x0 = fold512(x0, k512, take512(p, out, at));
    at += 64;
  }
  // The lanes and the last bytes as avx512_update folds them; copied plainly.
  std::memcpy(out + at, p + at, n - at);
  const __m128i k384 = _mm_set_epi64x(kFold384[1], kFold384[0]);
  const __m128i k256 = _mm_set_epi64x(kFold256[1], kFold256[0]);
  const __m128i k128 = _mm_set_epi64x(kFold128[1], kFold128[0]);
  __m128i acc = _mm512_extracti32x4_epi32(x0, 3);
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 0), k384, _mm_setzero_si128()));
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 1), k256, _mm_setzero_si128()));
  acc = _mm_xor_si128(acc, fold(_mm512_extracti32x4_epi32(x0, 2), k128, _mm_setzero_si128()));
  p += at;
  n -= at;
  while (n >= 16) {
    acc = fold(acc, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    n -= 16;
  }
  if (n) acc = fold_tail(acc, p + n, n);
  return reduce(acc);
}
#pragma GCC diagnostic pop
#endif  // __x86_64__

using UpdateFn = uint32_t (*)(uint32_t, const uint8_t*, size_t);

struct Impl {
  UpdateFn fn;
  const char* name;
};

Impl select_impl() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq") &&
      __builtin_cpu_supports("pclmul")) {
    return {avx512_update, "vpclmulqdq-avx512"};
  }
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) return {clmul_update, "pclmulqdq"};
#endif
  return {table_update, "slicing-by-8"};
}

const Impl& impl() {
  static const Impl selected = select_impl();  // thread-safe one-time initialisation
  return selected;
}

}  // namespace

uint32_t crc32(std::span<const uint8_t> data, uint32_t crc) {
  return ~impl().fn(~crc, data.data(), data.size());
}

uint32_t crc32_copy(std::span<const uint8_t> data, uint8_t* out, uint32_t crc) {
  const uint8_t* p = data.data();
  size_t n = data.size();
#if defined(__x86_64__)
  if (impl().fn == avx512_update && n >= 256) return ~avx512_copy(~crc, p, n, out);
#endif
  // Elsewhere: a block at a time, checksummed while it is still in cache.
  constexpr size_t kBlock = 16 << 10;
  while (n) {
    const size_t m = n < kBlock ? n : kBlock;
    crc = crc32({p, m}, crc);
    std::memcpy(out, p, m);
    p += m;
    out += m;
    n -= m;
  }
  return crc;
}

namespace crc32_detail {
uint32_t portable(const uint8_t* p, size_t n, uint32_t crc) { return ~table_update(~crc, p, n); }
uint32_t clmul(const uint8_t* p, size_t n, uint32_t crc) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) return ~clmul_update(~crc, p, n);
#endif
  return portable(p, n, crc);
}
uint32_t clmul_avx512(const uint8_t* p, size_t n, uint32_t crc) {
#if defined(__x86_64__)
  if (impl().fn == avx512_update) return ~avx512_update(~crc, p, n);
#endif
  return clmul(p, n, crc);
}
const char* active() { return impl().name; }
}  // namespace crc32_detail

}  // namespace tarn
