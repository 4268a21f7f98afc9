// CRC-32 (ISO-HDLC / IEEE 802.3: reflected polynomial 0xEDB88320, initial
// value and final XOR all ones), the values zlib's crc32 gives.
//
// The fastest implementation the CPU offers is chosen once, at first use:
// carry-less-multiply folding on x86-64 CPUs with PCLMULQDQ (512-bit lanes
// with VPCLMULQDQ and AVX-512), a slicing-by-8 table otherwise. All are
// thread-safe and give identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarn {

// CRC-32 of `data` continued from `crc` (0 for a fresh run), so that
// crc32(b, crc32(a)) == crc32(a ++ b).
uint32_t crc32(std::span<const uint8_t> data, uint32_t crc = 0);

// CRC-32 of `data` continued from `crc`, as crc32() gives it, while `data`
// is copied to `out` (data.size() writable bytes that do not overlap it) in
// the same pass: each block is read once, so that checking a payload as it
// is copied out costs little more than the copy.
uint32_t crc32_copy(std::span<const uint8_t> data, uint8_t* out, uint32_t crc = 0);

// A running CRC-32 fed several spans in turn.
class Crc32 {
 public:
  Crc32() = default;
  // Continues a run whose value so far is `crc`.
  explicit Crc32(uint32_t crc) : crc_(crc) {}
  void update(std::span<const uint8_t> data) { crc_ = crc32(data, crc_); }
  uint32_t value() const { return crc_; }

 private:
  uint32_t crc_ = 0;
};

namespace crc32_detail {
// Each implementation on its own, for the tests and the benchmarks.
// Arguments and results as crc32(); an unavailable one returns the portable result.
uint32_t portable(const uint8_t* p, size_t n, uint32_t crc);
uint32_t clmul(const uint8_t* p, size_t n, uint32_t crc);
uint32_t clmul_avx512(const uint8_t* p, size_t n, uint32_t crc);
// The name of the implementation crc32() uses on this CPU.
const char* active();
}  // namespace crc32_detail

}  // namespace tarn
