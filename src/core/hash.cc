#include "core/hash.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace tarn {
using hash_detail::kP0;
using hash_detail::kP2;
using hash_detail::mix;

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
