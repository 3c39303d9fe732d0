// AVX-512 scan kernels: a block's sixteen lanes in one vector.
#include <immintrin.h>

#include "core/backend/scan_kernels.hpp"
#include "core/simd/lanes_avx512.hpp"

namespace marrowfin::backend::scan_kernels {
namespace {

static_assert(kBlockLanes == 16, "the SIMD kernels are written for 16-lane blocks");

MARROWFIN_AVX512_TARGET __m512 finish_avx512(__m512 dots, __m512 query_sum, const float* sums,
                                             const std::uint8_t* flags) {
  // The all-lanes zero-masked forms: the plain ones start from an undefined
  // register, which GCC 12 reports as a possibly uninitialised read.
  constexpr __mmask16 kAll = 0xffff;
  const __m512 denom = _mm512_maskz_sqrt_ps(kAll, _mm512_mul_ps(query_sum, _mm512_loadu_ps(sums)));
  const __m512i flag_words =
      _mm512_maskz_cvtepu8_epi32(kAll, _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags)));
  const __mmask16 nan_lanes = _mm512_test_epi32_mask(flag_words, _mm512_set1_epi32(kSlotHasNan));
  const __mmask16 zero_lanes =
      _mm512_cmp_ps_mask(denom, _mm512_setzero_ps(), _CMP_EQ_OQ) | nan_lanes;
  return _mm512_maskz_div_ps(static_cast<__mmask16>(~zero_lanes), dots, denom);
}

MARROWFIN_AVX512_TARGET void score_blocks_avx512(const float* blocks, std::size_t block_count,
                                                 std::size_t dim, const float* query,
                                                 float query_sum_of_squares,
                                                 const float* sums_of_squares,
                                                 const std::uint8_t* flags,
                                                 float* scores) noexcept {
  const __m512 query_sum = _mm512_set1_ps(query_sum_of_squares);
  const std::size_t block_floats = dim * kBlockLanes;
  // One block at a time keeps the reads a single sequential stream, which the
  // hardware prefetcher follows best; interleaving two blocks for two add
  // chains measured slower, the scan being bound by memory, not by latency.
  for (std::size_t b = 0; b < block_count; ++b) {
    const float* row = blocks + b * block_floats;
    __m512 dot = _mm512_setzero_ps();
    for (std::size_t i = 0; i < dim; ++i) {
      const __m512 q = _mm512_set1_ps(query[i]);
      dot = _mm512_add_ps(dot, _mm512_mul_ps(q, _mm512_loadu_ps(row + i * kBlockLanes)));
    }
    const std::size_t s = b * kBlockLanes;
    _mm512_storeu_ps(scores + s, finish_avx512(dot, query_sum, sums_of_squares + s, flags + s));
  }
}

MARROWFIN_AVX512_TARGET void lane_sums_of_squares_avx512(const float* block, std::size_t dim,
                                                         float* sums) noexcept {
  __m512 sum = _mm512_setzero_ps();
  for (std::size_t i = 0; i < dim; ++i, block += kBlockLanes) {
    const __m512 x = _mm512_loadu_ps(block);
    sum = _mm512_add_ps(sum, _mm512_mul_ps(x, x));
  }
  _mm512_storeu_ps(sums, sum);
}

constexpr Kernels kAvx512Kernels{&score_blocks_avx512, &lane_sums_of_squares_avx512};

}  // namespace

const Kernels& avx512_kernels() noexcept { return kAvx512Kernels; }

}  // namespace marrowfin::backend::scan_kernels
