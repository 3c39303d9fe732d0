// Splitting independent work over threads. Every caller partitions work so
// that each output is computed by exactly one thread in a fixed order, which
// keeps results identical whatever the thread count.
#pragma once

#include <cstddef>
#include <functional>

namespace marrowfin {

// CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus() noexcept;

// Runs fn(begin, end) over [0, count) split into at most `threads` contiguous
// chunks of at least `min_chunk` items; the calling thread takes the first
// chunk. threads == 0 means available_cpus(). Exceptions from fn propagate to
// the caller after every chunk finished.
void parallel_for(std::size_t count, std::size_t min_chunk,
                  const std::function<void(std::size_t begin, std::size_t end)>& fn,
                  std::size_t threads = 0);

}  // namespace marrowfin
