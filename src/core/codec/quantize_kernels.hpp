// Whole-vector kernels behind Codebook::quantize and the codec service:
// nearest-level search over strictly ascending (total order) float32 levels,
// the binary16 residual, and the reverse lookup with the residual added back.
//
// The nearest-level rule is defined by a linear scan from the lowest level
// (nearest_level_scan); every other routine here returns exactly what that scan
// returns, for every value and every valid level table, NaN levels included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/codec/codec_error.hpp"
#include "core/common/result.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::codec {

// The defining rule, kept as the reference for the faster routines:
// j = first index with !(value > levels[j]) (or K); hi = min(j, K-1);
// lo = hi ? hi-1 : 0; lo wins only when |value-levels[lo]| < |value-levels[hi]|.
// levels: K >= 1 values, strictly ascending under total order.
[[nodiscard]] std::uint32_t nearest_level_scan(std::span<const float> levels, float value) noexcept;

// Same result as nearest_level_scan, in O(log K) comparisons.
[[nodiscard]] std::uint32_t nearest_level(std::span<const float> levels, float value) noexcept;

// indices[i] = nearest level of values[i] (as an unsigned byte), for i < values.size().
// When residual_le is not null it receives 2 * values.size() bytes: binary16 of
// (values[i] - levels[indices[i]]) in float32, low byte first.
// levels: K values with 1 <= K <= 256.
void quantize_values(std::span<const float> levels, std::span<const float> values,
                     std::uint8_t* indices, std::uint8_t* residual_le) noexcept;

namespace quantize_kernels {
// The variants behind quantize_values and dequantize_values, one table per
// level, exposed so that tests can compare each one with the scan. They give
// identical bytes: the same float32 compares and subtractions per value, and
// the hardware binary16 conversion rounds exactly like float_to_half
// (nearest-even, subnormals kept, NaN quieted with its top payload bits).
struct Kernels {
  // As quantize_values.
  void (*quantize_values)(std::span<const float> levels, std::span<const float> values,
                          std::uint8_t* indices, std::uint8_t* residual_le) noexcept;
  // out[i] = binary16 value i of residual_le (low byte first) widened + out[i],
  // in float32, for i < n.
  void (*add_residual)(const std::uint8_t* residual_le, float* out, std::size_t n) noexcept;
};

// The kernels of `level`, which must be supported by this CPU. AVX-512 adds
// nothing here, so Level::Avx512 runs the AVX2 + F16C table.
const Kernels& select(simd::Level level) noexcept;

// One table per level, each defined in that level's source file.
const Kernels& scalar_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;
}  // namespace quantize_kernels

// out[i] = levels[indices[i]] for i < indices.size(). Fails with
// IndexOutOfRange(first index not below K, K capped at 2^32-1); then, when a
// residual is given, with LengthMismatch(residual size, 2 * indices.size())
// unless the sizes agree, in which case out[i] = half(residual i) + out[i] in float32.
// residual_le: null for none. out: indices.size() floats.
[[nodiscard]] Status<CodecError> dequantize_values(std::span<const float> levels,
                                                   std::span<const std::uint8_t> indices,
                                                   const std::vector<std::uint8_t>* residual_le,
                                                   float* out);

}  // namespace marrowfin::codec
