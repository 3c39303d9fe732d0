// The codec room (src/core/codec): the configuration and its SHA-256
// identity, the errors, the compressed record, codebooks and quantization
// (with binary16 residuals and the total order of float32 levels), and the
// codec service that puts them together with the rotation (src/core/rotation).
// What must never change here: the meaning of a configuration, the nearest-
// level rule, the binary16 rounding and every error message, since stored
// records and callers depend on them byte for byte; the kernels behind them
// may be retuned as long as they return exactly what the reference scans do.
//
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
#include "core/common/result.hpp"
#include "core/common/stop_token.hpp"
#include "core/rotation/rotation_matrix.hpp"

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
  // error of the lowest failing row. Both batch calls end early with
  // CodecError::interrupted() once `stop` is raised.
  static Result<std::vector<CompressedVector>, CodecError> compress_batch(
      std::span<const float> data, std::uint64_t rows, std::uint64_t cols,
      const CodecConfig& config, const Codebook& codebook,
      const StopToken& stop = StopToken::never());
  // out holds compressed.size() * config.dimension floats.
  static Status<CodecError> decompress_batch(std::span<const CompressedVector> compressed,
                                             const CodecConfig& config, const Codebook& codebook,
                                             std::span<float> out,
                                             const StopToken& stop = StopToken::never());
};

}  // namespace marrowfin::codec
