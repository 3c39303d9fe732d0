// Room for one more element, reserved ahead of a change that must not fail
// halfway. A plain reserve(size() + 1) allocates exactly that much, so calling
// it before every push moves the whole vector every time; this grows the
// capacity geometrically, as push_back itself would.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace marrowfin {

template <class T>
void reserve_one_more(std::vector<T>& values) {
  if (values.size() < values.capacity()) return;
  values.reserve(std::max<std::size_t>(4, 2 * values.size()));
}

}  // namespace marrowfin
