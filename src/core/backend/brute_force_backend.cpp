#include "core/backend/brute_force_backend.hpp"

#include <algorithm>
#include <utility>

namespace marrowfin::backend {

Status<BackendError> BruteForceBackend::ingest_one(const IngestItem& item, std::uint64_t hash) {
  const std::uint64_t length = item.vector.size();
  if (!dimension_) {
    // Only a new or cleared backend has no dimension, and both are empty.
    dimension_ = length;
    store_ = VectorBlockStore(item.vector.size());
  } else if (length != *dimension_) {
    return fail(BackendError::dimension_mismatch(*dimension_, length));
  }

  if (const std::size_t slot = index_.find(item.id, hash, store_); slot != IdIndex::kNotFound) {
    store_.overwrite(slot, item.vector);
    return {};
  }
  // Everything that can throw happens before the store or the index changes,
  // so an allocation failure leaves both consistent.
  SharedText id = share_text(std::string(item.id));
  store_.reserve_one_more();
  index_.reserve(store_.live_count() + 1);
  index_.insert(hash, store_.append(std::move(id), item.vector));
  return {};
}

Status<BackendError> BruteForceBackend::ingest(std::span<const IngestItem> items) {
  // However the loop ends, the appended slots get their sums of squares
  // before anyone can search them.
  struct Settle {
    VectorBlockStore& store;
    simd::Level level;
    ~Settle() { store.settle_appended(level); }
  } settle{store_, tuning_.level};

  // A large store's index does not fit in cache: hash a few items ahead and
  // start loading their table cells while the current item is copied.
  constexpr std::size_t kLookAhead = 8;
  std::uint64_t hashes[kLookAhead];
  for (std::size_t j = 0; j < std::min(kLookAhead, items.size()); ++j) {
    hashes[j] = IdIndex::hash_of(items[j].id);
    index_.prefetch(hashes[j]);
  }

  for (std::size_t j = 0; j < items.size(); ++j) {
    const std::uint64_t hash = hashes[j % kLookAhead];
    if (j + kLookAhead < items.size()) {
      hashes[j % kLookAhead] = IdIndex::hash_of(items[j + kLookAhead].id);
      index_.prefetch(hashes[j % kLookAhead]);
    }
    if (Status<BackendError> stored = ingest_one(items[j], hash); !stored.ok()) return stored;
  }
  return {};
}

Result<std::vector<SearchResult>, BackendError> BruteForceBackend::search(
    std::span<const float> query, std::uint64_t top_k, const StopToken& stop) const {
  if (top_k == 0) return fail(BackendError::invalid_top_k());
  if (store_.live_count() == 0) return std::vector<SearchResult>{};
  if (dimension_ && *dimension_ != query.size()) {
    return fail(BackendError::dimension_mismatch(*dimension_, query.size()));
  }

  const std::size_t k =
      static_cast<std::size_t>(std::min<std::uint64_t>(top_k, store_.live_count()));
  const std::optional<std::vector<ScoredSlot>> best = scan_top_k(store_, query, k, tuning_, stop);
  if (!best) return fail(BackendError::interrupted());
  std::vector<SearchResult> results;
  results.reserve(best->size());
  for (const ScoredSlot& scored : *best) {
    results.push_back(SearchResult{store_.id(scored.slot), scored.score});
  }
  return results;
}

void BruteForceBackend::remove_one(std::string_view id) noexcept {
  const std::uint64_t hash = IdIndex::hash_of(id);
  const std::size_t slot = index_.find(id, hash, store_);
  if (slot == IdIndex::kNotFound) return;
  index_.erase(hash, slot);
  store_.remove(slot);
}

void BruteForceBackend::finish_removal() noexcept {
  if (store_.compact_if_sparse()) index_.rebuild(store_);
}

void BruteForceBackend::remove(std::span<const std::string> ids) noexcept {
  for (const std::string& id : ids) remove_one(id);
  finish_removal();
}

void BruteForceBackend::clear() noexcept {
  index_.clear();
  store_ = VectorBlockStore();
  dimension_.reset();
}

}  // namespace marrowfin::backend
