#include "core/hash.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tarn {
namespace {

constexpr uint64_t kP0 = 0xa0761d6478bd642full;
constexpr uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

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

}  // namespace

// A multiply-fold hash: 16 bytes per step, short keys read with overlapping
// loads so that no byte-wise loop runs for the common key sizes.
uint64_t hash_bytes(const uint8_t* p, size_t n, uint64_t seed) {
  uint64_t a, b;
  seed ^= mix(seed ^ kP0, kP1 ^ n);
  if (n <= 16) {
    if (n >= 4) {
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

uint64_t random_seed() {
  uint64_t seed;
  for (;;) {
    ssize_t got = getrandom(&seed, sizeof seed, 0);
    if (got == static_cast<ssize_t>(sizeof seed)) return seed;
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  // No entropy source (a very old kernel): fall back to a clock and a counter,
  // which still differ per instance.
  static std::atomic<uint64_t> counter{0};
  return mix(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ kP0,
             counter.fetch_add(1) ^ kP2);
}

}  // namespace tarn
