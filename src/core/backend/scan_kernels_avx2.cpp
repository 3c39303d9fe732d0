// AVX2 scan kernels: a block's sixteen lanes in two vectors of eight floats.
#include <immintrin.h>

#include "core/backend/scan_kernels.hpp"
#include "core/simd/lanes_avx2.hpp"

namespace marrowfin::backend::scan_kernels {
namespace {

static_assert(kBlockLanes == 16, "the SIMD kernels are written for 16-lane blocks");

// The final step for 8 lanes: dot / sqrt(na * nb), or 0 where the denominator
// is zero or the stored vector holds a NaN (a NaN denominator is not zero and
// yields NaN, as in the scalar code).
MARROWFIN_AVX2_TARGET __m256 finish_avx2(__m256 dots, __m256 query_sum, const float* sums,
                                         const std::uint8_t* flags) {
  const __m256 denom = _mm256_sqrt_ps(_mm256_mul_ps(query_sum, _mm256_loadu_ps(sums)));
  const __m128i flag_bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(flags));
  const __m256i nan_lanes = _mm256_cmpgt_epi32(
      _mm256_and_si256(_mm256_cvtepu8_epi32(flag_bytes), _mm256_set1_epi32(kSlotHasNan)),
      _mm256_setzero_si256());
  const __m256 zero_lanes = _mm256_or_ps(_mm256_cmp_ps(denom, _mm256_setzero_ps(), _CMP_EQ_OQ),
                                         _mm256_castsi256_ps(nan_lanes));
  return _mm256_andnot_ps(zero_lanes, _mm256_div_ps(dots, denom));
}

MARROWFIN_AVX2_TARGET void score_blocks_avx2(const float* blocks, std::size_t block_count,
                                             std::size_t dim, const float* query,
                                             float query_sum_of_squares,
                                             const float* sums_of_squares,
                                             const std::uint8_t* flags, float* scores) noexcept {
  const __m256 query_sum = _mm256_set1_ps(query_sum_of_squares);
  for (std::size_t b = 0; b < block_count; ++b) {
    const float* row = blocks + b * dim * kBlockLanes;
    __m256 low = _mm256_setzero_ps();
    __m256 high = _mm256_setzero_ps();
    for (std::size_t i = 0; i < dim; ++i, row += kBlockLanes) {
      const __m256 q = _mm256_broadcast_ss(query + i);
      low = _mm256_add_ps(low, _mm256_mul_ps(q, _mm256_loadu_ps(row)));
      high = _mm256_add_ps(high, _mm256_mul_ps(q, _mm256_loadu_ps(row + 8)));
    }
    const std::size_t s = b * kBlockLanes;
    _mm256_storeu_ps(scores + s, finish_avx2(low, query_sum, sums_of_squares + s, flags + s));
    _mm256_storeu_ps(scores + s + 8,
                     finish_avx2(high, query_sum, sums_of_squares + s + 8, flags + s + 8));
  }
}

MARROWFIN_AVX2_TARGET void lane_sums_of_squares_avx2(const float* block, std::size_t dim,
                                                     float* sums) noexcept {
  __m256 low = _mm256_setzero_ps();
  __m256 high = _mm256_setzero_ps();
  for (std::size_t i = 0; i < dim; ++i, block += kBlockLanes) {
    const __m256 x0 = _mm256_loadu_ps(block);
    const __m256 x1 = _mm256_loadu_ps(block + 8);
    low = _mm256_add_ps(low, _mm256_mul_ps(x0, x0));
    high = _mm256_add_ps(high, _mm256_mul_ps(x1, x1));
  }
  _mm256_storeu_ps(sums, low);
  _mm256_storeu_ps(sums + 8, high);
}

constexpr Kernels kAvx2Kernels{&score_blocks_avx2, &lane_sums_of_squares_avx2};

}  // namespace

const Kernels& avx2_kernels() noexcept { return kAvx2Kernels; }

}  // namespace marrowfin::backend::scan_kernels
