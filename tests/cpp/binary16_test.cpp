#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "core/codec/binary16.hpp"

namespace marrowfin::codec {
namespace {

bool half_is_nan(std::uint16_t bits) { return (bits & 0x7c00u) == 0x7c00u && (bits & 0x3ffu) != 0; }

// The value of a binary16 pattern, assembled arithmetically in binary64.
double half_value(std::uint16_t bits) {
  const int exponent = (bits >> 10) & 0x1f;
  const int mantissa = bits & 0x3ff;
  const double sign = (bits & 0x8000u) ? -1.0 : 1.0;
  if (exponent == 0x1f) return mantissa ? NAN : sign * INFINITY;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  return sign * std::ldexp(1024 + mantissa, exponent - 25);
}

// float32 -> binary16 by scaling to the binary16 quantum in binary64 and
// rounding with nearbyint (ties to even in the default rounding mode).
std::uint16_t reference_narrow(float value) {
  const std::uint16_t sign = std::signbit(value) ? 0x8000u : 0u;
  const double magnitude = std::fabs(static_cast<double>(value));
  if (magnitude >= 65520.0) return sign | 0x7c00u;
  const int scale = magnitude < 0x1p-14 ? -24 : std::ilogb(magnitude) - 10;
  const double units = std::nearbyint(std::ldexp(magnitude, -scale));  // exact scaling
  const double rounded = std::ldexp(units, scale);
  if (rounded < 0x1p-14)
    return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(units));
  const int exponent = std::ilogb(rounded);
  const auto mantissa = static_cast<std::uint16_t>(std::ldexp(rounded, 10 - exponent) - 1024.0);
  return static_cast<std::uint16_t>(sign | ((exponent + 15) << 10) | mantissa);
}

void expect_narrows_like_reference(float value) {
  const std::uint16_t got = float_to_half(value);
  if (std::isnan(value)) {
    EXPECT_TRUE(half_is_nan(got)) << std::hex << std::bit_cast<std::uint32_t>(value);
    EXPECT_EQ(got & 0x8000u, std::signbit(value) ? 0x8000u : 0u);
  } else {
    EXPECT_EQ(got, reference_narrow(value)) << std::hexfloat << value;
  }
}

TEST(Binary16, EveryPatternWidensExactlyAndNarrowsBack) {
  for (std::uint32_t bits = 0; bits <= 0xffff; ++bits) {
    const auto half = static_cast<std::uint16_t>(bits);
    const float wide = half_to_float(half);
    if (half_is_nan(half)) {
      ASSERT_TRUE(std::isnan(wide)) << bits;
      ASSERT_TRUE(half_is_nan(float_to_half(wide))) << bits;
      continue;
    }
    ASSERT_EQ(static_cast<double>(wide), half_value(half)) << bits;
    ASSERT_EQ(std::signbit(wide), (bits & 0x8000u) != 0) << bits;
    ASSERT_EQ(float_to_half(wide), half) << bits;
  }
}

TEST(Binary16, NarrowingRoundsLikeTheReference) {
  // Every tie between adjacent finite binary16 values and one float32 step either side...
  for (std::uint16_t bits = 0; bits < 0x7bff; ++bits) {
    const float mid = static_cast<float>((half_value(bits) + half_value(bits + 1)) / 2);
    for (float value : {mid, std::nextafter(mid, 0.0f), std::nextafter(mid, INFINITY)}) {
      expect_narrows_like_reference(value);
      expect_narrows_like_reference(-value);
    }
  }
  // ...and random patterns, half of them with exponents near the binary16 range.
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::uint32_t> near_exponent(95, 145);
  for (int i = 0; i < 1'000'000; ++i) {
    std::uint32_t bits = static_cast<std::uint32_t>(rng());
    if (i % 2 == 0) bits = (bits & 0x807fffffu) | (near_exponent(rng) << 23);
    expect_narrows_like_reference(std::bit_cast<float>(bits));
  }
}

}  // namespace
}  // namespace marrowfin::codec
