// Shard routing: which of the shards of a sharded store holds a key.
//
// The routing is part of a sharded store's on-disk contract (its manifest
// names it "fnv1a64-fmix64"), so it must give the same answer in every
// process, on every machine and in every version: it is fixed here, unseeded,
// over the key's bytes alone (a text key's UTF-8 form).
//
//   h = FNV-1a 64 over the key bytes (offset basis 0xcbf29ce484222325,
//       prime 0x100000001b3)
//   h = fmix64(h): h ^= h >> 33; h *= 0xff51afd7ed558ccd; h ^= h >> 33;
//                  h *= 0xc4ceb9fe1a85ec53; h ^= h >> 33
//   shard = h mod n
//
// Pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarn {

inline constexpr const char* kRouteName = "fnv1a64-fmix64";

inline uint64_t route_hash(std::span<const uint8_t> key) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : key) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

// The shard of `key` among `n` shards. REQUIRES: n > 0.
inline uint32_t shard_of(std::span<const uint8_t> key, uint32_t n) { return uint32_t(route_hash(key) % n); }

}  // namespace tarn
