// The simd room (src/core/simd): the one notion of "which instruction set a
// kernel runs on", its detection, and the lane traits (lanes_scalar.hpp,
// lanes_avx2.hpp, lanes_avx512.hpp) the kernels of every family are written
// in. What must never change: a level changes speed, never a bit.
//
// Every kernel family (rotation apply and stream, Householder, quantization,
// the backend scan, ...) offers one implementation per Level and picks it
// through a single select(level) function. Implementations of one family
// compute every output with the same sequence of IEEE operations (lanes only
// ever hold independent outputs), so the level changes speed, never bits, and
// tests run every level this CPU supports in one process and compare bytes.
//
// Adding a level costs one enumerator here, one lanes header in this folder
// and one source file per kernel family.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace marrowfin::simd {

enum class Level : std::uint8_t {
  Scalar = 0,  // portable C++, the width-1 form of every kernel template
  Avx2 = 1,    // AVX2 and F16C: 256-bit lanes
  Avx512 = 2,  // AVX-512 F + DQ + VL: 512-bit lanes and 32 registers
};

inline constexpr Level kAllLevels[] = {Level::Scalar, Level::Avx2, Level::Avx512};

// The widest level this CPU runs, detected once per process.
[[nodiscard]] Level best_level() noexcept;

// Whether this CPU runs `level`.
[[nodiscard]] bool supported(Level level) noexcept;

// `requested`, lowered to the widest level this CPU runs.
[[nodiscard]] Level usable(Level requested) noexcept;

// Every level this CPU runs, narrowest first.
[[nodiscard]] std::span<const Level> supported_levels() noexcept;

// The table of `level` among one kernel family's per-level tables: the one
// place that maps a level to an implementation. Every family's select() is
// this call. Only the chosen accessor runs, so a table compiled for an
// instruction set this CPU lacks is never touched. A family without a table
// of its own for a level passes the next narrower one.
template <class Table>
const Table& pick(Level level, const Table& (*scalar)() noexcept, const Table& (*avx2)() noexcept,
                  const Table& (*avx512)() noexcept) noexcept {
  switch (level) {
    case Level::Avx512: return avx512();
    case Level::Avx2: return avx2();
    case Level::Scalar: break;
  }
  return scalar();
}

// "scalar", "avx2", "avx512": the names tests and CI use.
[[nodiscard]] std::string_view name(Level level) noexcept;

}  // namespace marrowfin::simd
