#include "core/backend/vector_block_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "core/backend/cosine_similarity.hpp"

namespace marrowfin::backend {
namespace {

// About 4 MiB per chunk: large enough that a scan runs over long contiguous
// stretches, small enough that the unused tail of the last chunk is cheap.
constexpr std::size_t kChunkTargetFloats = std::size_t{1} << 20;
// One block row is kBlockLanes floats = 64 bytes: a cache line, and one
// AVX-512 register.
constexpr std::size_t kChunkAlignment = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A vector holds a NaN exactly when its sum of squares is NaN: a NaN element
// makes its square and every later sum NaN, while squares of other values lie
// in [0, +inf], whose sums are never NaN. So the flag needs no pass of its own.
std::uint8_t live_flags_for(float sum_of_squares) noexcept {
  return static_cast<std::uint8_t>(kSlotLive |
                                   (sum_of_squares != sum_of_squares ? kSlotHasNan : 0));
}

}  // namespace

VectorBlockStore::VectorBlockStore(std::size_t dim)
    : dim_(dim),
      blocks_per_chunk_(
          dim == 0 ? 1 : std::max<std::size_t>(1, kChunkTargetFloats / (dim * kBlockLanes))),
      width_(dim == 0 ? kBlockLanes : 1) {}

// A narrow store has one block, so its slot s is at element s as well.
float* VectorBlockStore::lane_base(std::size_t s) noexcept {
  const std::size_t b = s / kBlockLanes;
  return chunks_[b / blocks_per_chunk_].data.get() + (b % blocks_per_chunk_) * dim_ * kBlockLanes +
         s % kBlockLanes;
}

const float* VectorBlockStore::block(std::size_t b) const noexcept {
  if (dim_ == 0) return nullptr;
  return chunks_[b / blocks_per_chunk_].data.get() + (b % blocks_per_chunk_) * dim_ * kBlockLanes;
}

std::size_t VectorBlockStore::contiguous_blocks(std::size_t b) const noexcept {
  return blocks_per_chunk_ - b % blocks_per_chunk_;
}

void VectorBlockStore::score_blocks(const scan_kernels::Kernels& kernels, std::size_t b,
                                    std::size_t n, const float* query, float query_sum_of_squares,
                                    float* scores) const noexcept {
  const std::size_t first = b * kBlockLanes;
  const float* sums = sums_of_squares_.data() + first;
  const std::uint8_t* flags = flags_.data() + first;
  if (!narrow()) {
    kernels.score_blocks(block(b), n, dim_, query, query_sum_of_squares, sums, flags, scores);
    return;
  }
  // At most kBlockLanes / 2 vectors: the portable form of the kernels' loop.
  float dots[kBlockLanes] = {};
  const float* row = chunks_[0].data.get();
  for (std::size_t i = 0; i < dim_; ++i, row += width_) {
    const float q = query[i];
    for (std::size_t l = 0; l < width_; ++l) dots[l] += q * row[l];
  }
  for (std::size_t l = 0; l < kBlockLanes; ++l) {
    scores[l] = l >= width_ || (flags[l] & kSlotHasNan)
                    ? 0.0f
                    : cosine_from_sums(dots[l], query_sum_of_squares, sums[l]);
  }
}

std::size_t VectorBlockStore::vector_bytes() const noexcept {
  std::size_t floats = 0;
  for (const Chunk& chunk : chunks_) floats += chunk.capacity_blocks * dim_ * width_;
  return floats * sizeof(float);
}

VectorBlockStore::Chunk VectorBlockStore::allocate_chunk(std::size_t capacity_blocks,
                                                         std::size_t width) const {
  const std::size_t bytes = capacity_blocks * dim_ * width * sizeof(float);
  // Chunks of at least one huge page are aligned to it and offered to the
  // kernel for transparent huge pages: a scan then streams through far fewer
  // pages, and the hardware prefetcher does not stall at every 4 KiB.
  const bool huge = bytes >= kHugePage;
  const std::size_t alignment = huge ? kHugePage : kChunkAlignment;
  const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  Chunk chunk{std::unique_ptr<float[], FreeFloats>(
                  static_cast<float*>(std::aligned_alloc(alignment, rounded))),
              capacity_blocks};
  if (!chunk.data) throw std::bad_alloc();
  if (huge) madvise(chunk.data.get(), rounded, MADV_HUGEPAGE);  // only a hint
  // Zeroed so that lanes past the last slot hold defined values for the scan.
  std::memset(chunk.data.get(), 0, bytes);
  return chunk;
}

void VectorBlockStore::relayout_single_block(std::size_t width) {
  Chunk fresh = allocate_chunk(1, width);
  if (chunks_.empty()) chunks_.reserve(1);
  for (std::size_t s = 0; s < slot_count_; ++s) {
    const float* from = lane_base(s);
    float* to = fresh.data.get() + s;
    for (std::size_t i = 0; i < dim_; ++i) to[i * width] = from[i * width_];
  }
  chunks_.resize(1);
  chunks_[0] = std::move(fresh);
  width_ = width;
}

void VectorBlockStore::reserve_one_more() {
  // A narrow block doubles its lanes when full, up to a regular block.
  if (dim_ != 0 && narrow() && (chunks_.empty() || slot_count_ == width_)) {
    relayout_single_block(chunks_.empty() ? 1 : 2 * width_);
  }
  if (slot_count_ % kBlockLanes != 0) return;  // the current block has room
  const std::size_t padded = slot_count_ + kBlockLanes;
  if (padded > ids_.capacity()) {
    const std::size_t grown = std::max(padded, 2 * ids_.capacity());
    ids_.reserve(grown);
    sums_of_squares_.reserve(grown);
    flags_.reserve(grown);
  }
  if (dim_ != 0) {
    const std::size_t b = slot_count_ / kBlockLanes;
    const std::size_t c = b / blocks_per_chunk_;
    if (c == chunks_.size()) {
      chunks_.push_back(allocate_chunk(c == 0 ? 1 : blocks_per_chunk_));
    } else if (chunks_[c].capacity_blocks <= b % blocks_per_chunk_) {
      Chunk grown = allocate_chunk(std::min(blocks_per_chunk_, chunks_[c].capacity_blocks * 2));
      std::memcpy(grown.data.get(), chunks_[c].data.get(),
                  chunks_[c].capacity_blocks * dim_ * kBlockLanes * sizeof(float));
      chunks_[c] = std::move(grown);
    }
  }
  // Cannot throw: capacity was reserved above.
  ids_.resize(padded);
  sums_of_squares_.resize(padded);
  flags_.resize(padded);
}

void VectorBlockStore::write_lane(std::size_t s, std::span<const float> values) noexcept {
  float* out = lane_base(s);
  for (std::size_t i = 0; i < dim_; ++i) out[i * width_] = values[i];
}

std::size_t VectorBlockStore::append(SharedText id, std::span<const float> values) noexcept {
  const std::size_t s = slot_count_++;
  if (dim_ != 0) write_lane(s, values);
  ids_[s] = std::move(id);
  flags_[s] = kSlotLive;
  return s;
}

void VectorBlockStore::overwrite(std::size_t s, std::span<const float> values) noexcept {
  if (dim_ != 0) write_lane(s, values);
  if (s >= unsettled_from_) return;  // settle_appended() will compute it
  sums_of_squares_[s] = sequential_sum_of_squares(values);
  flags_[s] = live_flags_for(sums_of_squares_[s]);
}

void VectorBlockStore::settle_appended(simd::Level level) noexcept {
  if (dim_ == 0) {
    // Empty vectors: sum 0, no NaN, as value-initialised.
    unsettled_from_ = slot_count_;
    return;
  }
  if (narrow()) {
    for (std::size_t s = unsettled_from_; s < slot_count_; ++s) {
      const float* lane = lane_base(s);
      float sum = 0.0f;
      for (std::size_t i = 0; i < dim_; ++i) sum += lane[i * width_] * lane[i * width_];
      sums_of_squares_[s] = sum;
      flags_[s] = live_flags_for(sum);
    }
    unsettled_from_ = slot_count_;
    return;
  }
  // A whole block costs one pass of SIMD over its rows, about what one
  // vector's sequential sum costs on its own; each lane's sum is still the
  // sequential one.
  const scan_kernels::Kernels& kernels = scan_kernels::select(simd::usable(level));
  float sums[kBlockLanes];
  for (std::size_t b = unsettled_from_ / kBlockLanes; b < block_count(); ++b) {
    kernels.lane_sums_of_squares(block(b), dim_, sums);
    const std::size_t first = std::max(unsettled_from_, b * kBlockLanes);
    const std::size_t end = std::min(slot_count_, (b + 1) * kBlockLanes);
    for (std::size_t s = first; s < end; ++s) {
      sums_of_squares_[s] = sums[s % kBlockLanes];
      flags_[s] = live_flags_for(sums_of_squares_[s]);
    }
  }
  unsettled_from_ = slot_count_;
}

void VectorBlockStore::remove(std::size_t s) noexcept {
  ids_[s] = nullptr;
  sums_of_squares_[s] = 0.0f;
  flags_[s] = 0;
  ++removed_;
}

bool VectorBlockStore::compact_if_sparse() noexcept {
  // Only called between ingests, when every slot is settled.
  if (removed_ == 0 || removed_ * 2 < slot_count_) return false;
  std::size_t next = 0;
  for (std::size_t s = 0; s < slot_count_; ++s) {
    if (!live(s)) continue;
    if (next != s) {
      // next < s and every slot below s has been moved already, so the
      // destination lane is free.
      if (dim_ != 0) {
        const float* from = lane_base(s);
        float* to = lane_base(next);
        for (std::size_t i = 0; i < dim_; ++i) to[i * width_] = from[i * width_];
      }
      ids_[next] = std::move(ids_[s]);
      sums_of_squares_[next] = sums_of_squares_[s];
      flags_[next] = flags_[s];
    }
    ++next;
  }
  slot_count_ = next;
  unsettled_from_ = next;
  removed_ = 0;
  const std::size_t padded = block_count() * kBlockLanes;
  ids_.resize(padded);
  sums_of_squares_.resize(padded);
  flags_.resize(padded);
  // Lanes past the last slot of the last block are free again.
  std::fill(ids_.begin() + static_cast<std::ptrdiff_t>(next), ids_.end(), nullptr);
  std::fill(flags_.begin() + static_cast<std::ptrdiff_t>(next), flags_.end(), 0);
  chunks_.resize((block_count() + blocks_per_chunk_ - 1) / blocks_per_chunk_);
  // Few enough slots left for a narrow block: give the rest back. Without
  // the memory for it the wider layout stays, which is as correct.
  if (dim_ != 0 && next == 0) {
    width_ = 1;  // no chunk is left; the next append allocates one
  } else if (dim_ != 0 && next <= kBlockLanes / 2 && std::bit_ceil(next) < width_) {
    try {
      relayout_single_block(std::bit_ceil(next));
    } catch (const std::bad_alloc&) {
    }
  }
  if (ids_.capacity() > 4 * std::max(padded, kBlockLanes)) {
    ids_.shrink_to_fit();
    sums_of_squares_.shrink_to_fit();
    flags_.shrink_to_fit();
  }
  return true;
}

}  // namespace marrowfin::backend
