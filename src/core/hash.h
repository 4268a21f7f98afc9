// Seeded hashing of key bytes, and the per-instance seed.
//
// The hash is never stored in a file: only the in-memory tables of one writer
// or one reader use it, each under a seed of its own drawn from the operating
// system's entropy source, so that no input can be crafted in advance to
// collide. Pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

uint64_t hash_bytes(const uint8_t* p, size_t n, uint64_t seed);

// 64 random bits from the operating system (getrandom), for one table.
uint64_t random_seed();

}  // namespace tarn
