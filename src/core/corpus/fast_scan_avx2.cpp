// The AVX2 forms of the scan kernels.
#include <immintrin.h>

#include "core/corpus/fast_scan.hpp"

#define MARROWFIN_AVX2_TARGET __attribute__((target("avx2")))
#define MARROWFIN_AVX2_F16C_TARGET __attribute__((target("avx2,f16c")))

namespace marrowfin::corpus::fast_scan::detail {

namespace {

// Adds the lookups of the plan's entry i (4-bit codes) for 32 rows: 32 rows'
// code byte per load, two byte shuffles through both nibbles' tables (each
// stored twice, filling one 256-bit load).
MARROWFIN_AVX2_TARGET inline void lookup_byte(const std::uint8_t* group, const Plan& plan,
                                              std::size_t i, __m256i& mixed, __m256i& odd) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i x =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + plan.bytes[i] * kGroup));
  const __m256i* table = reinterpret_cast<const __m256i*>(plan.tables + kTableBytes4 * i);
  const __m256i a = _mm256_shuffle_epi8(_mm256_loadu_si256(table), _mm256_and_si256(x, nibble));
  const __m256i c = _mm256_shuffle_epi8(_mm256_loadu_si256(table + 1),
                                        _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble));
  mixed = _mm256_add_epi16(mixed, _mm256_add_epi16(a, c));
  odd = _mm256_add_epi16(odd, _mm256_add_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(c, 8)));
}

// Adds the lookup of the plan's entry i (8-bit codes) for 32 rows: the
// index's four quarters, then blends on the code's bit 6 (moved to the top of
// each byte by a 16-bit shift) and bit 7.
MARROWFIN_AVX2_TARGET inline void lookup_byte8(const std::uint8_t* group, const Plan& plan,
                                               std::size_t i, __m256i& mixed, __m256i& odd) {
  const __m256i x =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + plan.bytes[i] * kGroup));
  const __m256i* table = reinterpret_cast<const __m256i*>(plan.tables + kTableBytes8 * i);
  const __m256i index = _mm256_and_si256(_mm256_srli_epi16(x, 2), _mm256_set1_epi8(0x0f));
  const __m256i bit6 = _mm256_slli_epi16(x, 1);
  const __m256i low =
      _mm256_blendv_epi8(_mm256_shuffle_epi8(_mm256_loadu_si256(table), index),
                         _mm256_shuffle_epi8(_mm256_loadu_si256(table + 1), index), bit6);
  const __m256i high =
      _mm256_blendv_epi8(_mm256_shuffle_epi8(_mm256_loadu_si256(table + 2), index),
                         _mm256_shuffle_epi8(_mm256_loadu_si256(table + 3), index), bit6);
  const __m256i a = _mm256_blendv_epi8(low, high, x);
  mixed = _mm256_add_epi16(mixed, a);
  odd = _mm256_add_epi16(odd, _mm256_srli_epi16(a, 8));
}

// Adds 16-bit totals (even rows' entries plus 256 times odd rows', and odd
// rows' alone) into 32-bit sums, scaled by 2^shift.
MARROWFIN_AVX2_TARGET inline void widen_totals(__m256i mixed, __m256i odd, unsigned shift,
                                               std::uint32_t* sums) {
  const __m256i even = _mm256_sub_epi16(mixed, _mm256_slli_epi16(odd, 8));
  alignas(32) std::uint16_t ev[16];
  alignas(32) std::uint16_t od[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(ev), even);
  _mm256_store_si256(reinterpret_cast<__m256i*>(od), odd);
  for (std::size_t k = 0; k < 16; ++k) {
    sums[2 * k] += std::uint32_t{ev[k]} << shift;
    sums[2 * k + 1] += std::uint32_t{od[k]} << shift;
  }
}

using Lookup = void (*)(const std::uint8_t*, const Plan&, std::size_t, __m256i&, __m256i&);

// The plan's entries class by class: Window entries per pair of 16-bit
// totals (an even row's entry plus 256 times the next odd row's, kept right
// modulo 2^16, and the odd row's alone; the even rows' sums are the
// difference), widened every Window entries and at the end of each class.
// Two entries per step, in separate totals. The scan is bounded by memory
// bandwidth, so the next group is prefetched as this one is summed.
template <std::size_t Window, Lookup lookup>
MARROWFIN_AVX2_TARGET inline void sum_plan(const std::uint8_t* group, const std::uint8_t* next,
                                           const Plan& plan, std::uint32_t* sums) {
  for (std::size_t r = 0; r < kGroup; ++r) sums[r] = 0;
  std::size_t i = 0;
  for (unsigned e = 0; e < kClasses; ++e) {
    const unsigned shift = kClasses - 1 - e;
    while (i < plan.class_end[e]) {
      const std::size_t last = i + Window < plan.class_end[e] ? i + Window : plan.class_end[e];
      __m256i mixed0 = _mm256_setzero_si256();
      __m256i odd0 = _mm256_setzero_si256();
      __m256i mixed1 = _mm256_setzero_si256();
      __m256i odd1 = _mm256_setzero_si256();
      for (; i + 2 <= last; i += 2) {
        _mm_prefetch(reinterpret_cast<const char*>(next + i * kGroup), _MM_HINT_NTA);
        lookup(group, plan, i, mixed0, odd0);
        lookup(group, plan, i + 1, mixed1, odd1);
      }
      if (i < last) lookup(group, plan, i++, mixed0, odd0);
      widen_totals(_mm256_add_epi16(mixed0, mixed1), _mm256_add_epi16(odd0, odd1), shift, sums);
    }
  }
}

}  // namespace

// 4-bit codes: two entries of at most 255 per byte, widened every 128 bytes
// (128 * 2 * 255 = 65,280 fits 16 bits).
MARROWFIN_AVX2_TARGET void sum_group_avx2(const std::uint8_t* group, const std::uint8_t* next,
                                          const Plan& plan, std::uint32_t* sums) {
  sum_plan<128, lookup_byte>(group, next, plan, sums);
}

// 8-bit codes: one entry per byte, widened every 256 bytes.
MARROWFIN_AVX2_TARGET void sum_group8_avx2(const std::uint8_t* group, const std::uint8_t* next,
                                           const Plan& plan, std::uint32_t* sums) {
  sum_plan<256, lookup_byte8>(group, next, plan, sums);
}

// Sixteen halves per step, converted exactly (F16C), into two vectors of 8
// totals (lanes 0-7 and 8-15).
MARROWFIN_AVX2_F16C_TARGET float residual_dot_avx2(const std::uint8_t* halves, const float* query,
                                                   std::size_t d) {
  __m256 t0 = _mm256_setzero_ps();
  __m256 t1 = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 16 <= d; j += 16) {
    const __m256 r0 =
        _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(halves + 2 * j)));
    const __m256 r1 =
        _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(halves + 2 * j + 16)));
    t0 = _mm256_add_ps(t0, _mm256_mul_ps(_mm256_loadu_ps(query + j), r0));
    t1 = _mm256_add_ps(t1, _mm256_mul_ps(_mm256_loadu_ps(query + j + 8), r1));
  }
  alignas(32) float totals[kLanes];
  _mm256_store_ps(totals, t0);
  _mm256_store_ps(totals + 8, t1);
  for (; j < d; ++j) {
    const std::uint16_t bits = static_cast<std::uint16_t>(halves[2 * j] | (halves[2 * j + 1] << 8));
    totals[j % kLanes] += query[j] * _cvtsh_ss(bits);
  }
  return add_lanes(totals);
}

}  // namespace marrowfin::corpus::fast_scan::detail
