// The rotation room (src/core/rotation): the deterministic random orthogonal
// matrix every codec configuration rotates by.
//  - generate/: the sample stream (ChaCha20 draws, Box-Muller with the
//    portable log, sin and cos) and the Householder QR with its kernels. Its
//    arithmetic is FROZEN: the bytes of every matrix are pinned by golden
//    digests that existing compressed data depends on. Only speed may change,
//    never the order or rounding of a single operation.
//  - apply/: M x and M^T x for one vector or many, and the batch inverse
//    rotation. Free to tune (tiles, lanes, panels, threads); the result of
//    every output stays the fixed sequential sum its kernel header defines.
//  - here: the matrix itself and the process-wide cache of built matrices.
//
// RotationMatrix: a deterministic pseudo-random orthogonal matrix generated
// from (seed, dimension) alone, bit for bit on every machine and thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/common/result.hpp"
#include "core/common/stop_token.hpp"

namespace marrowfin::rotation {

class RotationMatrix {
 public:
  // Generates the matrix afresh. Requires 1 <= dimension <= MAX_DIMENSION;
  // anything else is a programming error and throws std::logic_error.
  static RotationMatrix build(std::uint64_t seed, std::uint32_t dimension);
  // build(), abandoned (nullopt) once `stop` is raised.
  static std::optional<RotationMatrix> build(std::uint64_t seed, std::uint32_t dimension,
                                             const StopToken& stop);

  // The same matrix, taken from the process-wide cache of built matrices
  // when present (shared, not copied); otherwise built and cached.
  static RotationMatrix cached(std::uint64_t seed, std::uint32_t dimension);
  static RotationMatrix from_config(const codec::CodecConfig& config) {
    return cached(config.seed(), config.dimension());
  }
  // cached(), abandoned once `stop` is raised (generation at a large dimension
  // takes seconds): nullopt, and nothing is cached.
  static std::optional<RotationMatrix> cached(std::uint64_t seed, std::uint32_t dimension,
                                              const StopToken& stop);
  static std::optional<RotationMatrix> from_config(const codec::CodecConfig& config,
                                                   const StopToken& stop) {
    return cached(config.seed(), config.dimension(), stop);
  }

  std::uint64_t seed() const noexcept { return seed_; }
  std::uint32_t dimension() const noexcept { return dimension_; }
  // Row-major n*n values: element (i, j) at i*n + j.
  std::span<const double> values() const noexcept { return {values_->data(), values_->size()}; }

  // out = M x: out[i] is the binary64 sum over k = 0 .. n-1 of M(i, k) * x[k],
  // from +0.0 in increasing k, rounded once to float32 (a NaN result is
  // always the positive quiet NaN). Both lengths must equal n, else
  // LengthMismatch(input, output) and the output is untouched. Input and
  // output may overlap.
  Status<codec::CodecError> apply(std::span<const float> input, std::span<float> output) const;
  // out = M^T x, each output summed over rows in increasing order.
  Status<codec::CodecError> apply_inverse(std::span<const float> input,
                                          std::span<float> output) const;

  // Batch forms over `count` vectors stored back to back (count * n floats in
  // each buffer). Every output vector is bit-identical to apply / apply_inverse
  // of that vector alone; the batch form only reuses each pass over the matrix
  // for several vectors.
  void apply_many(const float* input, std::size_t count, float* output) const;
  void apply_inverse_many(const float* input, std::size_t count, float* output) const;

  // Row-major little-endian binary64 bytes, n*n*8 of them.
  std::vector<std::uint8_t> matrix_f64_bytes() const;

 private:
  RotationMatrix(std::uint64_t seed, std::uint32_t dimension,
                 std::shared_ptr<const std::vector<double>> values)
      : seed_(seed), dimension_(dimension), values_(std::move(values)) {}

  std::uint64_t seed_;
  std::uint32_t dimension_;
  std::shared_ptr<const std::vector<double>> values_;
};

}  // namespace marrowfin::rotation
