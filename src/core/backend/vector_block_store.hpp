// Stored vectors in slots, in first-insertion order, laid out for scanning.
//
// Slot s lives in lane s % kBlockLanes of block s / kBlockLanes (the block
// layout of scan_kernels.hpp). Blocks are grouped into chunks of a few MiB so
// that growing a large store never moves the vectors already stored. A store
// of at most kBlockLanes / 2 slots keeps its one block narrow: as many lanes
// as the next power of two of its slot count (element i of lane l at
// i * width + l), so that a few vectors of a very high dimension do not cost
// a whole 16-lane block; it widens as slots arrive. With the first chunk
// growing by doubling and later chunks of a few MiB, the vector storage never
// exceeds twice the slots' bytes plus one chunk. Removal
// leaves a tombstone (a slot that is not live) so that the other slots keep
// their order; compact_if_sparse() squeezes tombstones out once they are half
// of all slots, which bounds memory at about twice the live data.
//
// Beside the vectors each slot keeps what a search needs besides the dot
// product: the vector's own sum of squares (float32, sequential, as
// cosine_similarity forms it), its flags (live, has NaN) and its id. These
// per-slot arrays are padded to whole blocks so that the kernels can read a
// full block of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "core/backend/scan_kernels.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::backend {

class VectorBlockStore {
 public:
  VectorBlockStore() = default;
  explicit VectorBlockStore(std::size_t dim);

  std::size_t dim() const noexcept { return dim_; }
  // Live and removed slots together, i.e. the index one past the last slot.
  std::size_t slot_count() const noexcept { return slot_count_; }
  std::size_t live_count() const noexcept { return slot_count_ - removed_; }
  std::size_t block_count() const noexcept { return (slot_count_ + kBlockLanes - 1) / kBlockLanes; }

  bool live(std::size_t s) const noexcept { return flags_[s] & kSlotLive; }
  // The id of a live slot (null for a removed one).
  const SharedText& id(std::size_t s) const noexcept { return ids_[s]; }

  // Per-slot arrays, block_count() * kBlockLanes entries each.
  const float* sums_of_squares() const noexcept { return sums_of_squares_.data(); }
  const std::uint8_t* flags() const noexcept { return flags_.data(); }

  // Block b: dim * kBlockLanes floats, null when dim is 0. Blocks b .. b + n - 1
  // are consecutive in memory for n = contiguous_blocks(b), at least 1.
  // Requires !narrow().
  const float* block(std::size_t b) const noexcept;
  std::size_t contiguous_blocks(std::size_t b) const noexcept;
  // Whether the single block has fewer than kBlockLanes lanes.
  bool narrow() const noexcept { return width_ < kBlockLanes; }

  // score_blocks() over blocks b .. b + n - 1 (n <= contiguous_blocks(b)),
  // scores indexed from slot b * kBlockLanes; a narrow block is scored lane by
  // lane with the same arithmetic, so the bits do not depend on the layout.
  void score_blocks(const scan_kernels::Kernels& kernels, std::size_t b, std::size_t n,
                    const float* query, float query_sum_of_squares, float* scores) const noexcept;

  // Bytes allocated for vector elements (the per-slot arrays aside).
  std::size_t vector_bytes() const noexcept;

  // Makes room for one more slot (may allocate and throw); append() after it
  // cannot fail, so a caller can reserve before changing any other state.
  void reserve_one_more();
  // Requires reserve_one_more() and values.size() == dim(). Returns the slot.
  // The slot's sum of squares and NaN flag are computed by the next
  // settle_appended(), which must run before the store is scanned.
  std::size_t append(SharedText id, std::span<const float> values) noexcept;
  // Replaces a live slot's vector in place. Requires values.size() == dim().
  void overwrite(std::size_t s, std::span<const float> values) noexcept;
  // Computes the sums of squares and NaN flags of the slots appended since the
  // last call, a whole block at a time with the kernels of `level`.
  void settle_appended(simd::Level level) noexcept;
  // Turns a live slot into a tombstone.
  void remove(std::size_t s) noexcept;
  // Squeezes tombstones out, keeping the order of the live slots, once they
  // are at least half of all slots. Returns whether any slot moved.
  bool compact_if_sparse() noexcept;

 private:
  struct FreeFloats {
    void operator()(float* p) const noexcept { std::free(p); }
  };
  // Every chunk holds blocks_per_chunk_ blocks, except that while the store
  // has a single chunk, that chunk starts small and doubles, so that a small
  // store stays small.
  struct Chunk {
    std::unique_ptr<float[], FreeFloats> data;
    std::size_t capacity_blocks = 0;
  };

  // capacity_blocks blocks of `width` lanes each.
  Chunk allocate_chunk(std::size_t capacity_blocks, std::size_t width = kBlockLanes) const;
  // Element i of slot s is at lane_base(s)[i * stride()].
  float* lane_base(std::size_t s) noexcept;
  std::size_t stride() const noexcept { return width_; }
  void write_lane(std::size_t s, std::span<const float> values) noexcept;
  // Re-lays the single block at `width` lanes (slot_count_ <= width); may throw.
  void relayout_single_block(std::size_t width);

  std::size_t dim_ = 0;
  std::size_t blocks_per_chunk_ = 1;
  // Lanes of every block: kBlockLanes, or fewer while the store has a single
  // narrow block (1, 2, 4 or 8).
  std::size_t width_ = kBlockLanes;
  std::vector<Chunk> chunks_;
  std::size_t slot_count_ = 0;
  std::size_t removed_ = 0;
  std::size_t unsettled_from_ = 0;  // slots from here on await settle_appended()
  std::vector<SharedText> ids_;
  std::vector<float> sums_of_squares_;
  std::vector<std::uint8_t> flags_;
};

}  // namespace marrowfin::backend
