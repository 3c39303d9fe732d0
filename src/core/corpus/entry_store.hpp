// The corpus's storage, laid out for scanning: every entry is one row of
// fixed-width payload (codes, then an optional residual in a second array),
// rows live in large chunks rather than one heap object per entry, and the
// ids live in one byte arena. `order` is a permutation of the rows sorted by
// id bytes (std::string_view's order: first difference decides as unsigned
// char, a proper prefix first), for O(log n) lookups.
//
// Rows are not kept in insertion order: removing an entry moves the last row
// into its place, so removal costs one row copy plus the order update. No
// observable result depends on row order (lookups go through the ids, lists
// are sorted by id).
//
// Invariants: ids are unique; order is a permutation of 0 .. size()-1 whose
// ids strictly increase. Every mutation either completes or throws before
// changing anything (allocation happens first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marrowfin::corpus {

// Fixed-width rows in chunks of a power-of-two row count (about 1 MiB each),
// so growth never copies rows and spare capacity stays below one chunk.
class RowChunks {
 public:
  explicit RowChunks(std::size_t width);

  std::size_t width() const noexcept { return width_; }
  // Rows that fit without allocating.
  std::size_t capacity() const noexcept { return chunks_.size() << shift_; }
  std::size_t rows_per_chunk() const noexcept { return std::size_t{1} << shift_; }
  std::uint8_t* row(std::size_t r) noexcept {
    return chunks_[r >> shift_].get() + (r & mask_) * width_;
  }
  const std::uint8_t* row(std::size_t r) const noexcept {
    return chunks_[r >> shift_].get() + (r & mask_) * width_;
  }
  // Allocates chunks until `rows` rows fit; throws (changing nothing that is
  // in use) when memory runs out.
  void reserve(std::size_t rows);
  // Frees chunks wholly beyond `rows`, keeping one spare chunk.
  void shrink(std::size_t rows) noexcept;

 private:
  std::size_t width_;
  unsigned shift_;
  std::size_t mask_;
  std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
};

class EntryStore {
 public:
  struct Search {
    bool found;
    // Index into order(): where the id is, or where it would be inserted.
    std::size_t position;
  };

  // code_bytes and residual_bytes per row (residual_bytes may be 0).
  EntryStore(std::size_t code_bytes, std::size_t residual_bytes);

  // Binary search over order: lo = 0, hi = n; mid = lo + (hi - lo) / 2.
  [[nodiscard]] Search search(std::string_view id) const noexcept;
  [[nodiscard]] bool contains(std::string_view id) const noexcept { return search(id).found; }

  [[nodiscard]] std::size_t size() const noexcept { return refs_.size(); }
  [[nodiscard]] bool empty() const noexcept { return refs_.empty(); }
  std::size_t code_bytes() const noexcept { return codes_.width(); }
  std::size_t residual_bytes() const noexcept { return residual_bytes_; }

  [[nodiscard]] std::string_view id(std::size_t row) const noexcept {
    return {arena_.data() + refs_[row].offset, refs_[row].length};
  }
  const std::uint8_t* codes(std::size_t row) const noexcept { return codes_.row(row); }
  // nullptr when rows carry no residual.
  const std::uint8_t* residual(std::size_t row) const noexcept {
    return residual_bytes_ == 0 ? nullptr : residuals_.row(row);
  }
  // Rows [first, first + count) are contiguous in memory when they do not
  // cross a multiple of rows_per_chunk().
  std::size_t rows_per_chunk() const noexcept { return codes_.rows_per_chunk(); }
  // size() rows, ascending by id.
  [[nodiscard]] std::span<const std::size_t> order() const noexcept { return order_; }

  // Rows are added in two steps. reserve(rows, id_bytes) makes room (or
  // throws, changing nothing); the caller then writes the payload of the new
  // rows into spare_codes(i) / spare_residual(i), i < rows, which nothing
  // reads until an insert_at or append below makes them part of the store.
  void reserve(std::size_t rows, std::size_t id_bytes);
  std::uint8_t* spare_codes(std::size_t i) noexcept { return codes_.row(size() + i); }
  // nullptr when rows carry no residual.
  std::uint8_t* spare_residual(std::size_t i) noexcept {
    return residual_bytes_ == 0 ? nullptr : residuals_.row(size() + i);
  }

  // Adds spare row 0 under `id` at order index `position`, which must come
  // from search() of the same id on the unchanged store with found == false
  // (a position that breaks the ordering is a std::logic_error, checked in
  // O(1)). reserve(1, id.size()) must have been called.
  void insert_at(std::size_t position, std::string_view id);

  // Adds spare rows 0 .. ids.size()-1 under those ids (distinct, none
  // present: the caller checked) and merges them into order. reserve() must
  // have been called for them. Throws before changing anything.
  void append(std::span<const std::string> ids);

  // Removes the entry; false (and no change) when the id is absent.
  bool remove(std::string_view id) noexcept;

 private:
  struct IdRef {
    std::uint64_t offset;
    std::uint64_t length;
  };

  std::string_view id_at(std::size_t order_index) const noexcept { return id(order_[order_index]); }
  // Records the id of the next spare row (room was reserved: no throw).
  void commit_row(std::string_view id) noexcept;
  // Drops the bytes of removed ids once they are most of the arena.
  void compact_arena() noexcept;

  RowChunks codes_;
  RowChunks residuals_;
  std::size_t residual_bytes_;
  std::vector<char> arena_;
  std::size_t garbage_ = 0;  // arena bytes no row refers to
  std::vector<IdRef> refs_;
  std::vector<std::size_t> order_;
};

}  // namespace marrowfin::corpus
