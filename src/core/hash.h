// Seeded hashing of key bytes, and the per-instance seed.
//
// The hash is never stored in a file: only the in-memory tables of one writer
// or one reader use it, each under a seed of its own drawn from the operating
// system's entropy source, so that no input can be crafted in advance to
// collide. Pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarn {
namespace hash_detail {

inline constexpr uint64_t kP0 = 0xa0761d6478bd642full;
inline constexpr uint64_t kP1 = 0xe7037ed1a0b428dbull;
inline constexpr uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}
inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint64_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace hash_detail

// A multiply-fold hash: 16 bytes per step, short keys read with overlapping
// loads so that no byte-wise loop runs for the common key sizes.
inline uint64_t hash_bytes(const uint8_t* p, size_t n, uint64_t seed) {
  using namespace hash_detail;
  uint64_t a, b;
  seed ^= mix(seed ^ kP0, kP1 ^ n);
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = (load32(p) << 32) | load32(p + ((n >> 3) << 2));
      b = (load32(p + n - 4) << 32) | load32(p + n - 4 - ((n >> 3) << 2));
    } else if (n > 0) {
      a = (uint64_t(p[0]) << 16) | (uint64_t(p[n >> 1]) << 8) | p[n - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    size_t i = n;
    while (i > 16) {
      seed = mix(load64(p) ^ kP1, load64(p + 8) ^ seed);
      p += 16;
      i -= 16;
    }
    a = load64(p + i - 16);
    b = load64(p + i - 8);
  }
  return mix(kP1 ^ n, mix(a ^ kP1, b ^ seed) ^ kP2);
}

// 64 random bits from the operating system (getrandom), for one table.
uint64_t random_seed();

}  // namespace tarn
