#include "core/codec/service.hpp"

#include <utility>

#include "core/codec/quantize_kernels.hpp"
#include "core/codec/record_codec.hpp"
#include "core/common/saturating.hpp"

namespace marrowfin::codec {

Result<CompressedVector, CodecError> encode_rotated(std::span<const float> rotated,
                                                    const CodecConfig& config,
                                                    const Codebook& codebook) {
  const std::size_t n = rotated.size();
  std::vector<std::uint8_t> indices(n);
  std::optional<SharedBytes> residual;
  if (config.residual_enabled()) {
    std::vector<std::uint8_t> bytes(2 * n);
    quantize_values(codebook.entries(), rotated, indices.data(), bytes.data());
    residual = share_bytes(std::move(bytes));
  } else {
    quantize_values(codebook.entries(), rotated, indices.data(), nullptr);
  }
  return CompressedVector::create(share_bytes(std::move(indices)), std::move(residual),
                                  config.config_hash(), config.dimension(), config.bit_width());
}

Status<CodecError> check_record(const CompressedVector& compressed, const CodecConfig& config,
                                const Codebook& codebook, std::size_t out_size) {
  const std::string& expected_hash = *config.config_hash();
  const std::string& got_hash = *compressed.config_hash();
  if (expected_hash != got_hash) {
    return fail(CodecError::config_mismatch(config.config_hash(), compressed.config_hash()));
  }
  if (compressed.bit_width() != config.bit_width()) {
    return fail(CodecError::codebook_incompatible(config.bit_width(), compressed.bit_width()));
  }
  if (codebook.bit_width() != compressed.bit_width()) {
    return fail(CodecError::codebook_incompatible(compressed.bit_width(), codebook.bit_width()));
  }
  if (config.dimension() != out_size) {
    return fail(CodecError::dimension_mismatch(config.dimension(), saturate_u32(out_size)));
  }
  const std::size_t index_count = compressed.indices()->size();
  if (index_count != out_size) return fail(CodecError::length_mismatch(index_count, out_size));
  return {};
}

Status<CodecError> decode_unrotated(const CompressedVector& compressed, const Codebook& codebook,
                                    float* out) {
  const auto& residual = compressed.residual();
  return dequantize_values(codebook.entries(), *compressed.indices(),
                           residual ? residual->get() : nullptr, out);
}

Result<CompressedVector, CodecError> Codec::compress(std::span<const float> vector,
                                                     const CodecConfig& config,
                                                     const Codebook& codebook) {
  if (vector.size() != config.dimension()) {
    return fail(CodecError::dimension_mismatch(config.dimension(), saturate_u32(vector.size())));
  }
  if (codebook.bit_width() != config.bit_width()) {
    return fail(CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
  }
  return compress_with_rotation(vector, config, codebook,
                                rotation::RotationMatrix::from_config(config));
}

Result<CompressedVector, CodecError> Codec::compress_with_rotation(
    std::span<const float> vector, const CodecConfig& config, const Codebook& codebook,
    const rotation::RotationMatrix& rotation) {
  const std::uint32_t n = config.dimension();
  if (rotation.dimension() != n || vector.size() != n) {
    return fail(CodecError::length_mismatch(vector.size(), n));
  }
  std::vector<float> rotated(n);
  if (auto status = rotation.apply(vector, rotated); !status.ok())
    return fail(std::move(status).error());
  return encode_rotated(rotated, config, codebook);
}

Status<CodecError> Codec::decompress_into(const CompressedVector& compressed,
                                          const CodecConfig& config, const Codebook& codebook,
                                          std::span<float> out) {
  if (auto status = check_record(compressed, config, codebook, out.size()); !status.ok()) {
    return status;
  }
  // The lookup fails only on the record's own content, so it runs before the
  // rotation is fetched: a bad record then costs no matrix.
  std::vector<float> unrotated(out.size());
  if (auto status = decode_unrotated(compressed, codebook, unrotated.data()); !status.ok()) {
    return status;
  }
  return rotation::RotationMatrix::from_config(config).apply_inverse(unrotated, out);
}

Result<std::vector<float>, CodecError> Codec::decompress(const CompressedVector& compressed,
                                                         const CodecConfig& config,
                                                         const Codebook& codebook) {
  std::vector<float> out(config.dimension(), 0.0f);
  if (auto status = decompress_into(compressed, config, codebook, out); !status.ok()) {
    return fail(std::move(status).error());
  }
  return out;
}

}  // namespace marrowfin::codec
