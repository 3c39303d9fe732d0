// The Householder kernels written once for any lane traits V. Included only by
// the per-instruction-set translation units, after they define
// MARROWFIN_SIMD_TARGET and their traits; everything here has internal
// linkage.
//
// Lanes always run along the column index, so a lane is one output element
// and the reductions (over rows in project, over reflectors in
// subtract_product and triangular_product) stay sequential per element. The
// register tiles (V::project_rows x V::project_vectors accumulators, and so on)
// only decide which outputs are computed together.
//
// Traits V provide: D (vector of V::width doubles), zero, set1, load, store,
// load_part / store_part (the first `count` lanes only, others untouched in
// memory), add, sub, mul, and the tile shape constants.
#pragma once

#include <cstddef>

#include "core/rotation/generate/householder_kernels.hpp"

namespace marrowfin::rotation::householder_kernels {
namespace {

template <class V, bool Partial>
MARROWFIN_SIMD_TARGET inline typename V::D load_lanes(const double* p, std::size_t count) {
  if constexpr (Partial) return V::load_part(p, count);
  return V::load(p);
}

template <class V, bool Partial>
MARROWFIN_SIMD_TARGET inline void store_lanes(double* p, typename V::D v, std::size_t count) {
  if constexpr (Partial) {
    V::store_part(p, v, count);
  } else {
    V::store(p, v);
  }
}

// A tile of W = V^T C: NP reflectors by NC vectors of columns, the last
// vector holding `tail` valid lanes when Partial.
template <class V, int NP, int NC, bool Partial>
MARROWFIN_SIMD_TARGET void project_tile(std::size_t m, const double* v, std::size_t ldv,
                                        const double* c, std::size_t ldc, double* w,
                                        std::size_t ldw, std::size_t tail) {
  using D = typename V::D;
  constexpr std::size_t W = V::width;
  D acc[NP][NC];
  for (int p = 0; p < NP; ++p) {
    for (int j = 0; j < NC; ++j) acc[p][j] = V::zero();
  }
  for (std::size_t i = 0; i < m; ++i) {
    const double* crow = c + i * ldc;
    const double* vrow = v + i * ldv;
    D cv[NC];
    for (int j = 0; j < NC - 1; ++j) cv[j] = V::load(crow + j * W);
    cv[NC - 1] = load_lanes<V, Partial>(crow + (NC - 1) * W, tail);
    for (int p = 0; p < NP; ++p) {
      const D b = V::set1(vrow[p]);
      for (int j = 0; j < NC; ++j) acc[p][j] = V::add(acc[p][j], V::mul(b, cv[j]));
    }
  }
  for (int p = 0; p < NP; ++p) {
    for (int j = 0; j < NC - 1; ++j) V::store(w + p * ldw + j * W, acc[p][j]);
    store_lanes<V, Partial>(w + p * ldw + (NC - 1) * W, acc[p][NC - 1], tail);
  }
}

// All reflectors for one strip of NC vectors, NP at a time, then one by one.
template <class V, int NC, bool Partial>
MARROWFIN_SIMD_TARGET void project_strip(std::size_t m, std::size_t k, const double* v,
                                         std::size_t ldv, const double* c, std::size_t ldc,
                                         double* w, std::size_t ldw, std::size_t tail) {
  constexpr int NP = V::project_rows;
  std::size_t p = 0;
  for (; p + NP <= k; p += NP)
    project_tile<V, NP, NC, Partial>(m, v + p, ldv, c, ldc, w + p * ldw, ldw, tail);
  if (k - p >= NP / 2 && NP / 2 > 0) {
    project_tile<V, NP / 2, NC, Partial>(m, v + p, ldv, c, ldc, w + p * ldw, ldw, tail);
    p += NP / 2;
  }
  for (; p < k; ++p) project_tile<V, 1, NC, Partial>(m, v + p, ldv, c, ldc, w + p * ldw, ldw, tail);
}

template <class V>
MARROWFIN_SIMD_TARGET void project(std::size_t m, std::size_t k, std::size_t cols, const double* v,
                                   std::size_t ldv, const double* c, std::size_t ldc, double* w,
                                   std::size_t ldw) {
  // Full strips of V::project_vectors vectors, then single vectors, then one
  // partial vector.
  constexpr std::size_t W = V::width;
  constexpr int NC = V::project_vectors;
  std::size_t col = 0;
  for (; col + NC * W <= cols; col += NC * W)
    project_strip<V, NC, false>(m, k, v, ldv, c + col, ldc, w + col, ldw, W);
  for (; col + W <= cols; col += W)
    project_strip<V, 1, false>(m, k, v, ldv, c + col, ldc, w + col, ldw, W);
  if (col < cols) project_strip<V, 1, true>(m, k, v, ldv, c + col, ldc, w + col, ldw, cols - col);
}

// A tile of C = C - V W: NR rows by NC vectors of columns.
template <class V, int NR, int NC, bool Partial>
MARROWFIN_SIMD_TARGET void subtract_tile(std::size_t k, const double* v, std::size_t ldv,
                                         const double* w, std::size_t ldw, double* c,
                                         std::size_t ldc, std::size_t tail) {
  using D = typename V::D;
  constexpr std::size_t W = V::width;
  D acc[NR][NC];
  for (int r = 0; r < NR; ++r) {
    for (int j = 0; j < NC; ++j) acc[r][j] = V::zero();
  }
  for (std::size_t p = 0; p < k; ++p) {
    const double* wrow = w + p * ldw;
    D wv[NC];
    for (int j = 0; j < NC - 1; ++j) wv[j] = V::load(wrow + j * W);
    wv[NC - 1] = load_lanes<V, Partial>(wrow + (NC - 1) * W, tail);
    for (int r = 0; r < NR; ++r) {
      const D b = V::set1(v[r * ldv + p]);
      for (int j = 0; j < NC; ++j) acc[r][j] = V::add(acc[r][j], V::mul(b, wv[j]));
    }
  }
  for (int r = 0; r < NR; ++r) {
    double* crow = c + r * ldc;
    for (int j = 0; j < NC - 1; ++j)
      V::store(crow + j * W, V::sub(V::load(crow + j * W), acc[r][j]));
    const D last = load_lanes<V, Partial>(crow + (NC - 1) * W, tail);
    store_lanes<V, Partial>(crow + (NC - 1) * W, V::sub(last, acc[r][NC - 1]), tail);
  }
}

template <class V, int NC, bool Partial>
MARROWFIN_SIMD_TARGET void subtract_strip(std::size_t m, std::size_t k, const double* v,
                                          std::size_t ldv, const double* w, std::size_t ldw,
                                          double* c, std::size_t ldc, std::size_t tail) {
  constexpr int NR = V::subtract_rows;
  std::size_t i = 0;
  for (; i + NR <= m; i += NR)
    subtract_tile<V, NR, NC, Partial>(k, v + i * ldv, ldv, w, ldw, c + i * ldc, ldc, tail);
  if (m - i >= NR / 2 && NR / 2 > 0) {
    subtract_tile<V, NR / 2, NC, Partial>(k, v + i * ldv, ldv, w, ldw, c + i * ldc, ldc, tail);
    i += NR / 2;
  }
  for (; i < m; ++i)
    subtract_tile<V, 1, NC, Partial>(k, v + i * ldv, ldv, w, ldw, c + i * ldc, ldc, tail);
}

template <class V>
MARROWFIN_SIMD_TARGET void subtract_product(std::size_t m, std::size_t k, std::size_t cols,
                                            const double* v, std::size_t ldv, const double* w,
                                            std::size_t ldw, double* c, std::size_t ldc) {
  constexpr std::size_t W = V::width;
  constexpr int NC = V::subtract_vectors;
  std::size_t col = 0;
  for (; col + NC * W <= cols; col += NC * W)
    subtract_strip<V, NC, false>(m, k, v, ldv, w + col, ldw, c + col, ldc, W);
  for (; col + W <= cols; col += W)
    subtract_strip<V, 1, false>(m, k, v, ldv, w + col, ldw, c + col, ldc, W);
  if (col < cols) subtract_strip<V, 1, true>(m, k, v, ldv, w + col, ldw, c + col, ldc, cols - col);
}

template <class V, bool Partial>
MARROWFIN_SIMD_TARGET void triangular_vector(std::size_t k, const double* l, bool lower,
                                             const double* w, std::size_t ldw, double* out,
                                             std::size_t ldo, std::size_t tail) {
  for (std::size_t p = 0; p < k; ++p) {
    const std::size_t first = lower ? 0 : p;
    const std::size_t last = lower ? p + 1 : k;
    typename V::D acc = V::zero();
    for (std::size_t q = first; q < last; ++q) {
      acc = V::add(acc, V::mul(V::set1(l[p * k + q]), load_lanes<V, Partial>(w + q * ldw, tail)));
    }
    store_lanes<V, Partial>(out + p * ldo, acc, tail);
  }
}

template <class V>
MARROWFIN_SIMD_TARGET void triangular_product(std::size_t k, std::size_t cols, const double* l,
                                              bool lower, const double* w, std::size_t ldw,
                                              double* out, std::size_t ldo) {
  constexpr std::size_t W = V::width;
  std::size_t col = 0;
  for (; col + W <= cols; col += W)
    triangular_vector<V, false>(k, l, lower, w + col, ldw, out + col, ldo, W);
  if (col < cols) triangular_vector<V, true>(k, l, lower, w + col, ldw, out + col, ldo, cols - col);
}

template <class V>
constexpr Kernels make_kernels() {
  return Kernels{&project<V>, &subtract_product<V>, &triangular_product<V>};
}

}  // namespace
}  // namespace marrowfin::rotation::householder_kernels
