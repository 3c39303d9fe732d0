// IEEE 754 binary16 conversion: float32 -> binary16 rounds to nearest, ties to
// even (subnormals kept, overflow to infinity of the same sign, NaN stays NaN);
// binary16 -> float32 widens exactly.
#pragma once

#include <cstdint>

namespace marrowfin::codec {

[[nodiscard]] std::uint16_t float_to_half(float value) noexcept;
[[nodiscard]] float half_to_float(std::uint16_t bits) noexcept;

}  // namespace marrowfin::codec
