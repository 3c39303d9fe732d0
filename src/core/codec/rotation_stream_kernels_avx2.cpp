// AVX2 variants of the sample-stream kernels: eight ChaCha20 blocks per pass
// (one per 32-bit lane) and four Box-Muller pairs per pass.
#if defined(__x86_64__)

#include "core/codec/rotation_lanes_avx2.hpp"

#include <cstddef>
#include <cstdint>

#include "core/codec/rotation_stream_kernels.hpp"

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX2_TARGET
#include "core/codec/rotation_stream_kernels_simd.hpp"

namespace marrowfin::codec::stream_kernels {
namespace {

template <int Bits>
MARROWFIN_SIMD_TARGET inline __m256i rotl(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, Bits), _mm256_srli_epi32(v, 32 - Bits));
}

MARROWFIN_SIMD_TARGET inline void quarter_round(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b); d = rotl<16>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b); d = rotl<8>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl<7>(_mm256_xor_si256(b, c));
}

// Eight consecutive blocks, lane l holding block counter + l.
MARROWFIN_SIMD_TARGET void eight_blocks(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t* out) {
  alignas(32) std::uint32_t counter_low[8];
  alignas(32) std::uint32_t counter_high[8];
  for (int l = 0; l < 8; ++l) {
    counter_low[l] = static_cast<std::uint32_t>(counter + static_cast<std::uint64_t>(l));
    counter_high[l] = static_cast<std::uint32_t>((counter + static_cast<std::uint64_t>(l)) >> 32);
  }
  __m256i input[16];
  input[0] = _mm256_set1_epi32(0x61707865);
  input[1] = _mm256_set1_epi32(0x3320646e);
  input[2] = _mm256_set1_epi32(0x79622d32);
  input[3] = _mm256_set1_epi32(0x6b206574);
  for (int i = 0; i < 8; ++i) input[4 + i] = _mm256_set1_epi32(static_cast<int>(key[i]));
  input[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(counter_low));
  input[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(counter_high));
  input[14] = _mm256_setzero_si256();
  input[15] = _mm256_setzero_si256();
  __m256i x[16];
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
  // Interleaving word vectors 2j and 2j+1 gives 64-bit lanes for blocks
  // 0,1,4,5 (low) and 2,3,6,7 (high).
  alignas(32) std::uint64_t low_half[8][4];
  alignas(32) std::uint64_t high_half[8][4];
  for (int j = 0; j < 8; ++j) {
    const __m256i even = _mm256_add_epi32(x[2 * j], input[2 * j]);
    const __m256i odd = _mm256_add_epi32(x[2 * j + 1], input[2 * j + 1]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(low_half[j]), _mm256_unpacklo_epi32(even, odd));
    _mm256_store_si256(reinterpret_cast<__m256i*>(high_half[j]), _mm256_unpackhi_epi32(even, odd));
  }
  static constexpr int kLowBlocks[4] = {0, 1, 4, 5};
  static constexpr int kHighBlocks[4] = {2, 3, 6, 7};
  for (int j = 0; j < 8; ++j) {
    for (int e = 0; e < 4; ++e) {
      out[8 * kLowBlocks[e] + j] = low_half[j][e];
      out[8 * kHighBlocks[e] + j] = high_half[j][e];
    }
  }
}

}  // namespace

void chacha20_draws_avx2(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                         std::uint64_t* out) noexcept {
  std::size_t b = 0;
  for (; b + 8 <= blocks; b += 8) eight_blocks(key, counter + b, out + 8 * b);
  if (b < blocks) chacha20_draws(SimdLevel::scalar, key, counter + b, blocks - b, out + 8 * b);
}

void box_muller_pairs_avx2(const std::uint64_t* draws, std::size_t pairs, double* out) {
  box_muller_batch<simd::Avx2Lanes>(draws, pairs, out);
}

}  // namespace marrowfin::codec::stream_kernels

#endif  // __x86_64__
