// AVX-512 variants of the sample-stream kernels: sixteen ChaCha20 blocks per
// pass (one per 32-bit lane) and eight Box-Muller pairs per pass.
#include "core/simd/lanes_avx512.hpp"

#include <cstddef>
#include <cstdint>

#include "core/rotation/generate/rotation_stream_kernels.hpp"

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX512_TARGET
#include "core/rotation/generate/rotation_stream_kernels_simd.hpp"

namespace marrowfin::rotation::stream_kernels {
namespace {

struct Avx512Words {
  using U = __m512i;  // one word of sixteen blocks
  static constexpr int blocks = 16;

  MARROWFIN_SIMD_TARGET static U set1(std::uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
  }
  MARROWFIN_SIMD_TARGET static U load(const std::uint32_t* p) { return _mm512_load_si512(p); }
  MARROWFIN_SIMD_TARGET static void store(std::uint64_t* p, U v) { _mm512_store_si512(p, v); }
  MARROWFIN_SIMD_TARGET static U add(U a, U b) { return _mm512_add_epi32(a, b); }
  MARROWFIN_SIMD_TARGET static U bxor(U a, U b) { return _mm512_xor_si512(a, b); }
  template <int Bits>
  MARROWFIN_SIMD_TARGET static U rotl(U v) {
    return _mm512_rol_epi32(v, Bits);
  }
  MARROWFIN_SIMD_TARGET static U unpacklo(U a, U b) { return _mm512_unpacklo_epi32(a, b); }
  MARROWFIN_SIMD_TARGET static U unpackhi(U a, U b) { return _mm512_unpackhi_epi32(a, b); }
};

// The blocks left over from the sixteen-block passes go through the AVX2 kernel.
void chacha20_draws_avx512(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                           std::uint64_t* out) noexcept {
  chacha20_draws_batch<Avx512Words>(key, counter, blocks, out, simd::Level::Avx2);
}

void box_muller_pairs_avx512(const std::uint64_t* draws, std::size_t pairs, double* out) {
  box_muller_batch<simd::Avx512Lanes>(draws, pairs, out);
}

constexpr Kernels kAvx512Kernels{&chacha20_draws_avx512, &box_muller_pairs_avx512};

}  // namespace

const Kernels& avx512_kernels() noexcept { return kAvx512Kernels; }

}  // namespace marrowfin::rotation::stream_kernels
