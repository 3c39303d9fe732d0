// Finds the slot of a stored id. Open addressing with linear probing over a
// power-of-two table of (hash, slot) cells: a lookup usually touches one cache
// line of the table, and the id text (kept by the store) only when the full
// 64-bit hashes agree. Deletion shifts later cells back instead of leaving
// markers, so lookups never slow down after many removals. Ids hash under a
// key drawn at random once per process (core/common/siphash.hpp); nothing the
// backend returns depends on the table's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/backend/vector_block_store.hpp"

namespace marrowfin::backend {

class IdIndex {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  [[nodiscard]] static std::uint64_t hash_of(std::string_view id) noexcept;

  // The live slot of store whose id is `id`, or kNotFound. hash = hash_of(id).
  [[nodiscard]] std::size_t find(std::string_view id, std::uint64_t hash,
                                 const VectorBlockStore& store) const noexcept;

  // Starts loading the table cell where a lookup of `hash` begins, so that a
  // lookup a few items later does not wait for memory.
  void prefetch(std::uint64_t hash) const noexcept {
    if (!cells_.empty()) __builtin_prefetch(&cells_[home_of(hash)]);
  }

  // Makes room for `count` entries in total (may allocate and throw); the
  // following inserts up to that count cannot fail.
  void reserve(std::size_t count);
  // Adds an id known to be absent. Requires reserve() for it.
  void insert(std::uint64_t hash, std::size_t slot) noexcept;
  // Removes the entry of `slot`, whose id hashes to `hash`.
  void erase(std::uint64_t hash, std::size_t slot) noexcept;
  // Re-enters every live slot of store, after slots were renumbered.
  void rebuild(const VectorBlockStore& store) noexcept;
  void clear() noexcept;

 private:
  struct Cell {
    std::uint64_t hash = 0;
    std::size_t slot_plus_one = 0;  // 0: empty
  };

  std::size_t home_of(std::uint64_t hash) const noexcept;
  void place(std::vector<Cell>& cells, Cell cell) const noexcept;

  std::vector<Cell> cells_;  // size 0 or a power of two
  unsigned shift_ = 64;      // 64 - log2(cells_.size())
};

}  // namespace marrowfin::backend
