#include "core/codec/codec_config.hpp"

#include "core/codec/sha256.hpp"

namespace marrowfin::codec {

Result<CodecConfig, CodecError> CodecConfig::create(std::uint8_t bit_width, std::uint64_t seed,
                                                    std::uint32_t dimension,
                                                    bool residual_enabled) {
  if (!is_supported_bit_width(bit_width)) {
    return fail(CodecError::unsupported_bit_width(bit_width));
  }
  if (dimension == 0) return fail(CodecError::invalid_dimension(0));
  if (dimension > MAX_DIMENSION)
    return fail(CodecError::dimension_too_large(MAX_DIMENSION, dimension));
  CodecConfig config(bit_width, seed, dimension, residual_enabled);
  config.config_hash_ = share_text(sha256_hex(config.canonical_text()));
  return config;
}

std::string CodecConfig::canonical_text() const {
  return "CodecConfig(bit_width=" + std::to_string(bit_width_) + ",seed=" + std::to_string(seed_) +
         ",dimension=" + std::to_string(dimension_) +
         ",residual_enabled=" + (residual_enabled_ ? "True" : "False") + ")";
}

}  // namespace marrowfin::codec
