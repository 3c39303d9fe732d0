#include "core/rotation/generate/householder_kernels.hpp"

#include "core/simd/lanes_scalar.hpp"

#define MARROWFIN_SIMD_TARGET
#include "core/rotation/generate/householder_kernels_simd.hpp"

namespace marrowfin::rotation::householder_kernels {
namespace {

// One double per "vector": the reference every wider variant must match.
struct ScalarTiles : simd::ScalarLanes {
  static constexpr int project_vectors = 4;
  static constexpr int subtract_vectors = 4;
  static constexpr int project_rows = 4;
  static constexpr int subtract_rows = 4;
};

constexpr Kernels kScalarKernels = make_kernels<ScalarTiles>();

}  // namespace

const Kernels& scalar_kernels() noexcept { return kScalarKernels; }

const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx512_kernels);
}

}  // namespace marrowfin::rotation::householder_kernels
