// The process-wide cache of generated rotation matrices, keyed by
// (seed, dimension). Generation costs O(n^3) while the result is a pure
// function of the key, so repeated compressions with one configuration reuse
// the shared immutable values instead of regenerating them.
//
// Bounded in bytes with least-recently-used eviction; a matrix larger than
// the per-entry bound is never cached. Thread-safe; the lock is never held
// while a matrix is being generated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace marrowfin::rotation {

class RotationCache {
 public:
  using Values = std::shared_ptr<const std::vector<double>>;

  static constexpr std::size_t kDefaultCapacityBytes = std::size_t{256} << 20;
  static constexpr std::size_t kDefaultMaxEntryBytes = std::size_t{64} << 20;

  explicit RotationCache(std::size_t capacity_bytes = kDefaultCapacityBytes,
                         std::size_t max_entry_bytes = kDefaultMaxEntryBytes)
      : capacity_bytes_(capacity_bytes), max_entry_bytes_(max_entry_bytes) {}

  // The cached values for the key (now the most recently used), or null.
  Values find(std::uint64_t seed, std::uint32_t dimension);

  // Offers freshly built values for the key and returns the values the
  // caller should use: the ones already cached if another thread got there
  // first, else `values` (cached if they fit, evicting the least recently
  // used entries as needed).
  Values offer(std::uint64_t seed, std::uint32_t dimension, Values values);

  std::size_t bytes() const;
  std::size_t entries() const;

  // The cache behind RotationMatrix::cached.
  static RotationCache& process_wide();

 private:
  using Key = std::pair<std::uint64_t, std::uint32_t>;
  struct Entry {
    Key key;
    Values values;
    std::size_t bytes;
  };

  mutable std::mutex mutex_;
  std::list<Entry> recency_;  // most recently used first
  std::map<Key, std::list<Entry>::iterator> index_;
  std::size_t bytes_ = 0;
  std::size_t capacity_bytes_;
  std::size_t max_entry_bytes_;
};

}  // namespace marrowfin::rotation
