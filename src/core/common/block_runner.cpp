#include "core/common/block_runner.hpp"

#include <algorithm>
#include <exception>
#include <mutex>

#include "core/common/parallel.hpp"

namespace marrowfin {

// The state of one run: the next block to claim and how the run ends.
struct BlockPool::Run {
  Run(std::uint64_t blocks, const StopToken& stop_token, const Process& process_block)
      : block_count(blocks), stop(stop_token), process(process_block) {}

  // Claims and processes blocks until none is left or the run ends early.
  void work(unsigned worker) noexcept {
    try {
      for (;;) {
        if (stop.stop_requested()) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        const std::uint64_t block = next.fetch_add(1, std::memory_order_relaxed);
        if (block >= block_count) return;
        if (!process(block, worker)) {
          abandoned.store(true, std::memory_order_relaxed);
          end_claims();
          return;
        }
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> hold(exception_mutex);
        if (!exception) exception = std::current_exception();
      }
      end_claims();
    }
  }

  // Once every worker is done: the exception, else the outcome.
  RunOutcome finish() {
    if (exception) std::rethrow_exception(exception);
    if (abandoned.load(std::memory_order_relaxed)) return RunOutcome::Abandoned;
    // A stop only counts when it left blocks unclaimed. `next` only grows
    // past block_count, so this reads what the workers left.
    if (stopped.load(std::memory_order_relaxed) &&
        next.load(std::memory_order_relaxed) < block_count) {
      return RunOutcome::Stopped;
    }
    return RunOutcome::Completed;
  }

  // No block is claimed after this (fetch_add only moves `next` further up).
  void end_claims() noexcept { next.store(block_count, std::memory_order_relaxed); }

  const std::uint64_t block_count;
  const StopToken& stop;
  const Process& process;
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> abandoned{false};
  std::atomic<bool> stopped{false};
  std::mutex exception_mutex;
  std::exception_ptr exception;
};

BlockPool::BlockPool(unsigned workers) {
  const unsigned helpers = std::max(1u, workers) - 1;
  try {
    helpers_.reserve(helpers);
    for (unsigned w = 1; w <= helpers; ++w) helpers_.emplace_back([this, w] { helper_loop(w); });
  } catch (const std::exception&) {
    // Blocks are claimed dynamically, so fewer threads only take longer.
  }
}

BlockPool::~BlockPool() {
  closing_.store(true, std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

RunOutcome BlockPool::run(std::uint64_t block_count, const StopToken& stop,
                          const Process& process) {
  Run run(block_count, stop, process);
  if (helpers_.empty() || block_count <= 1) {
    run.work(0);
    return run.finish();
  }
  run_ = &run;
  busy_.store(helpers_.size(), std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  run.work(0);
  for (std::size_t busy = busy_.load(std::memory_order_acquire); busy != 0;
       busy = busy_.load(std::memory_order_acquire)) {
    busy_.wait(busy, std::memory_order_acquire);
  }
  run_ = nullptr;
  return run.finish();
}

void BlockPool::helper_loop(unsigned worker) noexcept {
  std::uint64_t seen = 0;
  for (;;) {
    generation_.wait(seen, std::memory_order_acquire);
    seen = generation_.load(std::memory_order_acquire);
    if (closing_.load(std::memory_order_relaxed)) return;
    run_->work(worker);
    if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) busy_.notify_all();
  }
}

unsigned runner_threads(unsigned requested, std::uint64_t blocks) noexcept {
  std::uint64_t threads = requested == 0 ? available_cpus() : requested;
  threads = std::min<std::uint64_t>({threads, blocks, available_cpus()});
  return static_cast<unsigned>(std::max<std::uint64_t>(1, threads));
}

RunOutcome run_blocks(std::uint64_t block_count, unsigned workers, const StopToken& stop,
                      const std::function<bool(std::uint64_t block)>& process) {
  // Compared in 64 bits: a block count past 2^32 must not wrap the cap.
  const auto threads = static_cast<unsigned>(
      std::clamp<std::uint64_t>(workers, 1, std::max<std::uint64_t>(block_count, 1)));
  BlockPool pool(threads);
  return pool.run(block_count, stop,
                  [&process](std::uint64_t block, unsigned) { return process(block); });
}

}  // namespace marrowfin
