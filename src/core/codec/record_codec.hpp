// The per-record steps of the codec service, shared by the single-vector
// operations and the batch codec so that both produce identical bytes.
#pragma once

#include <cstddef>
#include <span>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/common/result.hpp"

namespace marrowfin::codec {

// Quantizes an already rotated vector (config.dimension floats) and builds its
// record, with a binary16 residual when the configuration keeps one.
[[nodiscard]] Result<CompressedVector, CodecError> encode_rotated(std::span<const float> rotated,
                                                                  const CodecConfig& config,
                                                                  const Codebook& codebook);

// The checks that need no rotation and no index scan, in order: config hash,
// record bit width against config, codebook bit width against record,
// config dimension against out_size, index count against out_size.
[[nodiscard]] Status<CodecError> check_record(const CompressedVector& compressed,
                                              const CodecConfig& config, const Codebook& codebook,
                                              std::size_t out_size);

// Levels looked up and the residual added, still in rotated space; out holds
// compressed.indices()->size() floats. Fails on an index beyond the codebook,
// then on a residual of the wrong length.
[[nodiscard]] Status<CodecError> decode_unrotated(const CompressedVector& compressed,
                                                  const Codebook& codebook, float* out);

}  // namespace marrowfin::codec
