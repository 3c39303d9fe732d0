// IEEE 754 totalOrder on float32 and binary64 as integer keys:
//   -NaN < -inf < negatives < -0.0 < +0.0 < positives < +inf < +NaN,
// and two values are equal only when their bit patterns are identical.
// The signed key reads the bits as a sign-magnitude integer; the unsigned key
// is the same order shifted into unsigned range, which radix sorts need.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>

#include "core/common/stop_token.hpp"

namespace marrowfin::codec {

[[nodiscard]] inline std::int32_t total_order_key(float value) noexcept {
  const auto bits = std::bit_cast<std::int32_t>(value);
  // Negative values order by decreasing magnitude: flip every bit but the sign.
  return bits < 0 ? (bits ^ 0x7fffffff) : bits;
}

[[nodiscard]] inline std::int64_t total_order_key(double value) noexcept {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits < 0 ? (bits ^ 0x7fffffffffffffffLL) : bits;
}

[[nodiscard]] inline std::uint32_t total_order_unsigned_key(float value) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  // Negative: flip everything (larger magnitude -> smaller key); positive: set the sign bit.
  const std::uint32_t mask = (bits >> 31) != 0 ? 0xffffffffu : 0x80000000u;
  return bits ^ mask;
}

// Inverse of total_order_unsigned_key for float32.
[[nodiscard]] inline float from_total_order_unsigned_key(std::uint32_t key) noexcept {
  const std::uint32_t mask = (key >> 31) != 0 ? 0x80000000u : 0xffffffffu;
  return std::bit_cast<float>(key ^ mask);
}

[[nodiscard]] inline bool total_order_less(float a, float b) noexcept {
  return total_order_key(a) < total_order_key(b);
}
[[nodiscard]] inline bool total_order_less(double a, double b) noexcept {
  return total_order_key(a) < total_order_key(b);
}

// Sorts unsigned keys ascending with an LSD radix sort (linear time). The
// sorted keys end up in either buffer, whichever the returned span views;
// the other buffer's contents are unspecified. scratch: at least keys.size().
// Polls `stop` every few million keys: nullopt (both buffers unspecified)
// once it is raised.
[[nodiscard]] std::optional<std::span<const std::uint32_t>> radix_sort_keys(
    std::span<std::uint32_t> keys, std::span<std::uint32_t> scratch,
    const StopToken& stop = StopToken::never());

// Keys handled between two looks at a StopToken in the training loops.
inline constexpr std::size_t kKeysPerStopCheck = std::size_t{1} << 22;

}  // namespace marrowfin::codec
