// Batch kernels for M x and M^T x written once for any lane traits V.
// Included only by the per-instruction-set translation units after they
// define MARROWFIN_SIMD_TARGET and their traits; internal linkage throughout.
//
// Traits V provide the lane operations of the rotation lane traits and the
// tile shapes of their kernel: forward_rows, forward_vectors and
// forward_one (the kernel for a single vector of M x that takes the vectors
// a batch leaves over) for M x; inverse_vectors, inverse_columns and
// inverse_single_vectors for M^T x by columns; panel_vectors and
// panel_lane_vectors (a tile of that many vectors by lane vectors of
// columns) for M^T x by panels.
//
// Both batch forms first widen a chunk of input vectors to binary64,
// transposed (xt[i][v] = x_v[i]), so that one broadcast scalar of the matrix
// meets a vector of lanes that are different input vectors (M x) or a
// vector of the matrix row meets one broadcast input value (M^T x).
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/rotation/apply/rotation_apply_kernels.hpp"

namespace marrowfin::rotation::apply_kernels {
namespace {

// The lanes as output floats, a NaN as the positive quiet NaN (see
// output_float).
template <class V>
MARROWFIN_SIMD_TARGET inline void to_output_floats(float* out, typename V::D v) {
  V::store_floats(out,
                  V::blend(V::is_nan(v), v, V::set1(std::numeric_limits<double>::quiet_NaN())));
}

// xt (n x ld) = the chunk's vectors, widened and transposed; lanes past
// `valid` are zero.
inline void widen_transposed(const float* x, std::size_t n, std::size_t valid, std::size_t ld,
                             double* xt) {
  std::fill(xt, xt + n * ld, 0.0);
  for (std::size_t v = 0; v < valid; ++v) {
    const float* row = x + v * n;
    for (std::size_t i = 0; i < n; ++i) xt[i * ld + v] = static_cast<double>(row[i]);
  }
}

// Rows [i0, i0+R) of M x for the chunk's NV * width vectors.
template <class V, int R, int NV>
MARROWFIN_SIMD_TARGET void forward_tile(const double* m, std::size_t n, std::size_t i0,
                                        const double* xt, std::size_t ld, std::size_t valid,
                                        float* out) {
  using D = typename V::D;
  constexpr std::size_t W = V::width;
  D acc[R][NV];
  for (int r = 0; r < R; ++r) {
    for (int j = 0; j < NV; ++j) acc[r][j] = V::zero();
  }
  const double* rows = m + i0 * n;
  for (std::size_t k = 0; k < n; ++k) {
    D xv[NV];
    for (int j = 0; j < NV; ++j) xv[j] = V::load(xt + k * ld + j * W);
    for (int r = 0; r < R; ++r) {
      const D b = V::set1(rows[r * n + k]);
      for (int j = 0; j < NV; ++j) acc[r][j] = V::add(acc[r][j], V::mul(b, xv[j]));
    }
  }
  for (int r = 0; r < R; ++r) {
    for (int j = 0; j < NV; ++j) {
      float lanes[W];
      to_output_floats<V>(lanes, acc[r][j]);
      for (std::size_t l = 0; l < W && j * W + l < valid; ++l)
        out[(j * W + l) * n + i0 + r] = lanes[l];
    }
  }
}

template <class V>
MARROWFIN_SIMD_TARGET void forward_chunk(const double* m, std::size_t n, const double* xt,
                                         std::size_t valid, float* out) {
  constexpr int R = V::forward_rows;
  constexpr int NV = V::forward_vectors;
  constexpr std::size_t ld = NV * V::width;
  std::size_t i = 0;
  for (; i + R <= n; i += R) forward_tile<V, R, NV>(m, n, i, xt, ld, valid, out);
  for (; i < n; ++i) forward_tile<V, 1, NV>(m, n, i, xt, ld, valid, out);
}

// Whole chunks of vectors through the tiles; what is left over, if few,
// through V::forward_one (a kernel for a single vector with the same sums).
template <class V>
MARROWFIN_SIMD_TARGET void forward_many(const double* m, std::size_t n, const float* x,
                                        std::size_t count, float* out) {
  constexpr std::size_t chunk = V::forward_vectors * V::width;
  std::vector<double> xt;
  std::size_t v = 0;
  while (v < count) {
    const std::size_t valid = std::min(chunk, count - v);
    if (valid * 4 < chunk) break;
    xt.resize(n * chunk);
    widen_transposed(x + v * n, n, valid, chunk, xt.data());
    forward_chunk<V>(m, n, xt.data(), valid, out + v * n);
    v += valid;
  }
  for (; v < count; ++v) V::forward_one(m, n, x + v * n, out + v * n);
}

// A tile of M^T x: NVEC vectors by NK lane vectors of columns, summed over
// all n rows of the matrix. Row i of the tile's columns starts at
// rows + i * row_stride, and row i of xt (at xt + i * ld) holds the vectors'
// values i. Writes the first `vectors` outputs' first `columns` values,
// each output row n floats after the last. With Partial, the last lane
// vector reads only the lanes inside `columns`.
template <class V, int NVEC, int NK, bool Partial>
MARROWFIN_SIMD_TARGET void inverse_tile(const double* rows, std::size_t row_stride, std::size_t n,
                                        const double* xt, std::size_t ld, std::size_t vectors,
                                        std::size_t columns, float* out) {
  using D = typename V::D;
  constexpr std::size_t W = V::width;
  D acc[NVEC][NK];
  for (int v = 0; v < NVEC; ++v) {
    for (int j = 0; j < NK; ++j) acc[v][j] = V::zero();
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = rows + i * row_stride;
    D mv[NK];
    for (int j = 0; j < NK - 1; ++j) mv[j] = V::load(row + j * W);
    if constexpr (Partial) {
      mv[NK - 1] = V::load_part(row + (NK - 1) * W, columns - (NK - 1) * W);
    } else {
      mv[NK - 1] = V::load(row + (NK - 1) * W);
    }
    for (int v = 0; v < NVEC; ++v) {
      const D b = V::set1(xt[i * ld + v]);
      for (int j = 0; j < NK; ++j) acc[v][j] = V::add(acc[v][j], V::mul(mv[j], b));
    }
  }
  for (std::size_t v = 0; v < vectors; ++v) {
    float* target = out + v * n;
    for (std::size_t j = 0; j < NK && j * W < columns; ++j) {
      if ((j + 1) * W <= columns) {
        to_output_floats<V>(target + j * W, acc[v][j]);
      } else {
        float lanes[W];
        to_output_floats<V>(lanes, acc[v][j]);
        std::copy_n(lanes, columns - j * W, target + j * W);
      }
    }
  }
}

// M^T x for `groups` groups of NVEC vectors held side by side in xt (ld
// columns): column tiles outermost, so each tile of the matrix is read from
// memory once and then reused from cache by every group.
template <class V, int NVEC>
MARROWFIN_SIMD_TARGET void inverse_columns(const double* m, std::size_t n, const double* xt,
                                           std::size_t ld, std::size_t groups, float* out) {
  constexpr std::size_t W = V::width;
  constexpr int NK = NVEC == 1 ? V::inverse_single_vectors : V::inverse_columns;
  std::size_t k = 0;
  for (; k + NK * W <= n; k += NK * W) {
    for (std::size_t g = 0; g < groups; ++g) {
      inverse_tile<V, NVEC, NK, false>(m + k, n, n, xt + g * NVEC, ld, NVEC, NK * W,
                                       out + g * NVEC * n + k);
    }
  }
  for (; k + W <= n; k += W) {
    for (std::size_t g = 0; g < groups; ++g) {
      inverse_tile<V, NVEC, 1, false>(m + k, n, n, xt + g * NVEC, ld, NVEC, W,
                                      out + g * NVEC * n + k);
    }
  }
  if (k < n) {
    for (std::size_t g = 0; g < groups; ++g) {
      inverse_tile<V, NVEC, 1, true>(m + k, n, n, xt + g * NVEC, ld, NVEC, n - k,
                                     out + g * NVEC * n + k);
    }
  }
}

template <class V>
MARROWFIN_SIMD_TARGET void inverse_many(const double* m, std::size_t n, const float* x,
                                        std::size_t count, float* out) {
  constexpr std::size_t group = V::inverse_vectors;
  // Each chunk streams the whole matrix once, so chunks are as wide as the
  // cache allows (measured: narrower chunks lose more to re-reading the
  // matrix than they gain in cache hits on the widened inputs).
  constexpr std::size_t groups_per_chunk = 8;
  std::vector<double> xt;
  std::size_t v = 0;
  while (count - v >= group) {
    const std::size_t groups = std::min(groups_per_chunk, (count - v) / group);
    const std::size_t ld = groups * group;
    xt.resize(n * ld);
    widen_transposed(x + v * n, n, ld, ld, xt.data());
    inverse_columns<V, static_cast<int>(group)>(m, n, xt.data(), ld, groups, out + v * n);
    v += ld;
  }
  for (; v < count; ++v) {
    xt.resize(n);
    widen_transposed(x + v * n, n, 1, 1, xt.data());
    inverse_columns<V, 1>(m, n, xt.data(), 1, 1, out + v * n);
  }
}

// M^T x from panels (see pack_panels). Chunks of vectors are widened in
// groups of NV, each group's values transposed so that row i is contiguous;
// then every panel passes over the whole chunk, which stays in L2, while
// the panel streams in row order.
template <class P>
MARROWFIN_SIMD_TARGET void inverse_panels(const double* panels, std::size_t n, const float* x,
                                          std::size_t count, float* out) {
  constexpr int NV = P::panel_vectors;
  constexpr int NK = P::panel_lane_vectors;
  constexpr std::size_t columns = NK * P::width;
  constexpr std::size_t chunk = 96;
  static_assert(chunk % NV == 0);
  std::vector<double> xg;
  for (std::size_t v0 = 0; v0 < count; v0 += chunk) {
    const std::size_t vectors = std::min(chunk, count - v0);
    const std::size_t groups = (vectors + NV - 1) / NV;
    xg.resize(groups * n * NV);
    for (std::size_t g = 0; g < groups; ++g) {
      widen_transposed(x + (v0 + g * NV) * n, n, std::min<std::size_t>(NV, vectors - g * NV), NV,
                       xg.data() + g * n * NV);
    }
    for (std::size_t first = 0; first < n; first += columns) {
      for (std::size_t g = 0; g < groups; ++g) {
        inverse_tile<P, NV, NK, false>(panels + first * n, columns, n, xg.data() + g * n * NV, NV,
                                       std::min<std::size_t>(NV, vectors - g * NV),
                                       std::min(columns, n - first),
                                       out + (v0 + g * NV) * n + first);
      }
    }
  }
}

// Lanes and tiles of each kernel: F of M x, I of M^T x by columns, P of
// M^T x by panels.
template <class F, class I, class P>
constexpr ApplyKernels make_apply_kernels() {
  return ApplyKernels{&forward_many<F>, &inverse_many<I>, P::panel_lane_vectors * P::width,
                      &inverse_panels<P>};
}

}  // namespace
}  // namespace marrowfin::rotation::apply_kernels
