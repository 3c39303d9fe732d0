#include "core/common/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace marrowfin {

std::size_t available_cpus() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace marrowfin
