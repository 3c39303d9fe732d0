// Which instruction-set variant the rotation kernels run. Every variant
// computes each output with the same sequence of binary64 operations (lanes
// only ever hold independent outputs), so the choice changes speed, never
// bits; tests force each level and compare bytes.
#pragma once

#include <cstdint>

namespace marrowfin::codec {

enum class SimdLevel : std::uint8_t {
  scalar = 0,
  avx2 = 1,    // AVX2 (256-bit lanes)
  avx512 = 2,  // AVX-512 F + DQ + VL (512-bit lanes, 32 registers)
};

// The widest level this CPU runs, detected once.
[[nodiscard]] SimdLevel best_simd_level() noexcept;

// `requested`, lowered to what this CPU runs.
[[nodiscard]] SimdLevel usable_simd_level(SimdLevel requested) noexcept;

}  // namespace marrowfin::codec
