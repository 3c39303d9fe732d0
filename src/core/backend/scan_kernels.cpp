#include "core/backend/scan_kernels.hpp"

#include "core/backend/cosine_similarity.hpp"

// The portable kernels and the choice of level. The per-level variants live in
// scan_kernels_<level>.cpp, each compiled for its own instruction set through
// target attributes, so the library as a whole still runs on baseline x86-64.
// They differ only in how many lanes one instruction covers; every lane sees
// the same multiply, then add, in the same order, and the same correctly
// rounded square root and division at the end. No variant may use a fused
// multiply-add (the build turns contraction off, and the intrinsics are plain
// mul and add).

namespace marrowfin::backend::scan_kernels {
namespace {

void score_blocks_scalar(const float* blocks, std::size_t block_count, std::size_t dim,
                         const float* query, float query_sum_of_squares,
                         const float* sums_of_squares, const std::uint8_t* flags,
                         float* scores) noexcept {
  for (std::size_t b = 0; b < block_count; ++b) {
    const float* row = blocks + b * dim * kBlockLanes;
    float dots[kBlockLanes] = {};
    for (std::size_t i = 0; i < dim; ++i, row += kBlockLanes) {
      const float q = query[i];
      for (std::size_t l = 0; l < kBlockLanes; ++l) dots[l] += q * row[l];
    }
    for (std::size_t l = 0; l < kBlockLanes; ++l) {
      const std::size_t s = b * kBlockLanes + l;
      scores[s] = (flags[s] & kSlotHasNan)
                      ? 0.0f
                      : cosine_from_sums(dots[l], query_sum_of_squares, sums_of_squares[s]);
    }
  }
}

void lane_sums_of_squares_scalar(const float* block, std::size_t dim, float* sums) noexcept {
  for (std::size_t l = 0; l < kBlockLanes; ++l) sums[l] = 0.0f;
  for (std::size_t i = 0; i < dim; ++i, block += kBlockLanes) {
    for (std::size_t l = 0; l < kBlockLanes; ++l) sums[l] += block[l] * block[l];
  }
}

constexpr Kernels kScalarKernels{&score_blocks_scalar, &lane_sums_of_squares_scalar};

}  // namespace

const Kernels& scalar_kernels() noexcept { return kScalarKernels; }

const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx512_kernels);
}

}  // namespace marrowfin::backend::scan_kernels
