#include "core/rotation/apply/rotation_apply_kernels.hpp"

#include <algorithm>
#include <vector>

namespace marrowfin::rotation::apply_kernels {
namespace {

// The reference loops: the sums exactly as defined, one output at a time.
void forward_scalar(const double* m, std::size_t n, const float* x, std::size_t count, float* out) {
  for (std::size_t v = 0; v < count; ++v) {
    const float* in = x + v * n;
    for (std::size_t i = 0; i < n; ++i) {
      const double* row = m + i * n;
      double acc = 0.0;
      for (std::size_t k = 0; k < n; ++k) acc = acc + row[k] * static_cast<double>(in[k]);
      out[v * n + i] = output_float(acc);
    }
  }
}

void inverse_scalar(const double* m, std::size_t n, const float* x, std::size_t count, float* out) {
  std::vector<double> acc(n);
  for (std::size_t v = 0; v < count; ++v) {
    const float* in = x + v * n;
    std::fill(acc.begin(), acc.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      const double* row = m + i * n;
      const auto xi = static_cast<double>(in[i]);
      for (std::size_t k = 0; k < n; ++k) acc[k] = acc[k] + row[k] * xi;
    }
    for (std::size_t k = 0; k < n; ++k) out[v * n + k] = output_float(acc[k]);
  }
}

constexpr ApplyKernels kScalarApplyKernels{&forward_scalar, &inverse_scalar, 0, nullptr};

}  // namespace

void pack_panels(const double* m, std::size_t n, std::size_t columns, double* panels) {
  for (std::size_t first = 0; first < n; first += columns) {
    const std::size_t width = std::min(columns, n - first);
    for (std::size_t i = 0; i < n; ++i, panels += columns) {
      std::copy_n(m + i * n + first, width, panels);
      std::fill(panels + width, panels + columns, 0.0);
    }
  }
}

const ApplyKernels& scalar_apply_kernels() noexcept { return kScalarApplyKernels; }

const ApplyKernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_apply_kernels, &avx2_apply_kernels, &avx512_apply_kernels);
}

}  // namespace marrowfin::rotation::apply_kernels
