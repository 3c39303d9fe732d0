// AVX2 rotation kernels: four lanes of binary64.
#include "core/simd/lanes_avx2.hpp"

#include <cstddef>

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX2_TARGET
#include "core/rotation/apply/rotation_apply_kernels_simd.hpp"

namespace marrowfin::rotation::apply_kernels {
namespace {

// G groups of four rows starting at i0. A 4 x 4 block of the matrix becomes
// four column vectors (one row per lane) with two 128-bit loads per
// register and two unpacks, then each lane adds its row's products in k
// order.
template <int G>
MARROWFIN_SIMD_TARGET void forward_rows(const double* m, std::size_t n, std::size_t i0,
                                        const float* x, float* out) {
  __m256d acc[G];
  for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_pd();
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    // Widening is exact, so widening here rather than into a buffer first
    // changes no bits and costs the single-vector path no allocation.
    const __m256d x0 = _mm256_set1_pd(static_cast<double>(x[k]));
    const __m256d x1 = _mm256_set1_pd(static_cast<double>(x[k + 1]));
    const __m256d x2 = _mm256_set1_pd(static_cast<double>(x[k + 2]));
    const __m256d x3 = _mm256_set1_pd(static_cast<double>(x[k + 3]));
    for (int g = 0; g < G; ++g) {
      const double* r0 = m + (i0 + 4 * g) * n + k;
      const double* r1 = r0 + n;
      const double* r2 = r1 + n;
      const double* r3 = r2 + n;
      const __m256d t0 =
          _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r0)), _mm_loadu_pd(r2), 1);
      const __m256d t1 =
          _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r1)), _mm_loadu_pd(r3), 1);
      const __m256d t2 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r0 + 2)),
                                              _mm_loadu_pd(r2 + 2), 1);
      const __m256d t3 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(r1 + 2)),
                                              _mm_loadu_pd(r3 + 2), 1);
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(_mm256_unpacklo_pd(t0, t1), x0));
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(_mm256_unpackhi_pd(t0, t1), x1));
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(_mm256_unpacklo_pd(t2, t3), x2));
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(_mm256_unpackhi_pd(t2, t3), x3));
    }
  }
  for (int g = 0; g < G; ++g) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, acc[g]);
    for (std::size_t l = 0; l < 4; ++l) {
      const std::size_t row = i0 + 4 * g + l;
      double sum = lanes[l];
      for (std::size_t kk = k; kk < n; ++kk)
        sum = sum + m[row * n + kk] * static_cast<double>(x[kk]);
      out[row] = output_float(sum);
    }
  }
}

struct Avx2Tiles : simd::Avx2Lanes {
  static constexpr int forward_rows = 4;
  static constexpr int forward_vectors = 3;
  static constexpr std::size_t inverse_vectors = 4;
  static constexpr int inverse_columns = 3;
  static constexpr int inverse_single_vectors = 6;
  static constexpr auto forward_one = &forward_one_avx2;
};

// 4 x 8 sums, two lane vectors of the panel and a product fill the 16
// registers.
struct Avx2PanelTiles : simd::Avx2Lanes {
  static constexpr int panel_vectors = 4;
  static constexpr int panel_lane_vectors = 2;
};

constexpr ApplyKernels kAvx2ApplyKernels =
    make_apply_kernels<Avx2Tiles, Avx2Tiles, Avx2PanelTiles>();

}  // namespace

MARROWFIN_SIMD_TARGET void forward_one_avx2(const double* m, std::size_t n, const float* x,
                                            float* out) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) forward_rows<4>(m, n, i, x, out);
  for (; i + 4 <= n; i += 4) forward_rows<1>(m, n, i, x, out);
  for (; i < n; ++i) {
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum = sum + m[i * n + k] * static_cast<double>(x[k]);
    out[i] = output_float(sum);
  }
}

const ApplyKernels& avx2_apply_kernels() noexcept { return kAvx2ApplyKernels; }

}  // namespace marrowfin::rotation::apply_kernels
