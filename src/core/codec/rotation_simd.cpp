#include "core/codec/rotation_simd.hpp"

#include "core/common/cpu_features.hpp"

namespace marrowfin::codec {

namespace {

SimdLevel detect() noexcept {
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512f && cpu.avx512dq && cpu.avx512vl) return SimdLevel::avx512;
  if (cpu.avx2) return SimdLevel::avx2;
  return SimdLevel::scalar;
}

}  // namespace

SimdLevel best_simd_level() noexcept {
  static const SimdLevel level = detect();
  return level;
}

SimdLevel usable_simd_level(SimdLevel requested) noexcept {
  const SimdLevel best = best_simd_level();
  return static_cast<std::uint8_t>(requested) <= static_cast<std::uint8_t>(best) ? requested : best;
}

}  // namespace marrowfin::codec
