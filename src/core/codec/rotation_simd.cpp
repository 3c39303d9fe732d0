#include "core/codec/rotation_simd.hpp"

namespace marrowfin::codec {

namespace {

SimdLevel detect() noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl")) {
    return SimdLevel::avx512;
  }
  if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
#endif
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
