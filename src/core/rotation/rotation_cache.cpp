#include "core/rotation/rotation_cache.hpp"

namespace marrowfin::rotation {

RotationCache::Values RotationCache::find(std::uint64_t seed, std::uint32_t dimension) {
  std::lock_guard lock(mutex_);
  const auto it = index_.find(Key{seed, dimension});
  if (it == index_.end()) return nullptr;
  recency_.splice(recency_.begin(), recency_, it->second);
  return it->second->values;
}

RotationCache::Values RotationCache::offer(std::uint64_t seed, std::uint32_t dimension,
                                           Values values) {
  const std::size_t size = values->size() * sizeof(double);
  if (size > max_entry_bytes_ || size > capacity_bytes_) return values;
  // Node allocations happen before the lock; dropping evicted values (which
  // may free a large buffer) happens after it.
  std::list<Entry> node;
  node.push_back(Entry{Key{seed, dimension}, values, size});
  std::list<Entry> evicted;
  {
    std::lock_guard lock(mutex_);
    const auto existing = index_.find(Key{seed, dimension});
    if (existing != index_.end()) {
      recency_.splice(recency_.begin(), recency_, existing->second);
      return existing->second->values;
    }
    while (bytes_ + size > capacity_bytes_) {
      const auto last = std::prev(recency_.end());
      bytes_ -= last->bytes;
      index_.erase(last->key);
      evicted.splice(evicted.end(), recency_, last);
    }
    index_.emplace(Key{seed, dimension}, node.begin());
    recency_.splice(recency_.begin(), node);
    bytes_ += size;
  }
  return values;
}

std::size_t RotationCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t RotationCache::entries() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

RotationCache& RotationCache::process_wide() {
  // Never destroyed: matrices may still be looked up from threads that
  // outlive static destruction.
  static auto* cache = new RotationCache();
  return *cache;
}

}  // namespace marrowfin::rotation
