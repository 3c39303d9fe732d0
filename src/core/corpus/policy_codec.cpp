#include "core/corpus/policy_codec.hpp"

#include <bit>
#include <cstdint>
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
  if (!record.ok()) throw std::logic_error("raw payload record rejected: " + record.error().message());
  return std::move(record).value();
}

CompressedVector encode_passthrough(std::span<const float> vector, const codec::CodecConfig& config) {
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

Result<CompressedVector, CodecError> encode_vector(std::span<const float> vector,
                                                   CompressionPolicy policy,
                                                   const codec::CodecConfig& config,
                                                   const codec::Codebook& codebook,
                                                   std::optional<rotation::RotationMatrix>& rotation) {
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

}  // namespace marrowfin::corpus
