// The stateless codec service: compress a float32 vector into a
// CompressedVector and back, single vectors (service.cpp) and batches (batch.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/rotation/rotation_matrix.hpp"
#include "core/common/result.hpp"

namespace marrowfin::codec {

class Codec {
 public:
  static Result<CompressedVector, CodecError> compress(std::span<const float> vector,
                                                       const CodecConfig& config,
                                                       const Codebook& codebook);
  static Result<CompressedVector, CodecError> compress_with_rotation(
      std::span<const float> vector, const CodecConfig& config, const Codebook& codebook,
      const rotation::RotationMatrix& rotation);

  static Result<std::vector<float>, CodecError> decompress(const CompressedVector& compressed,
                                                           const CodecConfig& config,
                                                           const Codebook& codebook);
  static Status<CodecError> decompress_into(const CompressedVector& compressed,
                                            const CodecConfig& config, const Codebook& codebook,
                                            std::span<float> out);

  // data holds rows*cols floats, row-major. All or nothing: on failure the
  // error of the lowest failing row.
  static Result<std::vector<CompressedVector>, CodecError> compress_batch(
      std::span<const float> data, std::uint64_t rows, std::uint64_t cols,
      const CodecConfig& config, const Codebook& codebook);
  // out holds compressed.size() * config.dimension floats.
  static Status<CodecError> decompress_batch(std::span<const CompressedVector> compressed,
                                             const CodecConfig& config, const Codebook& codebook,
                                             std::span<float> out);
};

}  // namespace marrowfin::codec
