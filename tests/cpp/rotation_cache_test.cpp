#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "core/rotation/rotation_cache.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::rotation {
namespace {

constexpr std::size_t kEntry = 100;  // doubles
constexpr std::size_t kEntryBytes = kEntry * sizeof(double);

RotationCache::Values values_of(std::size_t count) {
  return std::make_shared<const std::vector<double>>(count, 1.0);
}

TEST(RotationCache, EvictsTheLeastRecentlyUsedEntry) {
  RotationCache cache(3 * kEntryBytes, 3 * kEntryBytes);
  const auto a = cache.offer(1, 10, values_of(kEntry));
  cache.offer(2, 10, values_of(kEntry));
  const auto c = cache.offer(3, 10, values_of(kEntry));
  EXPECT_EQ(cache.offer(3, 10, values_of(kEntry)), c);  // the first offer wins
  EXPECT_EQ(cache.find(3, 11), nullptr);                // the key includes the dimension
  EXPECT_EQ(cache.find(1, 10), a);                      // 1 is now the most recent, 2 the least
  cache.offer(4, 10, values_of(kEntry));
  EXPECT_EQ(cache.find(2, 10), nullptr);
  EXPECT_EQ(cache.find(1, 10), a);
  EXPECT_EQ(cache.find(3, 10), c);
  EXPECT_NE(cache.find(4, 10), nullptr);
  // Recency is now 4, 3, 1: a double-size entry pushes out 1 and 3.
  cache.offer(5, 20, values_of(2 * kEntry));
  EXPECT_EQ(cache.entries(), 2u);
  EXPECT_EQ(cache.find(1, 10), nullptr);
  EXPECT_EQ(cache.find(3, 10), nullptr);
  EXPECT_NE(cache.find(4, 10), nullptr);
  EXPECT_EQ(cache.bytes(), 3 * kEntryBytes);
}

TEST(RotationCache, OversizedMatricesAreReturnedButNotKept) {
  RotationCache cache(10 * kEntryBytes, kEntryBytes);
  const auto big = values_of(kEntry + 1);
  EXPECT_EQ(cache.offer(1, 1, big), big);
  EXPECT_EQ(cache.entries(), 0u);
  EXPECT_EQ(cache.find(1, 1), nullptr);
}

TEST(RotationCache, ConcurrentLookupsAgreeOnEveryByte) {
  const auto expected = RotationMatrix::build(31337, 96).matrix_f64_bytes();
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 5; ++round)
        mismatches += RotationMatrix::cached(31337, 96).matrix_f64_bytes() != expected;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_NE(RotationCache::process_wide().find(31337, 96), nullptr);
  EXPECT_LE(RotationCache::process_wide().bytes(), RotationCache::kDefaultCapacityBytes);
}

}  // namespace
}  // namespace marrowfin::rotation
