#include "core/backend/cosine_similarity.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/backend/scan_kernels.hpp"
#include "test_support.hpp"

namespace marrowfin::backend {
namespace {

using test::bits;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Expected values come from an independent float32 emulation (NumPy scalars,
// one rounding per operation). The "order" case separates the defined
// summation from three tempting variants: four-lane partial sums (0x3e2bb3b0),
// fused multiply-add (0x3e2bb3b0) and sqrt(na) * sqrt(nb) (0x3e2bb3ae).
TEST(CosineSimilarity, KnownAnswersBitForBit) {
  struct Case {
    const char* name;
    std::vector<float> a, b;
    std::uint32_t expected_bits;  // a NaN pattern accepts any NaN
  };
  const Case cases[] = {
      {"orthogonal", {1, 0}, {0, 1}, 0x00000000},
      {"opposite", {1, 0}, {-3, 0}, 0xbf800000},
      {"empty", {}, {}, 0x00000000},
      {"zero stored vector", {1, 2, 3}, {0, 0, 0}, 0x00000000},
      {"nan in a", {kNaN, 1}, {1, 1}, 0x00000000},
      {"nan in b beats infinity in a", {kInf, 1}, {1, kNaN}, 0x00000000},
      {"shorter length wins", {1, 0, 5}, {1, 0}, 0x3f800000},
      {"norm product underflows", {1e-20f}, {1e-20f}, 0x00000000},
      {"norm overflows", {2e19f}, {1}, 0x00000000},
      {"norm at the edge", {1e19f}, {1}, 0x3f800000},
      {"infinite dot", {kInf, 0}, {1, 0}, 0x7fc00000},
      {"infinity times zero", {kInf}, {0}, 0x7fc00000},
      {"above one",
       {0x1.63fec8p-1f, -0x1.581e72p+0f, -0x1.d4993ap-2f, -0x1.e6b688p+0f},
       {0x1.088a44p+1f, -0x1.ff6dfcp+1f, -0x1.5c3734p+0f, -0x1.69ad2ep+2f},
       0x3f800001},
      {"below minus one",
       {-0x1.d77bf2p+0f, -0x1.e17776p-3f, -0x1.447760p+0f, 0x1.15c652p-2f},
       {0x1.15cc7ep+0f, 0x1.1bae34p-3f, 0x1.7e59fep-1f, -0x1.475480p-3f},
       0xbf800001},
      {"order",
       {-0x1.d24598p-1f, -0x1.7cadbcp+0f, 0x1.0f5926p+0f, 0x1.b58776p+0f, 0x1.22b386p-5f,
        0x1.064f1ep+1f, 0x1.5da19ap-1f, -0x1.a7edc2p+0f, 0x1.c8cf04p-1f},
       {-0x1.2cc2bap+0f, -0x1.8b4dcep-1f, 0x1.0800b2p+0f, 0x1.591d40p-1f, -0x1.43d9cep+0f,
        -0x1.4781a2p+0f, -0x1.ae555ep-1f, -0x1.bacae2p-4f, 0x1.daad82p-2f},
       0x3e2bb3af},
  };
  for (const Case& c : cases) {
    const float got = cosine_similarity(c.a, c.b);
    if (std::isnan(std::bit_cast<float>(c.expected_bits))) {
      EXPECT_TRUE(std::isnan(got)) << c.name;
    } else {
      EXPECT_EQ(bits(got), c.expected_bits) << c.name << ": " << got;
    }
  }
}

// Ordinary values mixed with signed zeros, subnormals, values whose squares
// underflow, approach the top of the range or overflow, infinities and
// (optionally) NaN.
float awkward_value(std::mt19937& rng, bool allow_nan) {
  static const float kScales[] = {0.0f, -0.0f, 1e-41f, 1e-20f, 1e19f, 1e30f};
  const auto pick = rng() % 20;
  const float x = std::normal_distribution<float>(0.0f, 1.0f)(rng);
  if (pick < std::size(kScales)) return x * kScales[pick];
  if (pick == 6) return rng() % 2 ? kInf : -kInf;
  if (pick == 7 && allow_nan) return kNaN;
  return x;
}

// The store and the scan read "holds a NaN" off the sum of squares instead of
// a separate pass; that is sound only if the two always agree.
TEST(CosinePieces, SumOfSquaresIsNanExactlyWhenAnElementIs) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<float> v(trial % 24);
    for (float& x : v) x = awkward_value(rng, trial % 3 == 0);
    ASSERT_EQ(std::isnan(sequential_sum_of_squares(v)), contains_nan(v)) << trial;
  }
}

// Every kernel against the scalar definition, lane by lane, over one and
// several consecutive blocks. The kernels score from the separate sums a.b,
// a.a and b.b, so this also shows that splitting the sums changes no bit.
class ScanKernelTest : public ::testing::TestWithParam<simd::Level> {
 protected:
  void SetUp() override { MARROWFIN_SKIP_UNLESS_SUPPORTED(GetParam()); }
  const scan_kernels::Kernels& kernels() const { return scan_kernels::select(GetParam()); }
};

std::vector<float> lane_vector(const std::vector<float>& blocks, std::size_t dim,
                               std::size_t slot) {
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < dim; ++i)
    v[i] = blocks[((slot / kBlockLanes) * dim + i) * kBlockLanes + slot % kBlockLanes];
  return v;
}

TEST_P(ScanKernelTest, ScoresEqualCosineSimilarity) {
  std::mt19937 rng(5);
  for (std::size_t dim : {0u, 1u, 17u, 128u}) {
    for (std::size_t block_count : {1u, 3u}) {
      const std::size_t slots = block_count * kBlockLanes;
      std::vector<float> blocks(block_count * dim * kBlockLanes), query(dim), sums(slots),
          scores(slots, -1.0f);
      std::vector<std::uint8_t> flags(slots);
      for (float& v : blocks) v = awkward_value(rng, rng() % 4 == 0);
      for (float& v : query) v = awkward_value(rng, false);
      for (std::size_t s = 0; s < slots; ++s) {
        const std::vector<float> v = lane_vector(blocks, dim, s);
        sums[s] = sequential_sum_of_squares(v);
        flags[s] = static_cast<std::uint8_t>(kSlotLive | (contains_nan(v) ? kSlotHasNan : 0));
      }
      kernels().score_blocks(blocks.data(), block_count, dim, query.data(),
                             sequential_sum_of_squares(query), sums.data(), flags.data(),
                             scores.data());
      for (std::size_t s = 0; s < slots; ++s) {
        ASSERT_EQ(bits(scores[s]), bits(cosine_similarity(query, lane_vector(blocks, dim, s))))
            << dim << " " << s;
      }
    }
  }
}

TEST_P(ScanKernelTest, LaneSumsOfSquaresAreSequential) {
  std::mt19937 rng(6);
  for (std::size_t dim : {0u, 1u, 9u, 300u}) {
    std::vector<float> block(dim * kBlockLanes);
    for (float& v : block) v = awkward_value(rng, rng() % 64 == 0);
    float sums[kBlockLanes];
    kernels().lane_sums_of_squares(block.data(), dim, sums);
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      ASSERT_EQ(bits(sums[lane]), bits(sequential_sum_of_squares(lane_vector(block, dim, lane))))
          << dim;
    }
  }
}

std::string level_name(const ::testing::TestParamInfo<simd::Level>& info) {
  return std::string(simd::name(info.param));
}

INSTANTIATE_TEST_SUITE_P(Levels, ScanKernelTest, ::testing::ValuesIn(simd::kAllLevels), level_name);

}  // namespace
}  // namespace marrowfin::backend
