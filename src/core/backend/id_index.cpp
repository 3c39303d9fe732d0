#include "core/backend/id_index.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "core/common/siphash.hpp"

namespace marrowfin::backend {
namespace {

constexpr std::size_t kMinCells = 16;

// At most 7 entries per 10 cells: linear probing stays short.
bool too_full(std::size_t entries, std::size_t cells) noexcept { return entries * 10 > cells * 7; }

}  // namespace

// Keyed with the process's secret key: ids are chosen by callers, and with a
// hash they could compute (an unkeyed one, whatever mixing follows) they could
// send ids that all share one cell and make every lookup walk all of them.
std::uint64_t IdIndex::hash_of(std::string_view id) noexcept {
  const HashKey& key = process_hash_key();
  return siphash13(key.k0, key.k1, id);
}

// The high bits pick the cell: every bit of a SipHash is as good as another.
std::size_t IdIndex::home_of(std::uint64_t hash) const noexcept {
  return static_cast<std::size_t>(hash >> shift_);
}

std::size_t IdIndex::find(std::string_view id, std::uint64_t hash,
                          const VectorBlockStore& store) const noexcept {
  if (cells_.empty()) return kNotFound;
  const std::size_t mask = cells_.size() - 1;
  for (std::size_t i = home_of(hash);; i = (i + 1) & mask) {
    const Cell& cell = cells_[i];
    if (cell.slot_plus_one == 0) return kNotFound;
    if (cell.hash == hash && std::string_view(*store.id(cell.slot_plus_one - 1)) == id) {
      return cell.slot_plus_one - 1;
    }
  }
}

void IdIndex::place(std::vector<Cell>& cells, Cell cell) const noexcept {
  const std::size_t mask = cells.size() - 1;
  std::size_t i = home_of(cell.hash);
  while (cells[i].slot_plus_one != 0) i = (i + 1) & mask;
  cells[i] = cell;
}

void IdIndex::reserve(std::size_t count) {
  std::size_t wanted = cells_.empty() ? kMinCells : cells_.size();
  while (too_full(count, wanted)) wanted *= 2;
  if (wanted == cells_.size()) return;
  std::vector<Cell> grown(wanted);
  std::vector<Cell> old = std::exchange(cells_, std::move(grown));
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(wanted));
  for (const Cell& cell : old) {
    if (cell.slot_plus_one != 0) place(cells_, cell);
  }
}

void IdIndex::insert(std::uint64_t hash, std::size_t slot) noexcept {
  place(cells_, Cell{hash, slot + 1});
}

void IdIndex::erase(std::uint64_t hash, std::size_t slot) noexcept {
  if (cells_.empty()) return;
  const std::size_t mask = cells_.size() - 1;
  std::size_t hole = home_of(hash);
  while (cells_[hole].slot_plus_one != slot + 1) {
    if (cells_[hole].slot_plus_one == 0) return;  // not present
    hole = (hole + 1) & mask;
  }
  // Backward shift: move up every later cell of the run whose home does not
  // lie cyclically in (hole, j], so that no probe sequence crosses an empty
  // cell it used to pass.
  for (std::size_t j = (hole + 1) & mask; cells_[j].slot_plus_one != 0; j = (j + 1) & mask) {
    const std::size_t home = home_of(cells_[j].hash);
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    cells_[hole] = cells_[j];
    hole = j;
  }
  cells_[hole] = Cell{};
}

void IdIndex::rebuild(const VectorBlockStore& store) noexcept {
  std::fill(cells_.begin(), cells_.end(), Cell{});
  for (std::size_t s = 0; s < store.slot_count(); ++s) {
    if (store.live(s)) insert(hash_of(*store.id(s)), s);
  }
}

void IdIndex::clear() noexcept {
  std::vector<Cell>().swap(cells_);
  shift_ = 64;
}

}  // namespace marrowfin::backend
