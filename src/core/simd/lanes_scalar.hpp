// One binary64 "lane": the width-1 form of the lane traits in this folder
// (Level::Scalar). Kernel templates instantiated with it are the reference
// loops every wider level must match bit for bit.
#pragma once

#include <cstddef>

namespace marrowfin::simd {

struct ScalarLanes {
  using D = double;
  static constexpr std::size_t width = 1;

  static D zero() { return 0.0; }
  static D set1(double v) { return v; }
  static D load(const double* p) { return *p; }
  static void store(double* p, D v) { *p = v; }
  // `count` is at most width, so the one lane is always read and written.
  static D load_part(const double* p, std::size_t) { return *p; }
  static void store_part(double* p, D v, std::size_t) { *p = v; }
  static D add(D a, D b) { return a + b; }
  static D sub(D a, D b) { return a - b; }
  static D mul(D a, D b) { return a * b; }
};

}  // namespace marrowfin::simd
