// AVX2 Householder kernels: four columns per vector.
#include "core/simd/lanes_avx2.hpp"

#include <cstddef>

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX2_TARGET
#include "core/rotation/generate/householder_kernels_simd.hpp"

namespace marrowfin::rotation::householder_kernels {
namespace {

// 4 x 3 accumulators plus operands fit the sixteen ymm registers.
struct Avx2Tiles : simd::Avx2Lanes {
  static constexpr int project_vectors = 3;
  static constexpr int project_rows = 4;
  static constexpr int subtract_vectors = 3;
  static constexpr int subtract_rows = 4;
};

constexpr Kernels kAvx2Kernels = make_kernels<Avx2Tiles>();

}  // namespace

const Kernels& avx2_kernels() noexcept { return kAvx2Kernels; }

}  // namespace marrowfin::rotation::householder_kernels
