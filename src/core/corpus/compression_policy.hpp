// How a corpus stores each vector: compressed by the codec, as raw float32,
// or as binary16. Stored and compared as its ordinal.
#pragma once

#include <cstdint>
#include <string_view>

namespace marrowfin::corpus {

enum class CompressionPolicy : std::uint8_t {
  COMPRESS = 0,     // the codec's CompressedVector (indices + optional residual)
  PASSTHROUGH = 1,  // 4 bytes per coordinate: the float32 bit pattern, little-endian
  FP16 = 2,         // 2 bytes per coordinate: the binary16 rounding, little-endian
};

inline constexpr std::uint8_t ordinal(CompressionPolicy policy) noexcept {
  return static_cast<std::uint8_t>(policy);
}

// "compress", "passthrough", "fp16".
[[nodiscard]] std::string_view policy_value(CompressionPolicy policy) noexcept;
// "COMPRESS", "PASSTHROUGH", "FP16".
[[nodiscard]] std::string_view policy_name(CompressionPolicy policy) noexcept;
// True only for COMPRESS: the only policy that uses the codebook and rotation.
[[nodiscard]] bool requires_codec(CompressionPolicy policy) noexcept;

}  // namespace marrowfin::corpus
