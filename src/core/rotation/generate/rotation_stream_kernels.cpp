#include "core/rotation/generate/rotation_stream_kernels.hpp"

#include "core/rotation/generate/rotation_stream.hpp"

#define MARROWFIN_SIMD_TARGET
#include "core/rotation/generate/rotation_stream_kernels_simd.hpp"

namespace marrowfin::rotation::stream_kernels {

namespace {

// One block per "vector": the reference every wider variant must match.
struct ScalarWords {
  using U = std::uint32_t;
  static constexpr int blocks = 1;

  static U set1(std::uint32_t v) { return v; }
  static U load(const std::uint32_t* p) { return *p; }
  static U add(U a, U b) { return a + b; }
  static U bxor(U a, U b) { return a ^ b; }
  template <int Bits>
  static U rotl(U v) {
    return (v << Bits) | (v >> (32 - Bits));
  }
};

}  // namespace

void chacha20_blocks_scalar(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                            std::uint32_t* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, ++counter) {
    std::uint32_t input[16];
    chacha20_input<ScalarWords>(key, counter, input);
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    chacha20_rounds<ScalarWords>(x);
    for (int i = 0; i < 16; ++i) out[16 * b + i] = x[i] + input[i];
  }
}

namespace {

void chacha20_draws_scalar(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                           std::uint64_t* out) noexcept {
  std::uint32_t words[16];
  for (std::size_t b = 0; b < blocks; ++b) {
    chacha20_blocks_scalar(key, counter + b, 1, words);
    for (int j = 0; j < 8; ++j) {
      out[8 * b + j] = words[2 * j] | (static_cast<std::uint64_t>(words[2 * j + 1]) << 32);
    }
  }
}

constexpr Kernels kScalarKernels{&chacha20_draws_scalar, &box_muller_scalar};

}  // namespace

const Kernels& scalar_kernels() noexcept { return kScalarKernels; }

const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx512_kernels);
}

}  // namespace marrowfin::rotation::stream_kernels
