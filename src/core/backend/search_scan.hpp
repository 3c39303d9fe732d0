// The exhaustive scan behind a search: scores every live slot of a store
// against a query and selects the best k in result order (result_order.hpp).
// The result is exactly the first k of a stable sort of all (slot, score)
// pairs in insertion order, whatever the kernel or the thread count.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/backend/result_order.hpp"
#include "core/backend/scan_kernels.hpp"
#include "core/backend/vector_block_store.hpp"
#include "core/common/stop_token.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::backend {

// How a scan runs; it never changes what a scan returns. The defaults are what
// production uses; tests and benchmarks pin the SIMD level and thread count.
struct ScanTuning {
  // Below this many floats per thread, starting a thread costs more than the
  // share of the scan it would take over (about 4 MiB, a few hundred µs).
  static constexpr std::size_t kDefaultMinFloatsPerThread = std::size_t{1} << 20;

  // Lowered to the widest level this CPU runs.
  simd::Level level = simd::best_level();
  // 0: up to the hardware's thread count, one per min_floats_per_thread of
  // data. Otherwise exactly this many (at most one per block).
  unsigned threads = 0;
  std::size_t min_floats_per_thread = kDefaultMinFloatsPerThread;
};

// query: store.dim() floats. Requires 1 <= k <= store.live_count().
// Returns k scored live slots in result order, or nullopt when `stop` was
// raised before the scan finished.
[[nodiscard]] std::optional<std::vector<ScoredSlot>> scan_top_k(
    const VectorBlockStore& store, std::span<const float> query, std::size_t k,
    const ScanTuning& tuning, const StopToken& stop = StopToken::never());

}  // namespace marrowfin::backend
