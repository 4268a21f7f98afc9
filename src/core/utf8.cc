#include "core/utf8.h"

#include <cstring>

namespace tarn {
namespace {

// The length of the well-formed sequence at s[i], or 0 with `*bad` set to the
// length of the maximal ill-formed subsequence there (at least 1).
size_t sequence_at(const uint8_t* s, size_t n, size_t i, size_t* bad) {
  const uint8_t b0 = s[i];
  if (b0 < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k < need; ++k) {
    if (i + k >= n) break;
    const uint8_t b = s[i + k];
    const uint8_t l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  if (k == need) return need;
  *bad = k;
  return 0;
}

}  // namespace

bool utf8_valid(std::span<const uint8_t> str) {
  const uint8_t* s = str.data();
  const size_t n = str.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time.
    if (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    size_t bad;
    size_t len = sequence_at(s, n, i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string utf8_lossy(std::span<const uint8_t> str) {
  const uint8_t* s = str.data();
  const size_t n = str.size();
  std::string out;
  out.reserve(n + 8);
  size_t i = 0;
  while (i < n) {
    size_t bad;
    size_t len = sequence_at(s, n, i, &bad);
    if (len) {
      out.append(reinterpret_cast<const char*>(s + i), len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

}  // namespace tarn
