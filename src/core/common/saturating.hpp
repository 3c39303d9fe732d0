// Unsigned arithmetic that stops at the type's maximum instead of wrapping.
// Sizes in error messages and in size checks use it, so that a length of
// 2^32 + n never passes for n and an overflowing product never matches.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

namespace marrowfin {

inline std::uint32_t saturate_u32(std::uint64_t value) noexcept {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

inline std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max()
                                                : product;
}

}  // namespace marrowfin
