// The orthogonal factor of a square matrix by blocked Householder QR (no
// pivoting), with the sign correction that makes it unique: the result is the
// Q of A = QR whose R has a non-negative diagonal.
//
// The arithmetic is fixed: panel width, reflector convention and every
// summation order are constants of this file pair, so the same input always
// gives the same bytes, whatever the thread count or instruction set.
#pragma once

#include <cstddef>

#include "core/common/stop_token.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::rotation {

// Reflectors are grouped into panels of this many columns. It is part of the
// arithmetic: changing it changes the rounding of every generated matrix.
inline constexpr std::size_t kHouseholderPanelWidth = 32;

struct QrOptions {
  // Threads sharing the trailing updates; 0 chooses from the size and the
  // CPUs present. Never changes the result.
  unsigned threads = 0;
  // Kernel variant, lowered to what the CPU runs. Never changes the result.
  simd::Level simd = simd::best_level();
  // Polled between panels (each a few tens of milliseconds at n = 3072);
  // once raised, the factorization is abandoned. Never changes the result.
  const StopToken* stop = &StopToken::never();
};

// Tests only: when set, called at the start of every column-block task of the
// parallel updates, on whichever thread runs it (to inject a failure there).
// Null in production, where it costs one predictable branch per task.
struct QrTestHooks {
  static void (*column_task)(std::size_t task);
};

// `matrix` holds A, n * n values row-major (element (i, j) at i*n + j). On
// return it holds M, row-major: column j of the explicitly formed Q, negated
// when R(j, j) is not >= 0.0 (negative or NaN). An exception in any worker
// thread (running out of memory, say) is rethrown on the calling thread once
// every worker is done; `matrix` then holds unspecified values. Returns false,
// `matrix` likewise unspecified, when options.stop was raised before the end.
[[nodiscard]] bool orthogonal_factor_in_place(double* matrix, std::size_t n,
                                              const QrOptions& options = {});

}  // namespace marrowfin::rotation
