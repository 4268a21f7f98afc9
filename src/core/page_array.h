// PageArray<T>: a fixed-length, zero-filled array of a trivial type, placed
// where the processor's page walks are cheapest.
//
// The reader's index (its hash slots, key arena and entry starts) and the
// writer's hash slots are read at random, one cache line per probe: with
// 4 KiB pages nearly every probe of a large table also misses the TLB. An
// array of a few MiB or more therefore gets memory of its own, aligned to
// 2 MiB and offered to the kernel for transparent huge pages, which also cuts
// the page faults of filling it by a factor of 512. Only the whole huge pages
// inside the array are offered, so the memory charged never exceeds the
// array's own length rounded to a small page. Smaller arrays come from
// calloc. Either way the elements start out zero.
//
// Allocation failure throws std::bad_alloc, like new.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace tarn {

namespace page_array_detail {

inline constexpr size_t kHugePage = size_t(2) << 20;
inline constexpr size_t kSmallPage = 4096;
// Below this many bytes an array is not worth a mapping of its own.
inline constexpr size_t kMapThreshold = kHugePage;

// Zeroed memory for `bytes` bytes (bytes > 0); `mapped` tells how to free it.
inline void* allocate(size_t bytes, bool* mapped) {
  if (bytes < kMapThreshold) {
    *mapped = false;
    void* p = std::calloc(1, bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  const size_t len = (bytes + kSmallPage - 1) & ~(kSmallPage - 1);
  if (len < bytes) throw std::bad_alloc();
  // Over-reserve by one huge page, then cut away the unaligned head and the
  // unused tail, so the array starts on a huge-page boundary.
  const size_t reserve = len + kHugePage;
  if (reserve < len) throw std::bad_alloc();
  void* raw = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (begin + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > begin) ::munmap(raw, aligned - begin);
  const uintptr_t end = begin + reserve;
  if (end > aligned + len) ::munmap(reinterpret_cast<void*>(aligned + len), end - (aligned + len));
  const size_t huge = len & ~(kHugePage - 1);
#ifdef MADV_HUGEPAGE
  // Advice only: where huge pages are off or unavailable, small pages serve.
  if (huge) (void)::madvise(reinterpret_cast<void*>(aligned), huge, MADV_HUGEPAGE);
#endif
  *mapped = true;
  return reinterpret_cast<void*>(aligned);
}

inline void release(void* p, size_t bytes, bool mapped) {
  if (!p) return;
  if (mapped) {
    ::munmap(p, (bytes + kSmallPage - 1) & ~(kSmallPage - 1));
  } else {
    std::free(p);
  }
}

}  // namespace page_array_detail

template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  PageArray() = default;
  explicit PageArray(size_t n) : size_(n) {
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(page_array_detail::allocate(n * sizeof(T), &mapped_));
  }
  PageArray(PageArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), mapped_(o.mapped_) {}
  PageArray& operator=(PageArray&& o) noexcept {
    if (this != &o) {
      page_array_detail::release(data_, size_ * sizeof(T), mapped_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      mapped_ = o.mapped_;
    }
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;
  ~PageArray() { page_array_detail::release(data_, size_ * sizeof(T), mapped_); }

  void swap(PageArray& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(mapped_, o.mapped_);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace tarn
