#include "core/backend/vector_block_store.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/backend/cosine_similarity.hpp"
#include "core/backend/search_scan.hpp"
#include "test_support.hpp"

namespace marrowfin::backend {
namespace {

// What the vector storage may hold for `slots` slots: twice their bytes, plus
// one chunk of about 4 MiB (the last chunk is allocated whole).
std::size_t bound(std::size_t slots, std::size_t dim) {
  return 2 * slots * dim * sizeof(float) + (std::size_t{4} << 20) + dim * sizeof(float);
}

void append(VectorBlockStore& store, std::size_t number, const std::vector<float>& values) {
  store.reserve_one_more();
  store.append(share_text(std::to_string(number)), values);
  store.settle_appended(simd::best_level());
}

// One 4,194,304-dimension vector used to cost a whole 16-lane block (256 MiB).
TEST(VectorBlockStore, AFewVectorsOfAVeryHighDimensionCostAboutTheirOwnBytes) {
  constexpr std::size_t kDim = std::size_t{1} << 22;
  const std::vector<float> values(kDim, 0.5f);
  VectorBlockStore store(kDim);
  for (std::size_t n = 1; n <= 5; ++n) {
    append(store, n, values);
    EXPECT_LE(store.vector_bytes(), 2 * n * kDim * sizeof(float)) << n << " vectors";
  }
}

// Growing through narrow, regular and chunked layouts, then shrinking by
// removals: the bound holds after every step, and every score keeps its bits.
class MemoryBound : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MemoryBound, HoldsWhileGrowingAndAfterCompaction) {
  const std::size_t dim = GetParam();
  const std::size_t total = dim >= 65536 ? 40 : 3000;
  const std::vector<float> query = test::gaussian_floats(dim, 7);
  std::vector<std::vector<float>> vectors;
  VectorBlockStore store(dim);
  for (std::size_t n = 0; n < total; ++n) {
    vectors.push_back(test::gaussian_floats(dim, static_cast<std::uint32_t>(n)));
    append(store, n, vectors.back());
    ASSERT_LE(store.vector_bytes(), bound(n + 1, dim)) << n + 1 << " vectors";
  }
  // Remove all but a few, from the back, so that the store compacts in steps.
  std::size_t live = total;
  while (live > 1) {
    const std::size_t keep = live / 3;
    for (std::size_t s = keep; s < live; ++s) store.remove(s);
    ASSERT_TRUE(store.compact_if_sparse());
    live = keep == 0 ? 0 : keep;
    ASSERT_EQ(store.live_count(), live);
    ASSERT_LE(store.vector_bytes(), bound(live, dim)) << live << " vectors left";
    if (live <= kBlockLanes / 2) {
      EXPECT_TRUE(store.narrow());
    }
    if (live == 0) break;
    std::vector<float> scores(store.block_count() * kBlockLanes);
    store.score_blocks(scan_kernels::select(simd::best_level()), 0, 1, query.data(),
                       sequential_sum_of_squares(query), scores.data());
    for (std::size_t s = 0; s < std::min(live, kBlockLanes); ++s) {
      EXPECT_EQ(test::bits(scores[s]), test::bits(cosine_similarity(query, vectors[s])))
          << "slot " << s << " of " << live;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dimensions, MemoryBound, ::testing::Values(3, 768, 65536, 300000));

}  // namespace
}  // namespace marrowfin::backend
