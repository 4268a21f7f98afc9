// MappedFile: a read-only, shared mapping of a whole file, unmapped on
// destruction. Move-only. The bytes never change through this mapping, so
// any number of threads may read them at once.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tarn {

class MappedFile {
 public:
  MappedFile() = default;
  // Adopts a mapping of `map_len` bytes at `addr` over a file of `size` bytes.
  MappedFile(void* addr, size_t map_len, size_t size) : addr_(addr), map_len_(map_len), size_(size) {}
  MappedFile(MappedFile&& o) noexcept { swap(o); }
  MappedFile& operator=(MappedFile&& o) noexcept {
    swap(o);
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (addr_) ::munmap(addr_, map_len_);
  }

  // The file's bytes: its length is the file size (the mapping of an empty
  // file is one byte long, none of which belongs to the file).
  std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(addr_), size_}; }

 private:
  void swap(MappedFile& o) noexcept {
    std::swap(addr_, o.addr_);
    std::swap(map_len_, o.map_len_);
    std::swap(size_, o.size_);
  }

  void* addr_ = nullptr;
  size_t map_len_ = 0;
  size_t size_ = 0;
};

}  // namespace tarn
