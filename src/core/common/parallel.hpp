// How many threads parallel work may use. Every caller partitions its work so
// that each output is computed by exactly one thread in a fixed order, which
// keeps results identical whatever the thread count.
#pragma once

#include <cstddef>

namespace marrowfin {

// CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus() noexcept;

}  // namespace marrowfin
