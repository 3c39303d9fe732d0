// The immutable value that fixes every codec parameter, with its SHA-256
// config hash computed once at construction and shared by every copy.
#pragma once

#include <cstdint>
#include <string>

#include "core/codec/codec_error.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::codec {

inline constexpr std::uint32_t MAX_DIMENSION = 16384;

// The bit widths a configuration, a record and the binary format accept.
inline constexpr bool is_supported_bit_width(std::uint8_t bit_width) noexcept {
  return bit_width == 2 || bit_width == 4 || bit_width == 8;
}

class CodecConfig {
 public:
  // Checks, in order: bit width in {2, 4, 8}, dimension > 0, dimension <= MAX_DIMENSION.
  static Result<CodecConfig, CodecError> create(std::uint8_t bit_width, std::uint64_t seed,
                                                std::uint32_t dimension, bool residual_enabled);

  std::uint8_t bit_width() const noexcept { return bit_width_; }
  std::uint64_t seed() const noexcept { return seed_; }
  std::uint32_t dimension() const noexcept { return dimension_; }
  bool residual_enabled() const noexcept { return residual_enabled_; }
  std::uint32_t num_codebook_entries() const noexcept { return 1u << bit_width_; }
  const SharedText& config_hash() const noexcept { return config_hash_; }

  // "CodecConfig(bit_width=4,seed=42,dimension=768,residual_enabled=True)": the hashed text.
  std::string canonical_text() const;

 private:
  CodecConfig(std::uint8_t bit_width, std::uint64_t seed, std::uint32_t dimension,
              bool residual_enabled)
      : bit_width_(bit_width),
        seed_(seed),
        dimension_(dimension),
        residual_enabled_(residual_enabled) {}

  std::uint8_t bit_width_;
  std::uint64_t seed_;
  std::uint32_t dimension_;
  bool residual_enabled_;
  SharedText config_hash_;
};

}  // namespace marrowfin::codec
