#include "core/corpus/vector_id_map.hpp"

#include <stdexcept>
#include <utility>

#include "core/common/vector_growth.hpp"

namespace marrowfin::corpus {

VectorIdMap::Search VectorIdMap::search(std::string_view id) const noexcept {
  std::size_t lo = 0;
  std::size_t hi = order_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int c = id_at(mid).compare(id);
    if (c < 0) {
      lo = mid + 1;
    } else if (c == 0) {
      return {true, mid};
    } else {
      hi = mid;
    }
  }
  return {false, lo};
}

const VectorEntry* VectorIdMap::find(std::string_view id) const noexcept {
  const Search found = search(id);
  return found.found ? &entries_[order_[found.position]].entry : nullptr;
}

void VectorIdMap::insert_at(std::size_t position, VectorEntry entry) {
  const std::string_view id = *entry.vector_id();
  if (position > order_.size() || (position > 0 && id_at(position - 1) >= id) ||
      (position < order_.size() && id >= id_at(position))) {
    throw std::logic_error("vector id index: insert position does not keep ids ordered");
  }
  // Reserve both arrays first so that neither push can fail after the other
  // succeeded: the two arrays change together or not at all.
  reserve_one_more(entries_);
  reserve_one_more(order_);
  SharedText shared_id = entry.vector_id();
  entries_.push_back(Slot{std::move(shared_id), std::move(entry)});
  order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(position), entries_.size() - 1);
}

// GCC 12 reports the disengaged std::optional<shared_ptr> residual inside a
// moved VectorEntry as "maybe uninitialized" here (a known false positive of
// its optional/shared_ptr inlining); the code reads no uninitialized memory.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
std::optional<VectorEntry> VectorIdMap::remove(std::string_view id) {
  const Search found = search(id);
  if (!found.found) return std::nullopt;
  const std::size_t removed = order_[found.position];
  std::optional<VectorEntry> entry(std::move(entries_[removed].entry));
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(found.position));
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(removed));
  // Entries after the removed one moved down by one place.
  for (std::size_t& p : order_) {
    if (p > removed) --p;
  }
  return entry;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace marrowfin::corpus
