// AVX-512 rotation kernels: eight lanes of binary64, or four lanes with 32
// registers. A single M x keeps the four-lane in-register transpose of the
// AVX2 kernels, which costs fewer shuffles per element than an eight-lane
// one.
#include "core/simd/lanes_avx2.hpp"
#include "core/simd/lanes_avx512.hpp"

#include <cstddef>

#define MARROWFIN_SIMD_TARGET MARROWFIN_AVX512_TARGET
#include "core/rotation/apply/rotation_apply_kernels_simd.hpp"

namespace marrowfin::rotation::apply_kernels {
namespace {

// 256-bit lanes run M x and the panel form of M^T x: on Zen 4 they sustain
// close to two multiplies and two additions per cycle where 512-bit ones
// reach about three quarters of that, and VL's 32 registers hold a tile of
// 24 lane vectors of sums. M x: 4 rows by 24 vectors. Panels: 8 vectors by
// 12 columns.
struct Avx512ForwardTiles : simd::Avx2Lanes {
  static constexpr int forward_rows = 4;
  static constexpr int forward_vectors = 6;
  static constexpr auto forward_one = &forward_one_avx2;
};

struct Avx512PanelTiles : simd::Avx2Lanes {
  static constexpr int panel_vectors = 8;
  static constexpr int panel_lane_vectors = 3;
};

// M^T x by columns (small batches and single vectors) keeps 512-bit lanes,
// whose wider rows of the matrix suit its strided reads.
struct Avx512ColumnTiles : simd::Avx512Lanes {
  static constexpr std::size_t inverse_vectors = 8;
  static constexpr int inverse_columns = 3;
  static constexpr int inverse_single_vectors = 8;
};

constexpr ApplyKernels kAvx512ApplyKernels =
    make_apply_kernels<Avx512ForwardTiles, Avx512ColumnTiles, Avx512PanelTiles>();

}  // namespace

const ApplyKernels& avx512_apply_kernels() noexcept { return kAvx512ApplyKernels; }

}  // namespace marrowfin::rotation::apply_kernels
