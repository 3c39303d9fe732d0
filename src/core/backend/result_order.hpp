// The order of search results: a higher score first; when two scores compare
// equal, or either is NaN, the smaller id first, comparing the ids' bytes as
// unsigned values with a proper prefix first.
//
// Without NaN scores this is a strict total order on live slots (ids are
// unique), so any exact selection yields the same sequence as a stable sort.
// With a NaN it is not transitive; callers then fall back to a stable sort of
// the slots in insertion order.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/backend/vector_block_store.hpp"

namespace marrowfin::backend {

struct ScoredSlot {
  float score;
  std::size_t slot;
};

// The result order over scored slots of one store; the slots must be live.
class ResultOrder {
 public:
  explicit ResultOrder(const VectorBlockStore& store) noexcept : store_(&store) {}

  bool operator()(const ScoredSlot& a, const ScoredSlot& b) const noexcept {
    // Scores decide almost every comparison; the ids live elsewhere in memory
    // and are fetched only for a tie or a NaN. string_view compares bytes as
    // unsigned char, a proper prefix first.
    if (a.score > b.score) return true;
    if (b.score > a.score) return false;
    return std::string_view(*store_->id(a.slot)) < std::string_view(*store_->id(b.slot));
  }

 private:
  const VectorBlockStore* store_;
};

}  // namespace marrowfin::backend
