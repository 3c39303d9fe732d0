#include "core/backend/cosine_similarity.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/backend/scan_kernels.hpp"

namespace marrowfin::backend {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

struct KnownAnswer {
  const char* name;
  std::vector<float> a;
  std::vector<float> b;
  std::uint32_t expected_bits;  // NaN: any NaN is accepted
};

// Expected values come from an independent float32 emulation (NumPy scalars,
// one rounding per operation). The "order" case separates the defined
// summation from three tempting variants: four-lane partial sums (0x3e2bb3b0),
// fused multiply-add (0x3e2bb3b0) and sqrt(na) * sqrt(nb) (0x3e2bb3ae).
const KnownAnswer kKnownAnswers[] = {
    {"parallel", {1, 0}, {1, 0}, 0x3f800000},
    {"orthogonal", {1, 0}, {0, 1}, 0x00000000},
    {"opposite", {1, 0}, {-3, 0}, 0xbf800000},
    {"empty", {}, {}, 0x00000000},
    {"zero stored vector", {1, 2, 3}, {0, 0, 0}, 0x00000000},
    {"zero query", {0, 0, 0}, {1, 2, 3}, 0x00000000},
    {"nan in a", {kNaN, 1}, {1, 1}, 0x00000000},
    {"nan in b", {1, 1}, {1, kNaN}, 0x00000000},
    {"nan beats infinity", {kInf, 1}, {1, kNaN}, 0x00000000},
    {"shorter length wins", {1, 0, 5}, {1, 0}, 0x3f800000},
    // 1e-40 is subnormal; 1e-40 * 1e-40 underflows to zero, so parallel
    // vectors score 0.
    {"norm product underflows", {1e-20f}, {1e-20f}, 0x00000000},
    // na = 4e38 overflows to infinity: dot / inf.
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

class CosineKnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(CosineKnownAnswer, MatchesBitForBit) {
  const KnownAnswer& c = GetParam();
  const float got = cosine_similarity(c.a, c.b);
  if (std::isnan(std::bit_cast<float>(c.expected_bits))) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_EQ(bits(got), c.expected_bits) << got;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CosineKnownAnswer, ::testing::ValuesIn(kKnownAnswers),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (ch == ' ' || ch == '-') ch = '_';
                           }
                           return name;
                         });

// Values that stress rounding: ordinary, tiny, subnormal, huge, infinite,
// signed zeros and (optionally) NaN.
float awkward_value(std::mt19937& rng, bool allow_nan) {
  std::uniform_int_distribution<int> pick(0, 19);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  switch (pick(rng)) {
    case 0:
      return 0.0f;
    case 1:
      return -0.0f;
    case 2:
      return normal(rng) * 1e-41f;  // subnormal
    case 3:
      return normal(rng) * 1e-20f;  // squares underflow
    case 4:
      return normal(rng) * 1e19f;  // squares near the top of the range
    case 5:
      return normal(rng) * 1e30f;  // squares overflow
    case 6:
      return pick(rng) < 10 ? kInf : -kInf;
    case 7:
      return allow_nan ? kNaN : 1.0f;
    default:
      return normal(rng);
  }
}

// The search path sums a·b, a·a and b·b separately (the norms once per vector);
// they are independent running sums, so the result must not change by a bit.
TEST(CosinePieces, SplitSumsGiveTheSameBits) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 4000; ++trial) {
    const std::size_t n = trial % 40;
    std::vector<float> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = awkward_value(rng, false);
      b[i] = awkward_value(rng, false);
    }
    float dot = 0.0f;
    for (std::size_t i = 0; i < n; ++i) dot += a[i] * b[i];
    const float split =
        cosine_from_sums(dot, sequential_sum_of_squares(a), sequential_sum_of_squares(b));
    ASSERT_EQ(bits(split), bits(cosine_similarity(a, b))) << "trial " << trial;
  }
}

// The store and the scan read "holds a NaN" off the sum of squares instead of
// a separate pass; that is sound only if the two always agree.
TEST(CosinePieces, SumOfSquaresIsNanExactlyWhenAnElementIs) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<float> v(trial % 24);
    const bool allow_nan = trial % 3 == 0;
    for (float& x : v) x = awkward_value(rng, allow_nan);
    const float sum = sequential_sum_of_squares(v);
    ASSERT_EQ(std::isnan(sum), contains_nan(v)) << "trial " << trial;
  }
}

TEST(CosinePieces, ContainsNan) {
  EXPECT_FALSE(contains_nan(std::vector<float>{}));
  EXPECT_FALSE(contains_nan(std::vector<float>{kInf, -kInf, 0.0f, -0.0f, 1e-45f}));
  for (std::size_t at = 0; at < 37; ++at) {
    std::vector<float> values(37, 1.0f);
    values[at] = -kNaN;
    EXPECT_TRUE(contains_nan(values)) << at;
  }
}

// Every kernel against the scalar definition, lane by lane, on awkward data,
// over one and several consecutive blocks.
class ScanKernelTest : public ::testing::TestWithParam<ScanKernel> {
 protected:
  void SetUp() override {
    if (!scan_kernel_available(GetParam())) GTEST_SKIP() << "not supported by this processor";
  }
};

std::vector<float> lane_vector(const std::vector<float>& blocks, std::size_t dim,
                               std::size_t slot) {
  std::vector<float> v(dim);
  const std::size_t b = slot / kBlockLanes;
  for (std::size_t i = 0; i < dim; ++i)
    v[i] = blocks[(b * dim + i) * kBlockLanes + slot % kBlockLanes];
  return v;
}

TEST_P(ScanKernelTest, ScoresEqualCosineSimilarity) {
  std::mt19937 rng(5);
  for (std::size_t dim : {0u, 1u, 3u, 17u, 128u}) {
    for (std::size_t block_count : {1u, 2u, 3u, 5u}) {
      const std::size_t slots = block_count * kBlockLanes;
      std::vector<float> blocks(block_count * dim * kBlockLanes);
      std::vector<float> query(dim);
      for (float& v : blocks) v = awkward_value(rng, rng() % 4 == 0);
      for (float& v : query) v = awkward_value(rng, false);
      std::vector<float> sums(slots);
      std::vector<std::uint8_t> flags(slots);
      for (std::size_t s = 0; s < slots; ++s) {
        const std::vector<float> v = lane_vector(blocks, dim, s);
        sums[s] = sequential_sum_of_squares(v);
        flags[s] = static_cast<std::uint8_t>(kSlotLive | (contains_nan(v) ? kSlotHasNan : 0));
      }
      std::vector<float> scores(slots, -1.0f);
      score_blocks(GetParam(), blocks.data(), block_count, dim, query.data(),
                   sequential_sum_of_squares(query), sums.data(), flags.data(), scores.data());
      for (std::size_t s = 0; s < slots; ++s) {
        ASSERT_EQ(bits(scores[s]), bits(cosine_similarity(query, lane_vector(blocks, dim, s))))
            << "dim " << dim << " slot " << s << ": " << scores[s];
      }
    }
  }
}

TEST_P(ScanKernelTest, LaneSumsOfSquaresAreSequential) {
  std::mt19937 rng(6);
  for (std::size_t dim : {0u, 1u, 2u, 9u, 64u, 300u}) {
    std::vector<float> block(dim * kBlockLanes);
    for (float& v : block) v = awkward_value(rng, rng() % 64 == 0);
    float sums[kBlockLanes];
    lane_sums_of_squares(GetParam(), block.data(), dim, sums);
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      const std::vector<float> v = lane_vector(block, dim, lane);
      ASSERT_EQ(bits(sums[lane]), bits(sequential_sum_of_squares(v))) << "dim " << dim;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ScanKernelTest,
                         ::testing::Values(ScanKernel::Auto, ScanKernel::Scalar, ScanKernel::Avx2,
                                           ScanKernel::Avx512),
                         [](const auto& info) {
                           switch (info.param) {
                             case ScanKernel::Auto:
                               return std::string("Auto");
                             case ScanKernel::Scalar:
                               return std::string("Scalar");
                             case ScanKernel::Avx2:
                               return std::string("Avx2");
                             case ScanKernel::Avx512:
                               return std::string("Avx512");
                           }
                           return std::string("Unknown");
                         });

}  // namespace
}  // namespace marrowfin::backend
