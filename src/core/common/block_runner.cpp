#include "core/common/block_runner.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/common/parallel.hpp"

namespace marrowfin {

unsigned runner_threads(unsigned requested, std::uint64_t blocks) noexcept {
  std::uint64_t threads = requested == 0 ? available_cpus() : requested;
  threads = std::min<std::uint64_t>({threads, blocks, available_cpus()});
  return static_cast<unsigned>(std::max<std::uint64_t>(1, threads));
}

RunOutcome run_blocks(std::uint64_t block_count, unsigned workers, const StopToken& stop,
                      const std::function<bool(std::uint64_t block)>& process) {
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> abandoned{false};
  std::atomic<bool> stopped{false};
  std::mutex exception_mutex;
  std::exception_ptr exception;

  auto work = [&]() noexcept {
    try {
      for (;;) {
        if (stop.stop_requested()) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        const std::uint64_t block = next.fetch_add(1, std::memory_order_relaxed);
        if (block >= block_count) return;
        if (!process(block)) {
          abandoned.store(true, std::memory_order_relaxed);
          next.store(block_count, std::memory_order_relaxed);
          return;
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(exception_mutex);
      if (!exception) exception = std::current_exception();
      next.store(block_count, std::memory_order_relaxed);
    }
  };

  std::vector<std::thread> helpers;
  const unsigned wanted = std::max(1u, std::min<unsigned>(workers, block_count ? block_count : 1));
  try {
    helpers.reserve(wanted - 1);
    for (unsigned i = 1; i < wanted; ++i) helpers.emplace_back(work);
  } catch (const std::exception&) {
    // Blocks are claimed dynamically, so fewer threads only take longer.
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (exception) std::rethrow_exception(exception);
  if (abandoned.load(std::memory_order_relaxed)) return RunOutcome::Abandoned;
  // Stopped only counts when work was left unclaimed.
  if (stopped.load(std::memory_order_relaxed) && next.load() < block_count) return RunOutcome::Stopped;
  return RunOutcome::Completed;
}

}  // namespace marrowfin
