// The scalar quantizer: 2^bit_width float32 levels, strictly ascending under
// IEEE 754 totalOrder (so -0.0 and +0.0 are distinct levels and NaN levels may
// sit at either end).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"
#include "core/common/stop_token.hpp"

namespace marrowfin::codec {

class Codebook {
 public:
  // Checks, in order: bit_width < 32; entry count == 2^bit_width; adjacent
  // pairs strictly ascending under total order (first offending pair decides).
  static Result<Codebook, CodecError> create(std::vector<float> entries, std::uint8_t bit_width);

  // Linear-interpolation quantiles of all values (rows*cols, row-major);
  // only config.bit_width is used.
  // A raised `stop` abandons training (either kind) with Interrupted.
  static Result<Codebook, CodecError> train(std::span<const float> values,
                                            const CodecConfig& config,
                                            const StopToken& stop = StopToken::never());

  // Levels minimising the mean squared quantization error of the values
  // (one-dimensional k-means), from train's quantile levels through at most
  // `iterations` Lloyd-Max steps. Same checks and errors as train. A value
  // that is not finite is an end quantile and no mean can replace it, so
  // then the quantile levels are returned as they are. Deterministic to the
  // byte (binary64 sums in a fixed order).
  static Result<Codebook, CodecError> train_lloyd_max(std::span<const float> values,
                                                      const CodecConfig& config,
                                                      std::uint32_t iterations,
                                                      const StopToken& stop = StopToken::never());

  std::span<const float> entries() const noexcept { return {entries_->data(), entries_->size()}; }
  std::uint8_t bit_width() const noexcept { return bit_width_; }
  std::uint32_t num_entries() const noexcept {
    return static_cast<std::uint32_t>(entries_->size());
  }

 private:
  Codebook(SharedFloats entries, std::uint8_t bit_width)
      : entries_(std::move(entries)), bit_width_(bit_width) {}

  SharedFloats entries_;
  std::uint8_t bit_width_;
};

}  // namespace marrowfin::codec
