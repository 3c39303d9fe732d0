// Kernels that multiply float32 vectors by a rotation matrix in binary64.
// Every output is one fixed sum: M x sums row i over k = 0, 1, ..., n-1 and
// M^T x sums column k over i = 0, 1, ..., n-1, each from +0.0 with every
// product and sum rounded on its own, then rounded once to float32. Lanes
// and register tiles only ever hold different outputs (rows, columns or
// vectors), so all variants give the same bits.
//
// A NaN result is always written as the positive quiet NaN 0x7fc00000.
// Which of two NaN operands an addition propagates (say the default NaN of
// inf - inf meeting a NaN input) is left open by IEEE 754 and varies with the
// instruction sequence a compiler picks, so the kernels fix it to keep the
// bytes of every variant equal.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <vector>

#include "core/simd/level.hpp"

namespace marrowfin::rotation::apply_kernels {

struct ApplyKernels {
  // M: n x n row-major. x and out: `count` vectors of n floats back to back.
  // out_v = M x_v.
  void (*forward)(const double* m, std::size_t n, const float* x, std::size_t count, float* out);
  // out_v = M^T x_v.
  void (*inverse)(const double* m, std::size_t n, const float* x, std::size_t count, float* out);
  // M^T x again, from the matrix cut into column panels (pack_panels) so
  // that every load streams through contiguous memory: panel_columns wide,
  // or 0 where this level has no panel kernel.
  std::size_t panel_columns;
  void (*inverse_panels)(const double* panels, std::size_t n, const float* x, std::size_t count,
                         float* out);
};

// Doubles the panels of an n x n matrix take for panels `columns` wide.
inline std::size_t panel_values(std::size_t n, std::size_t columns) {
  return (n + columns - 1) / columns * columns * n;
}

// Panel p holds columns [p*columns, (p+1)*columns) of rows 0 .. n-1, row
// after row, the columns past n zero. `panels` has panel_values() doubles.
void pack_panels(const double* m, std::size_t n, std::size_t columns, double* panels);

// The float32 an output accumulator is written as.
inline float output_float(double acc) {
  return std::isnan(acc) ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(acc);
}

// Runs kernel(m, n, input, count, output). The kernels read their input while
// writing their output, so an input that overlaps the output is copied first.
template <class Kernel>
void run_unaliased(Kernel kernel, const double* m, std::size_t n, const float* input,
                   std::size_t count, float* output) {
  const std::size_t length = count * n;
  const std::less<const float*> before;
  if (length != 0 && before(input, output + length) && before(output, input + length)) {
    const std::vector<float> copy(input, input + length);
    kernel(m, n, copy.data(), count, output);
  } else {
    kernel(m, n, input, count, output);
  }
}

// The kernels of `level`, which must be supported by this CPU.
const ApplyKernels& select(simd::Level level) noexcept;

// One table per level, each defined in that level's source file.
const ApplyKernels& scalar_apply_kernels() noexcept;
const ApplyKernels& avx2_apply_kernels() noexcept;
const ApplyKernels& avx512_apply_kernels() noexcept;

// One vector of M x with lanes across four rows, the matrix transposed in
// registers four by four (the AVX-512 table uses it too). AVX2 only.
void forward_one_avx2(const double* m, std::size_t n, const float* x, float* out);

}  // namespace marrowfin::rotation::apply_kernels
