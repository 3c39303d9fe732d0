#include "core/simd/level.hpp"

namespace marrowfin::simd {

namespace {

struct Detected {
  Level best = Level::Scalar;
  Level levels[3] = {Level::Scalar, Level::Scalar, Level::Scalar};
  std::size_t count = 1;
};

const Detected& detected() noexcept {
  // __builtin_cpu_init makes the query safe even when it runs before the
  // runtime's own constructors (e.g. from another static initialiser).
  static const Detected found = [] {
    Detected d;
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    if (avx2) d.levels[d.count++] = d.best = Level::Avx2;
    if (avx512) d.levels[d.count++] = d.best = Level::Avx512;
    return d;
  }();
  return found;
}

}  // namespace

Level best_level() noexcept { return detected().best; }

bool supported(Level level) noexcept {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(best_level());
}

Level usable(Level requested) noexcept { return supported(requested) ? requested : best_level(); }

std::span<const Level> supported_levels() noexcept {
  const Detected& d = detected();
  return {d.levels, d.count};
}

std::string_view name(Level level) noexcept {
  switch (level) {
    case Level::Scalar: return "scalar";
    case Level::Avx2: return "avx2";
    case Level::Avx512: return "avx512";
  }
  return "unknown";
}

}  // namespace marrowfin::simd
