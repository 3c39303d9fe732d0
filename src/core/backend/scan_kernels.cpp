#include "core/backend/scan_kernels.hpp"

#include <immintrin.h>

#include "core/backend/cosine_similarity.hpp"
#include "core/common/cpu_features.hpp"

// Each variant is compiled for its own instruction set through a target
// attribute, so the library as a whole still runs on baseline x86-64 and picks
// a variant at run time. They differ only in how many lanes one instruction
// covers; every lane sees the same multiply, then add, in the same order, and
// the same correctly rounded square root and division at the end. No variant
// may use a fused multiply-add (the build turns contraction off, and the
// intrinsics below are plain mul and add).

namespace marrowfin::backend {
namespace {

static_assert(kBlockLanes == 16, "the SIMD kernels are written for 16-lane blocks");

// ---------------------------------------------------------------- portable

void score_blocks_scalar(const float* blocks, std::size_t block_count, std::size_t dim,
                         const float* query, float query_sum_of_squares,
                         const float* sums_of_squares, const std::uint8_t* flags,
                         float* scores) noexcept {
  for (std::size_t b = 0; b < block_count; ++b) {
    const float* row = blocks + b * dim * kBlockLanes;
    float dots[kBlockLanes] = {};
    for (std::size_t i = 0; i < dim; ++i, row += kBlockLanes) {
      const float q = query[i];
      for (std::size_t l = 0; l < kBlockLanes; ++l) dots[l] += q * row[l];
    }
    for (std::size_t l = 0; l < kBlockLanes; ++l) {
      const std::size_t s = b * kBlockLanes + l;
      scores[s] = (flags[s] & kSlotHasNan)
                      ? 0.0f
                      : cosine_from_sums(dots[l], query_sum_of_squares, sums_of_squares[s]);
    }
  }
}

void lane_sums_of_squares_scalar(const float* block, std::size_t dim, float* sums) noexcept {
  for (std::size_t l = 0; l < kBlockLanes; ++l) sums[l] = 0.0f;
  for (std::size_t i = 0; i < dim; ++i, block += kBlockLanes) {
    for (std::size_t l = 0; l < kBlockLanes; ++l) sums[l] += block[l] * block[l];
  }
}

// ---------------------------------------------------------------- AVX2

// The final step for 8 lanes: dot / sqrt(na * nb), or 0 where the denominator
// is zero or the stored vector holds a NaN (a NaN denominator is not zero and
// yields NaN, as in the scalar code).
__attribute__((target("avx2"))) __m256 finish_avx2(__m256 dots, __m256 query_sum, const float* sums,
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

__attribute__((target("avx2"))) void score_blocks_avx2(const float* blocks, std::size_t block_count,
                                                       std::size_t dim, const float* query,
                                                       float query_sum_of_squares,
                                                       const float* sums_of_squares,
                                                       const std::uint8_t* flags,
                                                       float* scores) noexcept {
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

__attribute__((target("avx2"))) void lane_sums_of_squares_avx2(const float* block, std::size_t dim,
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

// ---------------------------------------------------------------- AVX-512

__attribute__((target("avx512f"))) __m512 finish_avx512(__m512 dots, __m512 query_sum,
                                                        const float* sums,
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

__attribute__((target("avx512f"))) void score_blocks_avx512(
    const float* blocks, std::size_t block_count, std::size_t dim, const float* query,
    float query_sum_of_squares, const float* sums_of_squares, const std::uint8_t* flags,
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

__attribute__((target("avx512f"))) void lane_sums_of_squares_avx512(const float* block,
                                                                    std::size_t dim,
                                                                    float* sums) noexcept {
  __m512 sum = _mm512_setzero_ps();
  for (std::size_t i = 0; i < dim; ++i, block += kBlockLanes) {
    const __m512 x = _mm512_loadu_ps(block);
    sum = _mm512_add_ps(sum, _mm512_mul_ps(x, x));
  }
  _mm512_storeu_ps(sums, sum);
}

// ---------------------------------------------------------------- dispatch

ScanKernel resolve(ScanKernel kernel) noexcept {
  return kernel == ScanKernel::Auto || !scan_kernel_available(kernel) ? best_scan_kernel() : kernel;
}

}  // namespace

bool scan_kernel_available(ScanKernel kernel) noexcept {
  switch (kernel) {
    case ScanKernel::Auto:
    case ScanKernel::Scalar:
      return true;
    case ScanKernel::Avx2:
      return cpu_features().avx2;
    case ScanKernel::Avx512:
      return cpu_features().avx512f;
  }
  return false;
}

ScanKernel best_scan_kernel() noexcept {
  if (cpu_features().avx512f) return ScanKernel::Avx512;
  if (cpu_features().avx2) return ScanKernel::Avx2;
  return ScanKernel::Scalar;
}

void score_blocks(ScanKernel kernel, const float* blocks, std::size_t block_count, std::size_t dim,
                  const float* query, float query_sum_of_squares, const float* sums_of_squares,
                  const std::uint8_t* flags, float* scores) noexcept {
  switch (resolve(kernel)) {
    case ScanKernel::Avx512:
      score_blocks_avx512(blocks, block_count, dim, query, query_sum_of_squares, sums_of_squares,
                          flags, scores);
      return;
    case ScanKernel::Avx2:
      score_blocks_avx2(blocks, block_count, dim, query, query_sum_of_squares, sums_of_squares,
                        flags, scores);
      return;
    case ScanKernel::Auto:
    case ScanKernel::Scalar:
      score_blocks_scalar(blocks, block_count, dim, query, query_sum_of_squares, sums_of_squares,
                          flags, scores);
      return;
  }
}

void lane_sums_of_squares(ScanKernel kernel, const float* block, std::size_t dim,
                          float* sums) noexcept {
  switch (resolve(kernel)) {
    case ScanKernel::Avx512:
      lane_sums_of_squares_avx512(block, dim, sums);
      return;
    case ScanKernel::Avx2:
      lane_sums_of_squares_avx2(block, dim, sums);
      return;
    case ScanKernel::Auto:
    case ScanKernel::Scalar:
      lane_sums_of_squares_scalar(block, dim, sums);
      return;
  }
}

}  // namespace marrowfin::backend
