#include "core/codec/binary16.hpp"

#include <bit>

namespace marrowfin::codec {

std::uint16_t float_to_half(float value) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t magnitude = bits & 0x7fffffffu;

  if (magnitude > 0x7f800000u) {  // NaN: keep the top payload bits, force it quiet
    return static_cast<std::uint16_t>(sign | 0x7e00u | ((magnitude & 0x7fffffu) >> 13));
  }
  if (magnitude >= 0x477ff000u) return sign | 0x7c00u;  // >= 65520 rounds to infinity
  if (magnitude >= 0x38800000u) {                       // binary16 normal range, >= 2^-14
    // Re-bias the exponent (127 -> 15) and round the 23-bit mantissa to 10 bits;
    // a carry out of the mantissa correctly bumps the exponent.
    std::uint32_t rebased = magnitude - (112u << 23);
    rebased += 0xfffu + ((rebased >> 13) & 1u);
    return static_cast<std::uint16_t>(sign | (rebased >> 13));
  }
  if (magnitude < 0x33000000u) return sign;  // below 2^-25: rounds to a signed zero
  // Subnormal result: value = mantissa * 2^(exponent - 150), in units of 2^-24.
  const std::uint32_t exponent = magnitude >> 23;
  const std::uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
  const std::uint32_t shift = 126u - exponent;  // 14..24
  std::uint32_t half = mantissa >> shift;
  const std::uint32_t remainder = mantissa & ((1u << shift) - 1u);
  const std::uint32_t halfway = 1u << (shift - 1u);
  if (remainder > halfway || (remainder == halfway && (half & 1u))) ++half;
  return static_cast<std::uint16_t>(sign | half);
}

float half_to_float(std::uint16_t bits) noexcept {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1fu;
  std::uint32_t mantissa = bits & 0x3ffu;
  if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  if (exponent != 0)
    return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
  if (mantissa == 0) return std::bit_cast<float>(sign);
  // Subnormal: normalise into a float32 normal number.
  std::uint32_t e = 113;
  while ((mantissa & 0x400u) == 0) {
    mantissa <<= 1;
    --e;
  }
  return std::bit_cast<float>(sign | (e << 23) | ((mantissa & 0x3ffu) << 13));
}

}  // namespace marrowfin::codec
