#include "core/rotation/generate/householder_qr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/common/block_runner.hpp"
#include "core/common/parallel.hpp"
#include "core/rotation/generate/householder_kernels.hpp"

// Blocked Householder QR in the compact WY form. For each panel of
// kHouseholderPanelWidth columns: factor the panel one reflector at a time,
// build the triangular T with H_0 H_1 ... H_{b-1} = I - V T V^T, and apply
// Q_panel^T = I - V T^T V^T to the columns right of the panel. Q is then
// accumulated backwards, panel by panel, in the same storage (as LAPACK's
// dorgqr does), so the whole factorisation needs one n x n array.
//
// Reflector convention (as LAPACK's dlarfg): for a column (alpha, x),
// beta = -sign(alpha) * sqrt(alpha^2 + |x|^2), v = (1, x / (alpha - beta)),
// tau = (beta - alpha) / beta, and R's diagonal entry is beta. |x|^2 is summed
// in increasing row order. A zero x gives tau = 0 (no reflection) and keeps
// alpha on the diagonal.
//
// While its panel is being processed V is packed (m x b, row-major) with its
// unit diagonal and the zeros above it written out, so that every kernel sums
// over the same full index range whichever variant runs it; in between it
// waits below the matrix diagonal.
//
// Parallelism: the trailing update of one panel (and each step of the
// accumulation of Q) is split into column blocks; a column's result depends
// only on its own data, so any assignment of blocks to threads gives the
// same bytes. One thread (nearly always the calling one) looks one panel
// ahead: it first updates the next panel's columns, then factors that panel
// while the others update the columns beyond it, so the serial panel work
// overlaps the parallel update. The threads are one BlockPool kept for the
// whole factorisation, so an exception in any of them ends the step and is
// rethrown here, on the caller.

namespace marrowfin::rotation {

void (*QrTestHooks::column_task)(std::size_t task) = nullptr;

namespace {

namespace hk = householder_kernels;

// Columns per parallel task; a strip of this width times the panel height
// stays in the per-core cache across the two passes over it.
constexpr std::size_t kColumnBlock = 96;

// The reflectors of one panel in compact WY form. V itself lives in the
// matrix below the panel's diagonal between factorisation and the forming
// of Q; `v` is the packed working copy of the panel being processed.
struct Panel {
  std::size_t start = 0;             // first column (and row) the panel covers
  std::size_t width = 0;             // b
  double* v = nullptr;               // (n - start) x b, unit lower trapezoidal
  std::vector<double> t;             // b x b, upper triangular
  std::vector<double> t_transposed;  // b x b, lower triangular
};

// The column-block tasks of one parallel step, with the calling thread's own
// serial work first: block 0 of the run is `own_work`, blocks 1 .. count are
// the tasks, so whichever thread claims block 0 (nearly always the caller,
// which starts claiming at once) does the serial work while the others take
// the tasks. `own_work` must not touch what the tasks touch. Each task and
// the serial work get the scratch space of the worker that runs them.
using Task = std::function<void(std::size_t task, double* scratch)>;

template <class OwnWork>
void run_step(BlockPool& pool, std::vector<std::vector<double>>& scratch, std::size_t count,
              const Task& task, OwnWork&& own_work) {
  pool.run(count + 1, StopToken::never(), [&](std::uint64_t block, unsigned worker) {
    if (block == 0) {
      own_work(scratch[worker].data());
    } else {
      if (QrTestHooks::column_task != nullptr) QrTestHooks::column_task(block - 1);
      task(static_cast<std::size_t>(block - 1), scratch[worker].data());
    }
    return true;
  });
}

unsigned choose_threads(std::size_t n, unsigned requested) {
  if (requested != 0) return requested;
  if (n < 256) return 1;
  const auto cpus = static_cast<unsigned>(available_cpus());
  return std::min(cpus, 8u);
}

// Factors the m x b panel P (ld b) in place into packed V; returns tau and
// R's diagonal entries (beta).
void factor_panel(const hk::Kernels& k, double* p, std::size_t m, std::size_t b, double* tau,
                  double* beta, double* scratch) {
  for (std::size_t c = 0; c < b; ++c) {
    double* top = p + c * b + c;
    const double alpha = *top;
    double sum_squares = 0.0;
    for (std::size_t i = c + 1; i < m; ++i) {
      const double x = p[i * b + c];
      sum_squares = sum_squares + x * x;
    }
    if (sum_squares == 0.0) {
      tau[c] = 0.0;
      beta[c] = alpha;
      *top = 1.0;
      continue;
    }
    const double norm = std::sqrt(alpha * alpha + sum_squares);
    const double b_c = alpha >= 0.0 ? -norm : norm;
    tau[c] = (b_c - alpha) / b_c;
    beta[c] = b_c;
    const double scale = 1.0 / (alpha - b_c);
    for (std::size_t i = c + 1; i < m; ++i) p[i * b + c] = p[i * b + c] * scale;
    *top = 1.0;
    if (c + 1 == b) break;
    // Apply H_c = I - tau v v^T to the panel columns on its right:
    // w = v^T P, then P = P - v (tau w).
    const std::size_t rows = m - c;
    const std::size_t cols = b - c - 1;
    k.project(rows, 1, cols, top, b, top + 1, b, scratch, cols);
    for (std::size_t j = 0; j < cols; ++j) scratch[j] = tau[c] * scratch[j];
    k.subtract_product(rows, 1, cols, top, b, scratch, cols, top + 1, b);
  }
  // Above the unit diagonal the panel still holds R; V is zero there.
  for (std::size_t r = 0; r < b; ++r) {
    for (std::size_t c = r + 1; c < b; ++c) p[r * b + c] = 0.0;
  }
}

// T with H_0 ... H_{b-1} = I - V T V^T, column by column:
// T(c, c) = tau_c, T(0:c, c) = -(tau_c * T(0:c, 0:c) (V^T v_c)).
void build_t(const hk::Kernels& k, Panel& panel, std::size_t m, const double* tau, double* gram) {
  const std::size_t b = panel.width;
  k.project(m, b, b, panel.v, b, panel.v, b, gram, b);
  for (std::size_t c = 0; c < b; ++c) {
    panel.t[c * b + c] = tau[c];
    for (std::size_t p = 0; p < c; ++p) {
      double y = 0.0;
      for (std::size_t q = p; q < c; ++q) y = y + panel.t[p * b + q] * gram[q * b + c];
      panel.t[p * b + c] = -(tau[c] * y);
    }
  }
  for (std::size_t r = 0; r < b; ++r) {
    for (std::size_t c = 0; c < b; ++c) panel.t_transposed[c * b + r] = panel.t[r * b + c];
  }
}

// C = (I - V L V^T) C for the m x cols block at `c` (ld n): W = V^T C,
// W = L W, C = C - V W. L is T (lower = false) or T^T (lower = true).
// `scratch` holds 2 * b * cols values.
void apply_block_reflector(const hk::Kernels& k, const Panel& panel, bool transposed, double* c,
                           std::size_t ldc, std::size_t m, std::size_t cols, double* scratch) {
  const std::size_t b = panel.width;
  const double* l = transposed ? panel.t_transposed.data() : panel.t.data();
  double* projected = scratch;
  double* combined = scratch + b * cols;
  k.project(m, b, cols, panel.v, b, c, ldc, projected, cols);
  k.triangular_product(b, cols, l, transposed, projected, cols, combined, cols);
  k.subtract_product(m, b, cols, panel.v, b, combined, cols, c, ldc);
}

// The same over columns [first, end) of rows [row, n), split into tasks of
// kColumnBlock columns; `own_work(scratch)` runs beside them (run_step).
template <class OwnWork>
void apply_in_parallel(const hk::Kernels& k, BlockPool& pool,
                       std::vector<std::vector<double>>& scratch, const Panel& panel,
                       bool transposed, double* a, std::size_t n, std::size_t row,
                       std::size_t first, std::size_t end, OwnWork&& own_work) {
  const std::size_t cols = end - first;
  const std::size_t tasks = (cols + kColumnBlock - 1) / kColumnBlock;
  const Task task = [&](std::size_t index, double* task_scratch) {
    const std::size_t begin = first + index * kColumnBlock;
    const std::size_t width = std::min(kColumnBlock, end - begin);
    apply_block_reflector(k, panel, transposed, a + row * n + begin, n, n - row, width,
                          task_scratch);
  };
  run_step(pool, scratch, tasks, task, own_work);
}

}  // namespace

bool orthogonal_factor_in_place(double* a, std::size_t n, const QrOptions& options) {
  if (n == 0) return true;
  const hk::Kernels& k = hk::select(simd::usable(options.simd));
  BlockPool pool(choose_threads(n, options.threads));
  constexpr std::size_t kWidth = kHouseholderPanelWidth;
  std::vector<std::vector<double>> scratch(pool.workers(),
                                           std::vector<double>(2 * kWidth * kColumnBlock));

  // Two packed V buffers: the panel being applied and the one being prepared.
  std::vector<double> packed[2] = {std::vector<double>(n * std::min(n, kWidth)),
                                   std::vector<double>(n * std::min(n, kWidth))};
  std::vector<Panel> panels((n + kWidth - 1) / kWidth);
  for (std::size_t p = 0; p < panels.size(); ++p) {
    panels[p].start = p * kWidth;
    panels[p].width = std::min(kWidth, n - p * kWidth);
    panels[p].v = packed[p % 2].data();
    panels[p].t.assign(panels[p].width * panels[p].width, 0.0);
    panels[p].t_transposed.assign(panels[p].width * panels[p].width, 0.0);
  }
  std::vector<double> diagonal(n);
  std::vector<double> tau(kWidth);
  std::vector<double> gram(kWidth * kWidth);
  std::vector<double> panel_scratch(kWidth);

  auto factor = [&](Panel& panel) {
    const std::size_t j = panel.start;
    const std::size_t b = panel.width;
    const std::size_t m = n - j;
    for (std::size_t i = 0; i < m; ++i) std::copy_n(a + (j + i) * n + j, b, panel.v + i * b);
    factor_panel(k, panel.v, m, b, tau.data(), diagonal.data() + j, panel_scratch.data());
    build_t(k, panel, m, tau.data(), gram.data());
  };
  // V waits below the diagonal; R above it is not needed beyond its diagonal.
  auto park = [&](const Panel& panel) {
    const std::size_t j = panel.start;
    const std::size_t b = panel.width;
    for (std::size_t r = 1; r < n - j; ++r)
      std::copy_n(panel.v + r * b, std::min(r, b), a + (j + r) * n + j);
  };

  factor(panels[0]);
  for (std::size_t p = 0; p + 1 < panels.size(); ++p) {
    if (options.stop->stop_requested()) return false;
    const Panel& panel = panels[p];
    Panel& next = panels[p + 1];
    const std::size_t j = panel.start;
    const std::size_t beyond = next.start + next.width;
    apply_in_parallel(k, pool, scratch, panel, true, a, n, j, beyond, n, [&](double* own_scratch) {
      apply_block_reflector(k, panel, true, a + j * n + next.start, n, n - j, next.width,
                            own_scratch);
      park(panel);
      factor(next);
    });
  }
  park(panels.back());

  // Q = H_0 H_1 ... H_{n-1} I, accumulated from the last panel back, in
  // place. When panel j is applied, the columns right of it already hold
  // their part of Q with zeros in rows above j, and its own columns have been
  // reset to the identity once V was taken out of them; the trailing square
  // from (j, j) is then exactly what the product with the identity would
  // hold at this step.
  auto unpark = [&](Panel& panel) {
    const std::size_t j = panel.start;
    const std::size_t b = panel.width;
    for (std::size_t r = 0; r < n - j; ++r) {
      double* packed_row = panel.v + r * b;
      const double* row = a + (j + r) * n + j;
      for (std::size_t c = 0; c < b; ++c) packed_row[c] = r > c ? row[c] : (r == c ? 1.0 : 0.0);
    }
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < b; ++c) a[i * n + j + c] = i == j + c ? 1.0 : 0.0;
    }
  };
  unpark(panels.back());
  for (std::size_t p = panels.size(); p-- > 0;) {
    if (options.stop->stop_requested()) return false;
    const std::size_t j = panels[p].start;
    // Panel p touches only columns from j on; the previous panel's columns
    // lie to the left.
    apply_in_parallel(k, pool, scratch, panels[p], false, a, n, j, j, n, [&](double*) {
      if (p > 0) unpark(panels[p - 1]);
    });
  }

  // Sign correction, row by row (a column walk would touch one cache line
  // per element): flipping the sign bit is exactly negation.
  std::vector<std::uint64_t> sign_flip(n);
  for (std::size_t c = 0; c < n; ++c) sign_flip[c] = diagonal[c] >= 0.0 ? 0 : 0x8000000000000000ULL;
  for (std::size_t i = 0; i < n; ++i) {
    double* row = a + i * n;
    for (std::size_t c = 0; c < n; ++c) {
      row[c] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(row[c]) ^ sign_flip[c]);
    }
  }
  return true;
}

}  // namespace marrowfin::rotation
