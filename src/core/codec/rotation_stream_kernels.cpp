#include "core/codec/rotation_stream_kernels.hpp"

#include "core/codec/rotation_stream.hpp"

namespace marrowfin::codec::stream_kernels {

namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int bits) { return (v << bits) | (v >> (32 - bits)); }

void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b; d ^= a; d = rotl(d, 16);
  c += d; b ^= c; b = rotl(b, 12);
  a += b; d ^= a; d = rotl(d, 8);
  c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

void chacha20_blocks_scalar(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                            std::uint32_t* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, ++counter) {
    const std::uint32_t input[16] = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32), 0, 0};
    std::uint32_t x[16];
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
    for (int i = 0; i < 16; ++i) out[16 * b + i] = x[i] + input[i];
  }
}

void chacha20_draws(SimdLevel level, const std::uint32_t key[8], std::uint64_t counter,
                    std::size_t blocks, std::uint64_t* out) noexcept {
#if defined(__x86_64__)
  if (level == SimdLevel::avx512) return chacha20_draws_avx512(key, counter, blocks, out);
  if (level == SimdLevel::avx2) return chacha20_draws_avx2(key, counter, blocks, out);
#else
  (void)level;
#endif
  std::uint32_t words[16];
  for (std::size_t b = 0; b < blocks; ++b) {
    chacha20_blocks_scalar(key, counter + b, 1, words);
    for (int j = 0; j < 8; ++j) {
      out[8 * b + j] = words[2 * j] | (static_cast<std::uint64_t>(words[2 * j + 1]) << 32);
    }
  }
}

void box_muller_pairs(SimdLevel level, const std::uint64_t* draws, std::size_t pairs, double* out) {
#if defined(__x86_64__)
  if (level == SimdLevel::avx512) return box_muller_pairs_avx512(draws, pairs, out);
  if (level == SimdLevel::avx2) return box_muller_pairs_avx2(draws, pairs, out);
#else
  (void)level;
#endif
  for (std::size_t p = 0; p < pairs; ++p) {
    const auto [cosine_half, sine_half] = box_muller_pair(draws[2 * p], draws[2 * p + 1]);
    out[2 * p] = cosine_half;
    out[2 * p + 1] = sine_half;
  }
}

}  // namespace marrowfin::codec::stream_kernels
