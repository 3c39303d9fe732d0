#include "io/compressed_vector/utf8.hpp"

#include <cstddef>

namespace marrowfin::io {

bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The lead byte fixes the length and the allowed range of the first
    // continuation byte; narrowing that range is what excludes overlong
    // forms (E0, F0), surrogates (ED) and code points past U+10FFFF (F4).
    std::size_t length;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead == 0xe0) {
      length = 3;
      low = 0xa0;
    } else if (lead == 0xed) {
      length = 3;
      high = 0x9f;
    } else if (lead >= 0xe1 && lead <= 0xef) {
      length = 3;
    } else if (lead == 0xf0) {
      length = 4;
      low = 0x90;
    } else if (lead == 0xf4) {
      length = 4;
      high = 0x8f;
    } else if (lead >= 0xf1 && lead <= 0xf3) {
      length = 4;
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (n - i < length) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace marrowfin::io
