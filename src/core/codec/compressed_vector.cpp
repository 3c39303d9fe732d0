#include "core/codec/compressed_vector.hpp"

#include "core/codec/codec_config.hpp"
#include "core/common/saturating.hpp"

namespace marrowfin::codec {

Result<CompressedVector, CodecError> CompressedVector::create(SharedBytes indices,
                                                              std::optional<SharedBytes> residual,
                                                              SharedText config_hash,
                                                              std::uint32_t dimension,
                                                              std::uint8_t bit_width) {
  if (!is_supported_bit_width(bit_width)) {
    return fail(CodecError::unsupported_bit_width(bit_width));
  }
  const std::uint64_t count = indices->size();
  if (count != dimension) {
    return fail(CodecError::dimension_mismatch(dimension, saturate_u32(count)));
  }
  if (residual && (*residual)->size() != 2 * count) {
    return fail(CodecError::length_mismatch((*residual)->size(), 2 * count));
  }
  return CompressedVector(std::move(indices), std::move(residual), std::move(config_hash),
                          dimension, bit_width);
}

std::uint64_t CompressedVector::size_bytes() const noexcept {
  const std::uint64_t packed = (std::uint64_t{dimension_} * bit_width_ + 7) / 8;
  return packed + (residual_ ? (*residual_)->size() : 0);
}

}  // namespace marrowfin::codec
