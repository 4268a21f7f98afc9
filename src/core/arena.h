// ChunkArena: append-only storage in large chunks whose addresses never move.
//
// Items are placed back to back in the current chunk; an item that does not
// fit closes the chunk and opens the next. A closed chunk's unused tail is
// never touched, so it costs address space but no resident memory. Reading the chunks in order yields every item in the order
// it was appended, which is how the writer lays its data section out.
// Not synchronised.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace tarn {

class ChunkArena {
 public:
  explicit ChunkArena(size_t first_chunk = 64 << 10, size_t max_chunk = 8 << 20)
      : next_cap_(first_chunk), max_chunk_(max_chunk) {}
  ChunkArena(ChunkArena&& o) noexcept
      : chunks_(std::move(o.chunks_)), next_cap_(o.next_cap_), max_chunk_(o.max_chunk_) {
    o.chunks_.clear();
  }
  ChunkArena(const ChunkArena&) = delete;
  ChunkArena& operator=(const ChunkArena&) = delete;
  ChunkArena& operator=(ChunkArena&&) = delete;
  ~ChunkArena() {
    for (Chunk& c : chunks_) std::free(c.data);
  }

  // n contiguous bytes, uninitialised. Throws std::bad_alloc and then leaves
  // the arena unchanged.
  uint8_t* alloc(size_t n) {
    if (!chunks_.empty() && chunks_.back().cap - chunks_.back().size >= n) {
      Chunk& c = chunks_.back();
      uint8_t* p = c.data + c.size;
      c.size += n;
      return p;
    }
    size_t cap = next_cap_;
    if (n > cap) cap = n;
    chunks_.reserve(chunks_.size() + 1);
    auto* data = static_cast<uint8_t*>(std::malloc(cap ? cap : 1));
    if (!data) throw std::bad_alloc();
    chunks_.push_back({data, n, cap});
    if (next_cap_ < max_chunk_) next_cap_ *= 2;
    return data;
  }

  // The used part of each chunk, in order.
  template <class F>
  void for_each_chunk(F&& f) const {
    for (const Chunk& c : chunks_)
      if (c.size) f(std::span<const uint8_t>(c.data, c.size));
  }

 private:
  struct Chunk {
    uint8_t* data;
    size_t size;
    size_t cap;
  };

  std::vector<Chunk> chunks_;
  size_t next_cap_;
  size_t max_chunk_;
};

}  // namespace tarn
