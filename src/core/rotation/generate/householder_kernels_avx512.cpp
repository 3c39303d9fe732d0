// AVX-512 Householder kernels: eight columns per vector.
#include "core/simd/lanes_avx512.hpp"

#include <cstddef>

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX512_TARGET
#include "core/rotation/generate/householder_kernels_simd.hpp"

namespace marrowfin::rotation::householder_kernels {
namespace {

// 8 x 3 (project) and 4 x 6 (subtract) accumulators plus operands fit the 32
// zmm registers; the shapes were picked by measurement.
struct Avx512Tiles : simd::Avx512Lanes {
  static constexpr int project_vectors = 3;
  static constexpr int project_rows = 8;
  static constexpr int subtract_vectors = 6;
  static constexpr int subtract_rows = 4;
};

constexpr Kernels kAvx512Kernels = make_kernels<Avx512Tiles>();

}  // namespace

const Kernels& avx512_kernels() noexcept { return kAvx512Kernels; }

}  // namespace marrowfin::rotation::householder_kernels
