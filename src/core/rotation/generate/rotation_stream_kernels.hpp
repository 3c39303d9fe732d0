// Bulk kernels of the sample stream: several ChaCha20 blocks at once (one
// block per 32-bit lane) and Box-Muller pairs in SIMD batches (one pair per
// 64-bit lane). Integer work is exact whatever the width; the floating-point
// batches replay the scalar operation sequence lane by lane, and hand the
// rare lanes that need another path back to the scalar code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/level.hpp"

namespace marrowfin::rotation::stream_kernels {

// Blocks counter, counter+1, ... of the keystream, 16 words each, to
// out[0 .. 16*blocks).
void chacha20_blocks_scalar(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                            std::uint32_t* out) noexcept;

struct Kernels {
  // The same blocks read as draws, 8 per block, to out[0 .. 8*blocks).
  void (*chacha20_draws)(const std::uint32_t key[8], std::uint64_t counter, std::size_t blocks,
                         std::uint64_t* out) noexcept;
  // See box_muller_pairs in rotation_stream.hpp: 2*pairs samples from
  // 2*pairs draws, no first uniform zero.
  void (*box_muller_pairs)(const std::uint64_t* draws, std::size_t pairs, double* out);
};

// The kernels of `level`, which must be supported by this CPU.
const Kernels& select(simd::Level level) noexcept;

// One table per level, each defined in that level's source file.
const Kernels& scalar_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;
const Kernels& avx512_kernels() noexcept;

}  // namespace marrowfin::rotation::stream_kernels
