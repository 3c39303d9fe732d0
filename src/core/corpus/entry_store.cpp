#include "core/corpus/entry_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace marrowfin::corpus {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

// Grows a vector's capacity by half again (not doubling) so that spare
// capacity stays a small fraction of what is stored.
template <class T>
void reserve_for(std::vector<T>& values, std::size_t needed) {
  if (needed <= values.capacity()) return;
  values.reserve(std::max<std::size_t>({needed, 16, values.capacity() + values.capacity() / 2}));
}

}  // namespace

RowChunks::RowChunks(std::size_t width, std::size_t group) : width_(width), group_(group) {
  // The largest power of two of rows within kChunkBytes (at least one group).
  const std::size_t rows =
      width == 0 ? kChunkBytes : std::max<std::size_t>(group, kChunkBytes / width);
  shift_ = static_cast<unsigned>(std::bit_width(rows) - 1);
  mask_ = (std::size_t{1} << shift_) - 1;
}

void RowChunks::read(std::size_t r, std::uint8_t* out) const noexcept {
  if (group_ == 1) {
    std::memcpy(out, row(r), width_);
    return;
  }
  const std::uint8_t* base = group_data(r / group_) + (r % group_);
  for (std::size_t b = 0; b < width_; ++b) out[b] = base[b * group_];
}

void RowChunks::write(std::size_t r, const std::uint8_t* in) noexcept {
  if (group_ == 1) {
    std::memcpy(row(r), in, width_);
    return;
  }
  std::uint8_t* base = const_cast<std::uint8_t*>(group_data(r / group_)) + (r % group_);
  for (std::size_t b = 0; b < width_; ++b) base[b * group_] = in[b];
}

void RowChunks::copy_row(std::size_t to, std::size_t from) noexcept {
  if (group_ == 1) {
    std::memcpy(row(to), row(from), width_);
    return;
  }
  std::uint8_t* target = const_cast<std::uint8_t*>(group_data(to / group_)) + (to % group_);
  const std::uint8_t* source = group_data(from / group_) + (from % group_);
  for (std::size_t b = 0; b < width_; ++b) target[b * group_] = source[b * group_];
}

void RowChunks::reserve(std::size_t rows) {
  if (rows <= capacity()) return;
  const std::size_t wanted = ((rows - 1) >> shift_) + 1;
  reserve_for(chunks_, wanted);
  const std::size_t chunk_bytes = std::max<std::size_t>(1, width_ << shift_);
  while (chunks_.size() < wanted) {
    chunks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(chunk_bytes));
  }
}

void RowChunks::shrink(std::size_t rows) noexcept {
  const std::size_t used = rows == 0 ? 0 : ((rows - 1) >> shift_) + 1;
  while (chunks_.size() > used + 1) chunks_.pop_back();
}

EntryStore::EntryStore(std::size_t code_bytes, std::size_t residual_bytes, std::size_t code_group)
    : codes_(code_bytes, code_group), residuals_(residual_bytes), residual_bytes_(residual_bytes) {}

EntryStore::Search EntryStore::search(std::string_view id) const noexcept {
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

void EntryStore::reserve(std::size_t rows, std::size_t id_bytes) {
  const std::size_t total = size() + rows;
  codes_.reserve(total);
  if (residual_bytes_ != 0) residuals_.reserve(total);
  reserve_for(arena_, arena_.size() + id_bytes);
  reserve_for(refs_, total);
  reserve_for(order_, total);
}

void EntryStore::commit_row(std::string_view id) noexcept {
  refs_.push_back(IdRef{arena_.size(), id.size()});
  arena_.insert(arena_.end(), id.begin(), id.end());
}

void EntryStore::insert_at(std::size_t position, std::string_view id) {
  if (position > order_.size() || (position > 0 && id_at(position - 1) >= id) ||
      (position < order_.size() && id >= id_at(position))) {
    throw std::logic_error("entry store: insert position does not keep ids ordered");
  }
  reserve(1, id.size());
  const std::size_t row = size();
  commit_row(id);
  order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(position), row);
}

void EntryStore::append(std::span<const std::string> ids) {
  std::size_t id_bytes = 0;
  for (const std::string& id : ids) id_bytes += id.size();
  reserve(ids.size(), id_bytes);
  std::vector<std::size_t> fresh(ids.size());
  std::vector<std::size_t> merged;
  merged.reserve(order_.size() + ids.size());
  // Nothing below allocates.
  const std::size_t first = size();
  for (const std::string& id : ids) commit_row(id);
  for (std::size_t i = 0; i < fresh.size(); ++i) fresh[i] = first + i;
  const auto by_id = [this](std::size_t a, std::size_t b) { return id(a) < id(b); };
  std::sort(fresh.begin(), fresh.end(), by_id);
  std::merge(order_.begin(), order_.end(), fresh.begin(), fresh.end(), std::back_inserter(merged),
             by_id);
  order_.swap(merged);
}

bool EntryStore::remove(std::string_view id) noexcept {
  const Search found = search(id);
  if (!found.found) return false;
  const std::size_t row = order_[found.position];
  const std::size_t last = size() - 1;
  garbage_ += refs_[row].length;
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(found.position));
  if (row != last) {
    // The last row moves into the freed one; its order slot follows it.
    const Search moved = search(this->id(last));
    order_[moved.position] = row;
    codes_.copy_row(row, last);
    if (residual_bytes_ != 0)
      std::memcpy(residuals_.row(row), residuals_.row(last), residual_bytes_);
    refs_[row] = refs_[last];
  }
  refs_.pop_back();
  codes_.shrink(size());
  residuals_.shrink(size());
  if (refs_.empty()) {
    arena_.clear();
    garbage_ = 0;
  } else if (garbage_ > 4096 && garbage_ > arena_.size() / 2) {
    compact_arena();
  }
  return true;
}

void EntryStore::compact_arena() noexcept {
  try {
    std::vector<char> packed;
    packed.reserve(arena_.size() - garbage_);
    for (IdRef& ref : refs_) {
      const std::uint64_t offset = packed.size();
      packed.insert(packed.end(), arena_.begin() + static_cast<std::ptrdiff_t>(ref.offset),
                    arena_.begin() + static_cast<std::ptrdiff_t>(ref.offset + ref.length));
      ref.offset = offset;
    }
    arena_.swap(packed);
    garbage_ = 0;
  } catch (const std::bad_alloc&) {
    // Compaction only saves memory; without room for it the arena stays.
  }
}

}  // namespace marrowfin::corpus
