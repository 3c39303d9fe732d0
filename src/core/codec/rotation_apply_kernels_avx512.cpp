// AVX-512 rotation kernels: eight lanes of binary64. A single M x keeps the
// four-lane in-register transpose, which costs fewer shuffles per element
// than an eight-lane one.
#if defined(__x86_64__)

#include "core/codec/rotation_lanes_avx512.hpp"

#include <cstddef>

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX512_TARGET
#include "core/codec/rotation_apply_kernels_simd.hpp"

namespace marrowfin::codec::apply_kernels {
namespace {

struct Avx512Tiles : simd::Avx512Lanes {
  static constexpr int forward_rows = 4;
  static constexpr int forward_vectors = 4;
  static constexpr std::size_t inverse_vectors = 8;
  static constexpr int inverse_columns = 3;
  static constexpr int inverse_single_vectors = 8;
  static constexpr auto forward_one = &forward_one_avx2;
};

constexpr ApplyKernels kAvx512ApplyKernels = make_apply_kernels<Avx512Tiles>();

}  // namespace

const ApplyKernels& avx512_apply_kernels() noexcept { return kAvx512ApplyKernels; }

}  // namespace marrowfin::codec::apply_kernels

#endif  // __x86_64__
