#include "core/rotation/rotation_matrix.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/rotation/apply/rotation_apply_kernels.hpp"
#include "core/rotation/generate/householder_qr.hpp"
#include "core/rotation/generate/rotation_stream.hpp"
#include "core/rotation/rotation_cache.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::rotation {

namespace {

// The kernels of the widest level this CPU runs, chosen once.
const apply_kernels::ApplyKernels& kernels() {
  static const apply_kernels::ApplyKernels& chosen = apply_kernels::select(simd::best_level());
  return chosen;
}

}  // namespace

RotationMatrix RotationMatrix::build(std::uint64_t seed, std::uint32_t dimension) {
  return *build(seed, dimension, StopToken::never());
}

std::optional<RotationMatrix> RotationMatrix::build(std::uint64_t seed, std::uint32_t dimension,
                                                    const StopToken& stop) {
  if (dimension == 0) throw std::logic_error("RotationMatrix::build requires dimension > 0");
  if (dimension > codec::MAX_DIMENSION) {
    throw std::logic_error(
        "RotationMatrix::build requires dimension <= " + std::to_string(codec::MAX_DIMENSION) +
        ", got " + std::to_string(dimension));
  }
  const std::size_t n = dimension;
  std::vector<double> values(n * n);
  // Row-major fill: A(i, j) is sample i*n + j.
  gaussian_samples(seed, values.data(), values.size());
  QrOptions options;
  options.stop = &stop;
  if (!orthogonal_factor_in_place(values.data(), n, options)) return std::nullopt;
  return RotationMatrix(seed, dimension,
                        std::make_shared<const std::vector<double>>(std::move(values)));
}

RotationMatrix RotationMatrix::cached(std::uint64_t seed, std::uint32_t dimension) {
  return *cached(seed, dimension, StopToken::never());
}

std::optional<RotationMatrix> RotationMatrix::cached(std::uint64_t seed, std::uint32_t dimension,
                                                     const StopToken& stop) {
  RotationCache& cache = RotationCache::process_wide();
  if (auto values = cache.find(seed, dimension))
    return RotationMatrix(seed, dimension, std::move(values));
  std::optional<RotationMatrix> built = build(seed, dimension, stop);
  if (!built) return std::nullopt;
  return RotationMatrix(seed, dimension, cache.offer(seed, dimension, built->values_));
}

Status<codec::CodecError> RotationMatrix::apply(std::span<const float> input,
                                                std::span<float> output) const {
  if (input.size() != dimension_ || output.size() != dimension_) {
    return fail(codec::CodecError::length_mismatch(input.size(), output.size()));
  }
  apply_kernels::run_unaliased(kernels().forward, values_->data(), dimension_, input.data(), 1,
                               output.data());
  return {};
}

Status<codec::CodecError> RotationMatrix::apply_inverse(std::span<const float> input,
                                                        std::span<float> output) const {
  if (input.size() != dimension_ || output.size() != dimension_) {
    return fail(codec::CodecError::length_mismatch(input.size(), output.size()));
  }
  apply_kernels::run_unaliased(kernels().inverse, values_->data(), dimension_, input.data(), 1,
                               output.data());
  return {};
}

void RotationMatrix::apply_many(const float* input, std::size_t count, float* output) const {
  if (count == 0) return;
  apply_kernels::run_unaliased(kernels().forward, values_->data(), dimension_, input, count,
                               output);
}

void RotationMatrix::apply_inverse_many(const float* input, std::size_t count,
                                        float* output) const {
  if (count == 0) return;
  apply_kernels::run_unaliased(kernels().inverse, values_->data(), dimension_, input, count,
                               output);
}

std::vector<std::uint8_t> RotationMatrix::matrix_f64_bytes() const {
  const std::vector<double>& values = *values_;
  std::vector<std::uint8_t> bytes(values.size() * sizeof(double));
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes.data(), values.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto word = std::bit_cast<std::uint64_t>(values[i]);
      for (std::size_t b = 0; b < 8; ++b)
        bytes[i * 8 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
  }
  return bytes;
}

}  // namespace marrowfin::rotation
