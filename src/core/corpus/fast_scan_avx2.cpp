// The AVX2 form of the grouped 4-bit scan: 32 rows' code byte per load, two
// byte shuffles look up both nibbles' tables, and 16-bit running sums are
// widened every 128 code bytes (128 * 2 * 255 = 65,280 fits 16 bits).
#include "core/corpus/fast_scan.hpp"

#include <immintrin.h>

#define MARROWFIN_AVX2_TARGET __attribute__((target("avx2")))

namespace marrowfin::corpus::fast_scan::detail {

MARROWFIN_AVX2_TARGET void sum_group_avx2(const std::uint8_t* group, std::size_t code_bytes,
                                          const std::uint8_t* tables, std::uint32_t* sums) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i low_byte = _mm256_set1_epi16(0x00ff);
  for (std::size_t r = 0; r < kGroup; ++r) sums[r] = 0;
  for (std::size_t first = 0; first < code_bytes; first += 128) {
    const std::size_t last = first + 128 < code_bytes ? first + 128 : code_bytes;
    __m256i even = _mm256_setzero_si256();  // rows 0, 2, 4, ...
    __m256i odd = _mm256_setzero_si256();   // rows 1, 3, 5, ...
    for (std::size_t b = first; b < last; ++b) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + b * kGroup));
      const __m256i low_table = _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables + 32 * b)));
      const __m256i high_table = _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables + 32 * b + 16)));
      const __m256i a = _mm256_shuffle_epi8(low_table, _mm256_and_si256(x, nibble));
      const __m256i c =
          _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble));
      even = _mm256_add_epi16(
          even, _mm256_add_epi16(_mm256_and_si256(a, low_byte), _mm256_and_si256(c, low_byte)));
      odd =
          _mm256_add_epi16(odd, _mm256_add_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(c, 8)));
    }
    alignas(32) std::uint16_t e[16];
    alignas(32) std::uint16_t o[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(e), even);
    _mm256_store_si256(reinterpret_cast<__m256i*>(o), odd);
    for (std::size_t i = 0; i < 16; ++i) {
      sums[2 * i] += e[i];
      sums[2 * i + 1] += o[i];
    }
  }
}

}  // namespace marrowfin::corpus::fast_scan::detail
