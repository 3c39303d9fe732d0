// The arithmetic over blocks of interleaved stored vectors.
//
// Block layout (kBlockLanes vectors of length dim, dim * kBlockLanes floats):
// element i of the vector in lane l is at block[i * kBlockLanes + l]. Every
// kernel keeps one running float32 sum per lane and adds each rounded product
// in increasing i, so each lane's sum is formed exactly as the scalar
// definition (cosine_similarity.hpp) forms it, whatever the SIMD width: all
// levels give identical bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/level.hpp"

namespace marrowfin::backend {

inline constexpr std::size_t kBlockLanes = 16;

// Per-slot flags kept beside the vectors.
inline constexpr std::uint8_t kSlotLive = 1;
inline constexpr std::uint8_t kSlotHasNan = 2;

namespace scan_kernels {

struct Kernels {
  // Cosine similarity of a NaN-free query against every lane of block_count
  // consecutive blocks: for lane s, cosine_from_sums(query · vector_s,
  // query_sum_of_squares, sums_of_squares[s]), or 0.0 when flags[s] has
  // kSlotHasNan.
  //   blocks: block_count * dim * kBlockLanes floats;  query: dim floats;
  //   sums_of_squares, flags, scores: block_count * kBlockLanes each.
  void (*score_blocks)(const float* blocks, std::size_t block_count, std::size_t dim,
                       const float* query, float query_sum_of_squares, const float* sums_of_squares,
                       const std::uint8_t* flags, float* scores) noexcept;

  // Each lane's own sum of squares (sequential_sum_of_squares of the lane's
  // vector) into sums[kBlockLanes]. block: dim * kBlockLanes floats.
  void (*lane_sums_of_squares)(const float* block, std::size_t dim, float* sums) noexcept;
};

// The kernels of `level`, which must be supported by this CPU.
[[nodiscard]] const Kernels& select(simd::Level level) noexcept;

// One table per level, each defined in that level's source file.
const Kernels& scalar_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;
const Kernels& avx512_kernels() noexcept;

}  // namespace scan_kernels
}  // namespace marrowfin::backend
