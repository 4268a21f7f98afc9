// UTF-8 checks and the lossy decoding used to show key bytes as text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarn {

// True iff `s` is well-formed UTF-8 (no surrogates, no overlongs, <= U+10FFFF).
bool utf8_valid(std::span<const uint8_t> s);

// `s` with each maximal ill-formed subsequence replaced by one U+FFFD, the
// Unicode standard's recommended practice; well-formed input comes back as is.
std::string utf8_lossy(std::span<const uint8_t> s);

}  // namespace tarn
