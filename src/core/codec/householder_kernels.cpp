#include "core/codec/householder_kernels.hpp"

#define MARROWFIN_SIMD_TARGET
#include "core/codec/householder_kernels_simd.hpp"

namespace marrowfin::codec::householder_kernels {
namespace {

// One double per "vector": the reference every wider variant must match.
struct ScalarLanes {
  using D = double;
  static constexpr std::size_t width = 1;
  static constexpr int project_vectors = 4;
  static constexpr int subtract_vectors = 4;
  static constexpr int project_rows = 4;
  static constexpr int subtract_rows = 4;

  static D zero() { return 0.0; }
  static D set1(double v) { return v; }
  static D load(const double* p) { return *p; }
  static void store(double* p, D v) { *p = v; }
  static D load_part(const double* p, std::size_t) { return *p; }
  static void store_part(double* p, D v, std::size_t) { *p = v; }
  static D add(D a, D b) { return a + b; }
  static D sub(D a, D b) { return a - b; }
  static D mul(D a, D b) { return a * b; }
};

constexpr Kernels kScalarKernels = make_kernels<ScalarLanes>();

}  // namespace

const Kernels& kernels_for(SimdLevel level) noexcept {
#if defined(__x86_64__)
  if (level == SimdLevel::avx512) return avx512_kernels();
  if (level == SimdLevel::avx2) return avx2_kernels();
#else
  (void)level;
#endif
  return kScalarKernels;
}

}  // namespace marrowfin::codec::householder_kernels
