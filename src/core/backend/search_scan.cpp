#include "core/backend/search_scan.hpp"

#include <algorithm>

#include "core/backend/cosine_similarity.hpp"
#include "core/common/block_runner.hpp"
#include "core/common/parallel.hpp"

namespace marrowfin::backend {
namespace {

// A per-thread bounded selection pays off while k is a small fraction of the
// store; beyond that a single partition of all scores is cheaper.
constexpr std::size_t kBoundedSelectionRatio = 16;

struct ScanContext {
  const VectorBlockStore& store;
  std::span<const float> query;
  const scan_kernels::Kernels& kernels;
  float query_sum_of_squares;
  // False when every score is 0.0 without a scan: a query holding a NaN, or
  // vectors of length 0 (their denominator is 0).
  bool need_dots;
  bool bounded;  // keep only the best k per worker
  std::size_t k;
  float* scores;  // one per slot, rounded up to whole blocks
};

struct Worker {
  std::size_t first_block = 0;
  std::size_t end_block = 0;
  std::vector<ScoredSlot> kept;  // a heap whose front ranks last (bounded mode)
  std::size_t nan_count = 0;
};

void offer(std::vector<ScoredSlot>& kept, std::size_t k, const ResultOrder& order,
           ScoredSlot candidate) noexcept {
  if (kept.size() < k) {
    kept.push_back(candidate);  // capacity reserved up front: cannot throw
    std::push_heap(kept.begin(), kept.end(), order);
  } else if (order(candidate, kept.front())) {
    std::pop_heap(kept.begin(), kept.end(), order);
    kept.back() = candidate;
    std::push_heap(kept.begin(), kept.end(), order);
  }
}

// Blocks scored between two looks at the stop token: 16 MiB of vectors at
// most, a few milliseconds.
constexpr std::size_t kFloatsPerStopCheck = std::size_t{1} << 22;

// False when `stop` was raised before the share was scored.
bool run_worker(const ScanContext& ctx, Worker& worker, const StopToken& stop) noexcept {
  const VectorBlockStore& store = ctx.store;
  if (ctx.need_dots) {
    const std::size_t blocks_per_check = std::max<std::size_t>(
        1, kFloatsPerStopCheck / (kBlockLanes * std::max<std::size_t>(1, store.dim())));
    for (std::size_t b = worker.first_block; b < worker.end_block;) {
      if (stop.stop_requested()) return false;
      const std::size_t n =
          std::min({store.contiguous_blocks(b), worker.end_block - b, blocks_per_check});
      const std::size_t s = b * kBlockLanes;
      store.score_blocks(ctx.kernels, b, n, ctx.query.data(), ctx.query_sum_of_squares,
                         ctx.scores + s);
      b += n;
    }
  }
  const ResultOrder order(store);
  const std::uint8_t* flags = store.flags();
  const std::size_t end_slot = std::min(worker.end_block * kBlockLanes, store.slot_count());
  for (std::size_t s = worker.first_block * kBlockLanes; s < end_slot; ++s) {
    if (!(flags[s] & kSlotLive)) continue;
    const float score = ctx.scores[s];
    if (score != score) {
      ++worker.nan_count;
    } else if (ctx.bounded) {
      // Most candidates lose to the current k-th best on the score alone.
      if (worker.kept.size() == ctx.k && score < worker.kept.front().score) continue;
      offer(worker.kept, ctx.k, order, ScoredSlot{score, s});
    }
  }
  return true;
}

unsigned plan_threads(const ScanContext& ctx, const ScanTuning& tuning) {
  const std::size_t blocks = ctx.store.block_count();
  std::size_t threads = tuning.threads;
  if (threads == 0) {
    // As many as the CPUs this process may use, but each with at least
    // min_floats_per_thread of work.
    const std::size_t work = blocks * kBlockLanes * (ctx.need_dots ? ctx.store.dim() : 1);
    const std::size_t per_thread = std::max<std::size_t>(1, tuning.min_floats_per_thread);
    threads = std::max<std::size_t>(1, work / per_thread);
    // Asking for the CPUs is a system call; small scans need not.
    if (threads > 1) threads = std::min<std::size_t>(threads, available_cpus());
  }
  return static_cast<unsigned>(std::max<std::size_t>(1, std::min(threads, blocks)));
}

// One share of the store per thread, claimed through the block runner: a
// share no thread could be started for goes to a thread that has finished.
// False when `stop` ended the scan early.
bool run_workers(const ScanContext& ctx, std::vector<Worker>& workers, const StopToken& stop) {
  const auto shares = static_cast<unsigned>(workers.size());
  return run_blocks(shares, shares, stop, [&](std::uint64_t w) {
           return run_worker(ctx, workers[w], stop);
         }) == RunOutcome::Completed;
}

std::vector<ScoredSlot> live_slots_in_order(const VectorBlockStore& store, const float* scores) {
  std::vector<ScoredSlot> all;
  all.reserve(store.live_count());
  for (std::size_t s = 0; s < store.slot_count(); ++s) {
    if (store.live(s)) all.push_back(ScoredSlot{scores[s], s});
  }
  return all;
}

}  // namespace

std::optional<std::vector<ScoredSlot>> scan_top_k(const VectorBlockStore& store,
                                                  std::span<const float> query, std::size_t k,
                                                  const ScanTuning& tuning, const StopToken& stop) {
  const std::size_t live = store.live_count();
  std::vector<float> scores(store.block_count() * kBlockLanes);
  // The query's own sum of squares is computed once, as cosine_similarity
  // would compute it for every stored vector. It is NaN exactly when the
  // query holds a NaN (squares are never NaN otherwise, nor are their sums).
  const float query_sum_of_squares = sequential_sum_of_squares(query);
  const bool query_has_nan = query_sum_of_squares != query_sum_of_squares;
  const ScanContext ctx{store,
                        query,
                        scan_kernels::select(simd::usable(tuning.level)),
                        query_sum_of_squares,
                        !query_has_nan && store.dim() != 0,
                        k <= live / kBoundedSelectionRatio,
                        k,
                        scores.data()};

  const unsigned threads = plan_threads(ctx, tuning);
  std::vector<Worker> workers(threads);
  const std::size_t blocks = store.block_count();
  for (unsigned w = 0; w < threads; ++w) {
    workers[w].first_block = blocks * w / threads;
    workers[w].end_block = blocks * (w + 1) / threads;
    if (ctx.bounded) workers[w].kept.reserve(k);
  }
  if (!run_workers(ctx, workers, stop)) return std::nullopt;

  const ResultOrder order(store);
  std::size_t nan_count = 0;
  for (const Worker& worker : workers) nan_count += worker.nan_count;

  if (nan_count != 0) {
    // The order is not transitive with NaN in play, so no selection shortcut
    // is exact; only the stable sort of all pairs in insertion order defines
    // the result.
    std::vector<ScoredSlot> all = live_slots_in_order(store, scores.data());
    std::stable_sort(all.begin(), all.end(), order);
    all.resize(k);
    return all;
  }

  std::vector<ScoredSlot> best;
  if (ctx.bounded) {
    best.reserve(threads * k);
    for (const Worker& worker : workers) {
      best.insert(best.end(), worker.kept.begin(), worker.kept.end());
    }
  } else {
    best = live_slots_in_order(store, scores.data());
  }
  // A strict total order: the k best are a well-defined set, and sorting them
  // gives the same sequence as the stable sort of everything.
  if (k < best.size()) {
    std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k), best.end(),
                     order);
    best.resize(k);
  }
  std::sort(best.begin(), best.end(), order);
  return best;
}

}  // namespace marrowfin::backend
