// The immutable record produced by compression: one index byte per coordinate,
// an optional binary16 residual (2 bytes per coordinate, little-endian) and the
// producing configuration's hash. Buffers are shared between copies.
#pragma once

#include <cstdint>
#include <optional>

#include "core/codec/codec_error.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::codec {

class CompressedVector {
 public:
  // Checks, in order: bit width in {2, 4, 8}; index count == dimension;
  // residual length == 2 * index count. Index values and the hash text are not checked.
  static Result<CompressedVector, CodecError> create(SharedBytes indices,
                                                     std::optional<SharedBytes> residual,
                                                     SharedText config_hash,
                                                     std::uint32_t dimension,
                                                     std::uint8_t bit_width);

  const SharedBytes& indices() const noexcept { return indices_; }
  const std::optional<SharedBytes>& residual() const noexcept { return residual_; }
  const SharedText& config_hash() const noexcept { return config_hash_; }
  std::uint32_t dimension() const noexcept { return dimension_; }
  std::uint8_t bit_width() const noexcept { return bit_width_; }
  bool has_residual() const noexcept { return residual_.has_value(); }
  // Packed index bytes plus residual bytes; no header.
  std::uint64_t size_bytes() const noexcept;

 private:
  CompressedVector(SharedBytes indices, std::optional<SharedBytes> residual, SharedText hash,
                   std::uint32_t dimension, std::uint8_t bit_width)
      : indices_(std::move(indices)),
        residual_(std::move(residual)),
        config_hash_(std::move(hash)),
        dimension_(dimension),
        bit_width_(bit_width) {}

  SharedBytes indices_;
  std::optional<SharedBytes> residual_;
  SharedText config_hash_;
  std::uint32_t dimension_;
  std::uint8_t bit_width_;
};

}  // namespace marrowfin::codec
