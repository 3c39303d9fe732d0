// Eight values at a time: the scan's stopping point by a branch-free binary
// search (the same prefix argument as the portable code), then the neighbour
// choice and the residual with the same float32 operations in each lane.
#include "core/codec/quantize_kernels.hpp"

#include <cmath>

#include <immintrin.h>

// Level::Avx2 is AVX2 with F16C; only this family converts to binary16.
#define MARROWFIN_AVX2_F16C __attribute__((target("avx2,f16c")))

namespace marrowfin::codec::quantize_kernels {
namespace {

// Level lookups: from one register for up to 8 levels, from two for up to 16
// (bit 3 of the index picks the register), by gather otherwise.
struct RegisterLevels8 {
  __m256 low;
  MARROWFIN_AVX2_F16C __m256 operator()(__m256i index) const {
    return _mm256_permutevar8x32_ps(low, index);
  }
};

struct RegisterLevels16 {
  __m256 low, high;
  MARROWFIN_AVX2_F16C __m256 operator()(__m256i index) const {
    const __m256 from_low = _mm256_permutevar8x32_ps(low, index);
    const __m256 from_high = _mm256_permutevar8x32_ps(high, index);
    return _mm256_blendv_ps(from_low, from_high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
  }
};

struct GatheredLevels {
  const float* levels;
  MARROWFIN_AVX2_F16C __m256 operator()(__m256i index) const {
    return _mm256_i32gather_ps(levels, index, 4);
  }
};

template <class Lookup>
MARROWFIN_AVX2_F16C void quantize_blocks(const Lookup& lookup, std::uint32_t count, bool nan_first,
                                         const float* values, std::size_t n, std::uint8_t* indices,
                                         std::uint8_t* residual_le) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i last = _mm256_set1_epi32(static_cast<int>(count - 1));
  const __m256 magnitude_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(values + i);
    __m256i stop = zero;
    if (!nan_first) {
      std::uint32_t len = count;
      while (len > 1) {
        const std::uint32_t half = len / 2;
        const __m256 probe =
            lookup(_mm256_add_epi32(stop, _mm256_set1_epi32(static_cast<int>(half - 1))));
        const __m256 above = _mm256_cmp_ps(x, probe, _CMP_GT_OQ);
        stop = _mm256_add_epi32(stop, _mm256_and_si256(_mm256_castps_si256(above),
                                                       _mm256_set1_epi32(static_cast<int>(half))));
        len -= half;
      }
      const __m256 above = _mm256_cmp_ps(x, lookup(stop), _CMP_GT_OQ);
      stop = _mm256_sub_epi32(stop, _mm256_castps_si256(above));  // true lanes are -1
    }
    const __m256i hi = _mm256_min_epu32(stop, last);
    const __m256i lo = _mm256_max_epi32(_mm256_sub_epi32(hi, one), zero);
    const __m256 level_lo = lookup(lo);
    const __m256 level_hi = lookup(hi);
    const __m256 d_lo = _mm256_and_ps(_mm256_sub_ps(x, level_lo), magnitude_mask);
    const __m256 d_hi = _mm256_and_ps(_mm256_sub_ps(x, level_hi), magnitude_mask);
    const __m256 take_lo = _mm256_cmp_ps(d_lo, d_hi, _CMP_LT_OQ);
    const __m256i index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(hi), _mm256_castsi256_ps(lo), take_lo));

    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(index), _mm256_extracti128_si256(index, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(indices + i), _mm_packus_epi16(words, words));
    if (residual_le != nullptr) {
      const __m256 residual = _mm256_sub_ps(x, _mm256_blendv_ps(level_hi, level_lo, take_lo));
      const __m128i halves =
          _mm256_cvtps_ph(residual, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(residual_le + 2 * i), halves);
    }
  }
}

MARROWFIN_AVX2_F16C void quantize_values_avx2(std::span<const float> levels,
                                              std::span<const float> values, std::uint8_t* indices,
                                              std::uint8_t* residual_le) noexcept {
  const auto count = static_cast<std::uint32_t>(levels.size());
  const bool nan_first = std::isnan(levels[0]);
  const std::size_t n = values.size();
  if (count <= 8) {
    alignas(32) float padded[8] = {};
    for (std::uint32_t k = 0; k < count; ++k) padded[k] = levels[k];
    quantize_blocks(RegisterLevels8{_mm256_load_ps(padded)}, count, nan_first, values.data(), n,
                    indices, residual_le);
  } else if (count <= 16) {
    alignas(32) float padded[16] = {};
    for (std::uint32_t k = 0; k < count; ++k) padded[k] = levels[k];
    quantize_blocks(RegisterLevels16{_mm256_load_ps(padded), _mm256_load_ps(padded + 8)}, count,
                    nan_first, values.data(), n, indices, residual_le);
  } else {
    quantize_blocks(GatheredLevels{levels.data()}, count, nan_first, values.data(), n, indices,
                    residual_le);
  }
  const std::size_t done = n - n % 8;
  if (done < n) {
    scalar_kernels().quantize_values(levels, values.subspan(done), indices + done,
                                     residual_le != nullptr ? residual_le + 2 * done : nullptr);
  }
}

// out[i] = binary16 i widened + out[i]: the F16C widening is exact, like
// half_to_float, and the float32 addition is the same.
MARROWFIN_AVX2_F16C void add_residual_avx2(const std::uint8_t* residual_le, float* out,
                                           std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(residual_le + 2 * i));
    _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_cvtph_ps(halves), _mm256_loadu_ps(out + i)));
  }
  for (; i < n; ++i) {
    const auto bits =
        static_cast<std::uint16_t>(residual_le[2 * i] | (residual_le[2 * i + 1] << 8));
    out[i] = _cvtsh_ss(bits) + out[i];
  }
}

constexpr Kernels kAvx2Kernels{&quantize_values_avx2, &add_residual_avx2};

}  // namespace

const Kernels& avx2_kernels() noexcept { return kAvx2Kernels; }

}  // namespace marrowfin::codec::quantize_kernels
