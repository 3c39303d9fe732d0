// Encoding a vector into the payload a policy stores, and decoding it back.
// Every policy stores a CompressedVector carrying config.config_hash (shared):
//   COMPRESS     d codebook indices (bit width config.bit_width), plus 2*d
//                residual bytes when config.residual_enabled.
//   PASSTHROUGH  4*d bytes: each float32 bit pattern, least significant byte
//                first; record dimension 4*d, bit width 8, no residual.
//   FP16         2*d bytes: each binary16 rounding, least significant byte
//                first; record dimension 2*d, bit width 8, no residual.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/common/result.hpp"
#include "core/corpus/compression_policy.hpp"
#include "core/corpus/vector_entry.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::corpus {

// vector.size() should already equal config.dimension (the corpus checks
// first); otherwise LengthMismatch(vector length, config.dimension).
// Under COMPRESS, a codebook whose bit width differs from the configuration's
// fails with CodebookIncompatible before any rotation is fetched. `rotation`
// is the caller's slot for the configuration's rotation: filled on the first
// COMPRESS encode and reused by every later call with the same
// configuration. The raw policies never touch the codebook or the rotation.
[[nodiscard]] Result<codec::CompressedVector, codec::CodecError> encode_vector(
    std::span<const float> vector, CompressionPolicy policy, const codec::CodecConfig& config,
    const codec::Codebook& codebook, std::optional<rotation::RotationMatrix>& rotation);

// COMPRESS: config.dimension floats decoded by the codec (all its checks apply).
// PASSTHROUGH: payload.size() / 4 floats; a payload length that is not a
//   multiple of 4 fails with LengthMismatch(length, length rounded down to 4).
// FP16: payload.size() / 2 floats widened from binary16; an odd payload length
//   fails with LengthMismatch(length, length - 1).
[[nodiscard]] Result<std::vector<float>, codec::CodecError> decode_entry(
    const VectorEntry& entry, CompressionPolicy policy, const codec::CodecConfig& config,
    const codec::Codebook& codebook);

// How a corpus keeps a policy's payload in its entry store: the bytes of
// one row's codes (COMPRESS indices packed at the bit width, least
// significant bits first; the raw payload bytes otherwise) and of its
// residual (COMPRESS with a residual only, else 0).
struct RowLayout {
  std::size_t code_bytes;
  std::size_t residual_bytes;
};
[[nodiscard]] RowLayout row_layout(CompressionPolicy policy,
                                   const codec::CodecConfig& config) noexcept;

// Writes a record encode_vector produced into a row of that layout.
void store_record(const codec::CompressedVector& record, CompressionPolicy policy,
                  std::uint8_t* codes, std::uint8_t* residual) noexcept;

// The record a row holds, byte for byte as encode_vector produced it.
[[nodiscard]] codec::CompressedVector load_record(const std::uint8_t* codes,
                                                  const std::uint8_t* residual,
                                                  CompressionPolicy policy,
                                                  const codec::CodecConfig& config);

}  // namespace marrowfin::corpus
