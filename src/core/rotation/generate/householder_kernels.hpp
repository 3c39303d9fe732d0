// The three dense kernels the blocked Householder QR is made of. Each output
// element is one fixed sequence of binary64 operations (a sum from +0.0 in
// increasing index order); the variants only differ in how many independent
// outputs they compute side by side, so every variant produces the same bits.
//
// Matrices are row-major with an explicit leading dimension (the distance in
// doubles between consecutive rows).
#pragma once

#include <cstddef>

#include "core/simd/level.hpp"

namespace marrowfin::rotation::householder_kernels {

struct Kernels {
  // W = V^T C. V: m x k (ldv), C: m x cols (ldc), W: k x cols (ldw).
  // W[p][c] = sum over i = 0 .. m-1 of V[i][p] * C[i][c].
  void (*project)(std::size_t m, std::size_t k, std::size_t cols, const double* v, std::size_t ldv,
                  const double* c, std::size_t ldc, double* w, std::size_t ldw);

  // C = C - V W. V: m x k (ldv), W: k x cols (ldw), C: m x cols (ldc).
  // C[i][c] = C[i][c] - s, s = sum over p = 0 .. k-1 of V[i][p] * W[p][c].
  void (*subtract_product)(std::size_t m, std::size_t k, std::size_t cols, const double* v,
                           std::size_t ldv, const double* w, std::size_t ldw, double* c,
                           std::size_t ldc);

  // Out = L W for a k x k triangular L (ldl = k). Out: k x cols (ldo), W: k x cols (ldw).
  // Out[p][c] = sum of L[p][q] * W[q][c] over q = 0 .. p (lower) or q = p .. k-1 (upper).
  void (*triangular_product)(std::size_t k, std::size_t cols, const double* l, bool lower,
                             const double* w, std::size_t ldw, double* out, std::size_t ldo);
};

// The kernels of `level`, which must be supported by this CPU.
const Kernels& select(simd::Level level) noexcept;

// One table per level, each defined in that level's source file.
const Kernels& scalar_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;
const Kernels& avx512_kernels() noexcept;

}  // namespace marrowfin::rotation::householder_kernels
