// AVX2 variants of the sample-stream kernels: eight ChaCha20 blocks per pass
// (one per 32-bit lane) and four Box-Muller pairs per pass.
#include "core/simd/lanes_avx2.hpp"

#include <cstddef>
#include <cstdint>

#include "core/rotation/generate/rotation_stream_kernels.hpp"

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX2_TARGET
#include "core/rotation/generate/rotation_stream_kernels_simd.hpp"

namespace marrowfin::rotation::stream_kernels {
namespace {

struct Avx2Words {
  using U = __m256i;  // one word of eight blocks
  static constexpr int blocks = 8;

  MARROWFIN_SIMD_TARGET static U set1(std::uint32_t v) {
    return _mm256_set1_epi32(static_cast<int>(v));
  }
  MARROWFIN_SIMD_TARGET static U load(const std::uint32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  }
  MARROWFIN_SIMD_TARGET static void store(std::uint64_t* p, U v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
  }
  MARROWFIN_SIMD_TARGET static U add(U a, U b) { return _mm256_add_epi32(a, b); }
  MARROWFIN_SIMD_TARGET static U bxor(U a, U b) { return _mm256_xor_si256(a, b); }
  template <int Bits>
  MARROWFIN_SIMD_TARGET static U rotl(U v) {
    return _mm256_or_si256(_mm256_slli_epi32(v, Bits), _mm256_srli_epi32(v, 32 - Bits));
  }
  MARROWFIN_SIMD_TARGET static U unpacklo(U a, U b) { return _mm256_unpacklo_epi32(a, b); }
  MARROWFIN_SIMD_TARGET static U unpackhi(U a, U b) { return _mm256_unpackhi_epi32(a, b); }
};

void chacha20_draws_avx2(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                         std::uint64_t* out) noexcept {
  chacha20_draws_batch<Avx2Words>(key, counter, blocks, out, simd::Level::Scalar);
}

void box_muller_pairs_avx2(const std::uint64_t* draws, std::size_t pairs, double* out) {
  box_muller_batch<simd::Avx2Lanes>(draws, pairs, out);
}

constexpr Kernels kAvx2Kernels{&chacha20_draws_avx2, &box_muller_pairs_avx2};

}  // namespace

const Kernels& avx2_kernels() noexcept { return kAvx2Kernels; }

}  // namespace marrowfin::rotation::stream_kernels
