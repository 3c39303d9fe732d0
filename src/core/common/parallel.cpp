#include "core/common/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace marrowfin {

std::size_t available_cpus() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void parallel_for(std::size_t count, std::size_t min_chunk,
                  const std::function<void(std::size_t, std::size_t)>& fn, std::size_t threads) {
  if (count == 0) return;
  if (threads == 0) threads = available_cpus();
  min_chunk = std::max<std::size_t>(min_chunk, 1);
  const std::size_t chunks = std::max<std::size_t>(1, std::min(threads, count / min_chunk));
  if (chunks == 1) {
    fn(0, count);
    return;
  }
  const std::size_t base = count / chunks, extra = count % chunks;
  auto bounds = [&](std::size_t i) { return i * base + std::min(i, extra); };

  std::vector<std::exception_ptr> errors(chunks);
  std::vector<std::thread> workers;
  workers.reserve(chunks - 1);
  for (std::size_t i = 1; i < chunks; ++i) {
    workers.emplace_back([&, i] {
      try {
        fn(bounds(i), bounds(i + 1));
      } catch (...) {
        errors[i] = std::current_exception();
      }
    });
  }
  try {
    fn(bounds(0), bounds(1));
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (auto& worker : workers) worker.join();
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace marrowfin
