// AVX-512 variants of the sample-stream kernels: sixteen ChaCha20 blocks per
// pass (one per 32-bit lane) and eight Box-Muller pairs per pass.
#if defined(__x86_64__)

#include "core/codec/rotation_lanes_avx512.hpp"

#include <cstddef>
#include <cstdint>

#include "core/codec/rotation_stream_kernels.hpp"

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX512_TARGET
#include "core/codec/rotation_stream_kernels_simd.hpp"

namespace marrowfin::codec::stream_kernels {
namespace {

MARROWFIN_SIMD_TARGET inline void quarter_round(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
  c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
  a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
  c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

// Sixteen consecutive blocks, lane l holding block counter + l.
MARROWFIN_SIMD_TARGET void sixteen_blocks(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t* out) {
  alignas(64) std::uint32_t counter_low[16];
  alignas(64) std::uint32_t counter_high[16];
  for (int l = 0; l < 16; ++l) {
    counter_low[l] = static_cast<std::uint32_t>(counter + static_cast<std::uint64_t>(l));
    counter_high[l] = static_cast<std::uint32_t>((counter + static_cast<std::uint64_t>(l)) >> 32);
  }
  __m512i input[16];
  input[0] = _mm512_set1_epi32(0x61707865);
  input[1] = _mm512_set1_epi32(0x3320646e);
  input[2] = _mm512_set1_epi32(0x79622d32);
  input[3] = _mm512_set1_epi32(0x6b206574);
  for (int i = 0; i < 8; ++i) input[4 + i] = _mm512_set1_epi32(static_cast<int>(key[i]));
  input[12] = _mm512_load_si512(counter_low);
  input[13] = _mm512_load_si512(counter_high);
  input[14] = _mm512_setzero_si512();
  input[15] = _mm512_setzero_si512();
  __m512i x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < 10; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  // Word pairs (2j, 2j+1) of each block form its draws; interleaving two
  // word vectors gives 64-bit lanes in block order 0,1,4,5,... (low 128-bit
  // halves) and 2,3,6,7,... (high halves).
  alignas(64) std::uint64_t low_half[8][8];
  alignas(64) std::uint64_t high_half[8][8];
  for (int j = 0; j < 8; ++j) {
    const __m512i even = _mm512_add_epi32(x[2 * j], input[2 * j]);
    const __m512i odd = _mm512_add_epi32(x[2 * j + 1], input[2 * j + 1]);
    _mm512_store_si512(low_half[j], _mm512_unpacklo_epi32(even, odd));
    _mm512_store_si512(high_half[j], _mm512_unpackhi_epi32(even, odd));
  }
  static constexpr int kLowBlocks[8] = {0, 1, 4, 5, 8, 9, 12, 13};
  static constexpr int kHighBlocks[8] = {2, 3, 6, 7, 10, 11, 14, 15};
  for (int j = 0; j < 8; ++j) {
    for (int e = 0; e < 8; ++e) {
      out[8 * kLowBlocks[e] + j] = low_half[j][e];
      out[8 * kHighBlocks[e] + j] = high_half[j][e];
    }
  }
}

}  // namespace

void chacha20_draws_avx512(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                           std::uint64_t* out) noexcept {
  std::size_t b = 0;
  for (; b + 16 <= blocks; b += 16) sixteen_blocks(key, counter + b, out + 8 * b);
  if (b < blocks) chacha20_draws(SimdLevel::avx2, key, counter + b, blocks - b, out + 8 * b);
}

void box_muller_pairs_avx512(const std::uint64_t* draws, std::size_t pairs, double* out) {
  box_muller_batch<simd::Avx512Lanes>(draws, pairs, out);
}

}  // namespace marrowfin::codec::stream_kernels

#endif  // __x86_64__
