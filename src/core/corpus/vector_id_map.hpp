// The corpus id index: entries in insertion order, plus `order`, a
// permutation of entry positions sorted by id, for O(log n) lookups.
// Ids compare as byte strings, which is std::string_view's order (its traits
// compare chars as unsigned char): first difference decides, a
// proper prefix first ("B" < "a" < "ab" < "z" < "\xc3\xa9").
//
// Invariants: ids are unique; order is a permutation of 0 .. size()-1;
// ids of entries[order[0]], entries[order[1]], ... strictly increase.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/common/shared.hpp"
#include "core/corpus/vector_entry.hpp"

namespace marrowfin::corpus {

class VectorIdMap {
 public:
  struct Slot {
    SharedText id;  // shared with entry.vector_id()
    VectorEntry entry;
  };

  struct Search {
    bool found;
    // Index into order(): where the id is, or where it would be inserted.
    std::size_t position;
  };

  // Binary search over order: lo = 0, hi = n; mid = lo + (hi - lo) / 2.
  [[nodiscard]] Search search(std::string_view id) const noexcept;
  [[nodiscard]] bool contains(std::string_view id) const noexcept { return search(id).found; }

  // The entry with this id, found by search(); nullptr if none.
  [[nodiscard]] const VectorEntry* find(std::string_view id) const noexcept;

  // Appends the entry (its id is entry.vector_id()) and records its position
  // at order index `position`, which must come from search() of the same id
  // on the unchanged map with found == false. A position that would break the
  // ordering is a programming error (std::logic_error), checked in O(1).
  void insert_at(std::size_t position, VectorEntry entry);

  // Removes the entry, keeping the others in insertion order and order
  // consistent; nullopt (and no change) when the id is absent.
  std::optional<VectorEntry> remove(std::string_view id);

  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  // size() slots, insertion order.
  [[nodiscard]] std::span<const Slot> entries() const noexcept { return entries_; }
  // size() positions into entries(), ascending by id.
  [[nodiscard]] std::span<const std::size_t> order() const noexcept { return order_; }

 private:
  std::string_view id_at(std::size_t order_index) const noexcept {
    return *entries_[order_[order_index]].id;
  }

  std::vector<Slot> entries_;
  std::vector<std::size_t> order_;
};

}  // namespace marrowfin::corpus
