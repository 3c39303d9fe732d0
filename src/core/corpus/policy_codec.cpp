#include "core/corpus/policy_codec.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "core/codec/binary16.hpp"
#include "core/codec/service.hpp"
#include "core/common/endian.hpp"

namespace marrowfin::corpus {
namespace {

using codec::CodecError;
using codec::CompressedVector;

// Raw payloads reuse the record shape with one 8-bit "index" per payload byte,
// which always satisfies the record's construction checks.
CompressedVector raw_record(std::vector<std::uint8_t> payload, const codec::CodecConfig& config) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  auto record = CompressedVector::create(share_bytes(std::move(payload)), std::nullopt,
                                         config.config_hash(), length, 8);
  if (!record.ok())
    throw std::logic_error("raw payload record rejected: " + record.error().message());
  return std::move(record).value();
}

CompressedVector encode_passthrough(std::span<const float> vector,
                                    const codec::CodecConfig& config) {
  std::vector<std::uint8_t> payload(4 * vector.size());
  for (std::size_t i = 0; i < vector.size(); ++i) {
    store_le(payload.data() + 4 * i, std::bit_cast<std::uint32_t>(vector[i]));
  }
  return raw_record(std::move(payload), config);
}

CompressedVector encode_fp16(std::span<const float> vector, const codec::CodecConfig& config) {
  std::vector<std::uint8_t> payload(2 * vector.size());
  for (std::size_t i = 0; i < vector.size(); ++i) {
    store_le(payload.data() + 2 * i, codec::float_to_half(vector[i]));
  }
  return raw_record(std::move(payload), config);
}

std::vector<float> decode_passthrough(const std::vector<std::uint8_t>& payload) {
  std::vector<float> out(payload.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = std::bit_cast<float>(load_le<std::uint32_t>(payload.data() + 4 * i));
  }
  return out;
}

std::vector<float> decode_fp16(const std::vector<std::uint8_t>& payload) {
  std::vector<float> out(payload.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = codec::half_to_float(load_le<std::uint16_t>(payload.data() + 2 * i));
  }
  return out;
}

}  // namespace

Result<CompressedVector, CodecError> encode_vector(
    std::span<const float> vector, CompressionPolicy policy, const codec::CodecConfig& config,
    const codec::Codebook& codebook, std::optional<rotation::RotationMatrix>& rotation) {
  switch (policy) {
    case CompressionPolicy::COMPRESS:
      // Checked here rather than at corpus creation: a corpus with an
      // unfitting codebook is valid until it first needs the codec.
      if (codebook.bit_width() != config.bit_width()) {
        return fail(CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
      }
      if (!rotation) rotation.emplace(rotation::RotationMatrix::from_config(config));
      return codec::Codec::compress_with_rotation(vector, config, codebook, *rotation);
    case CompressionPolicy::PASSTHROUGH:
    case CompressionPolicy::FP16:
      // Callers check the length first; this keeps a misuse from building a
      // record whose byte count no longer fits its 32-bit dimension.
      if (vector.size() != config.dimension()) {
        return fail(CodecError::length_mismatch(vector.size(), config.dimension()));
      }
      if (policy == CompressionPolicy::PASSTHROUGH) return encode_passthrough(vector, config);
      return encode_fp16(vector, config);
  }
  throw std::logic_error("unknown compression policy");
}

Result<std::vector<float>, CodecError> decode_entry(const VectorEntry& entry,
                                                    CompressionPolicy policy,
                                                    const codec::CodecConfig& config,
                                                    const codec::Codebook& codebook) {
  const std::vector<std::uint8_t>& payload = *entry.compressed().indices();
  const std::uint64_t length = payload.size();
  switch (policy) {
    case CompressionPolicy::COMPRESS:
      return codec::Codec::decompress(entry.compressed(), config, codebook);
    case CompressionPolicy::PASSTHROUGH:
      if (length % 4 != 0) return fail(CodecError::length_mismatch(length, length - length % 4));
      return decode_passthrough(payload);
    case CompressionPolicy::FP16:
      if (length % 2 != 0) return fail(CodecError::length_mismatch(length, length - 1));
      return decode_fp16(payload);
  }
  throw std::logic_error("unknown compression policy");
}

RowLayout row_layout(CompressionPolicy policy, const codec::CodecConfig& config) noexcept {
  const std::size_t d = config.dimension();
  switch (policy) {
    case CompressionPolicy::COMPRESS:
      return {(d * config.bit_width() + 7) / 8, config.residual_enabled() ? 2 * d : 0};
    case CompressionPolicy::PASSTHROUGH: return {4 * d, 0};
    case CompressionPolicy::FP16: return {2 * d, 0};
  }
  return {0, 0};
}

void store_record(const CompressedVector& record, CompressionPolicy policy, std::uint8_t* codes,
                  std::uint8_t* residual) noexcept {
  const std::vector<std::uint8_t>& indices = *record.indices();
  if (policy != CompressionPolicy::COMPRESS || record.bit_width() == 8) {
    std::memcpy(codes, indices.data(), indices.size());
  } else {
    const unsigned bits = record.bit_width();
    const unsigned per_byte = 8 / bits;
    const std::size_t bytes = (indices.size() * bits + 7) / 8;
    std::memset(codes, 0, bytes);
    for (std::size_t i = 0; i < indices.size(); ++i) {
      codes[i / per_byte] |= static_cast<std::uint8_t>(indices[i] << ((i % per_byte) * bits));
    }
  }
  if (residual != nullptr && record.residual()) {
    std::memcpy(residual, (*record.residual())->data(), (*record.residual())->size());
  }
}

CompressedVector load_record(const std::uint8_t* codes, const std::uint8_t* residual,
                             CompressionPolicy policy, const codec::CodecConfig& config) {
  const RowLayout layout = row_layout(policy, config);
  if (policy != CompressionPolicy::COMPRESS) {
    return raw_record(std::vector<std::uint8_t>(codes, codes + layout.code_bytes), config);
  }
  const std::uint32_t d = config.dimension();
  const unsigned bits = config.bit_width();
  std::vector<std::uint8_t> indices(d);
  if (bits == 8) {
    std::memcpy(indices.data(), codes, d);
  } else {
    const unsigned per_byte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    for (std::size_t i = 0; i < d; ++i) {
      indices[i] =
          static_cast<std::uint8_t>((codes[i / per_byte] >> ((i % per_byte) * bits)) & mask);
    }
  }
  std::optional<SharedBytes> residual_bytes;
  if (layout.residual_bytes != 0) {
    residual_bytes =
        share_bytes(std::vector<std::uint8_t>(residual, residual + layout.residual_bytes));
  }
  auto record = CompressedVector::create(share_bytes(std::move(indices)), std::move(residual_bytes),
                                         config.config_hash(), d, static_cast<std::uint8_t>(bits));
  if (!record.ok()) throw std::logic_error("stored row rejected: " + record.error().message());
  return std::move(record).value();
}

}  // namespace marrowfin::corpus
