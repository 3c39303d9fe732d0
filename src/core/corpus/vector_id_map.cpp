#include "core/corpus/vector_id_map.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace marrowfin::corpus {

int compare_ids(std::string_view a, std::string_view b) noexcept {
  // memcmp compares as unsigned char; std::string_view::compare would use
  // char_traits<char>, whose ordering of bytes >= 0x80 depends on char's
  // signedness, and ids must sort by UTF-8 byte value everywhere.
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

VectorIdMap::Search VectorIdMap::search(std::string_view id) const noexcept {
  std::size_t lo = 0;
  std::size_t hi = order_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int c = compare_ids(id_at(mid), id);
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

const VectorEntry* VectorIdMap::scan(std::string_view id) const noexcept {
  for (const Slot& slot : entries_) {
    if (*slot.id == id) return &slot.entry;
  }
  return nullptr;
}

void VectorIdMap::insert_at(std::size_t position, VectorEntry entry) {
  const std::string_view id = *entry.vector_id();
  if (position > order_.size() || (position > 0 && compare_ids(id_at(position - 1), id) >= 0) ||
      (position < order_.size() && compare_ids(id, id_at(position)) >= 0)) {
    throw std::logic_error("vector id index: insert position does not keep ids ordered");
  }
  // Reserve both arrays first so that neither push can fail after the other
  // succeeded: the two arrays change together or not at all.
  entries_.reserve(entries_.size() + 1);
  order_.reserve(order_.size() + 1);
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
