#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/codec/binary16.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/quantize_kernels.hpp"
#include "core/codec/total_order.hpp"

namespace marrowfin::codec {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::bit_cast<float>(0x7fc00000u);
const float kNegNaN = std::bit_cast<float>(0xffc00000u);
const float kSignallingNaN = std::bit_cast<float>(0x7f800001u);

CodecConfig config_with_bits(std::uint8_t bit_width) {
  return CodecConfig::create(bit_width, 1, 8, false).value();
}

std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
  return bits;
}

// ---- construction -------------------------------------------------------

struct CreateCase {
  std::vector<float> entries;
  int bit_width;
  const char* error;  // nullptr: accepted
};

TEST(CodebookCreate, ChecksInOrder) {
  const std::vector<CreateCase> cases = {
      {{0.0f, 1.0f, 2.0f, 3.0f}, 2, nullptr},
      {{0.0f, 1.0f, 2.0f}, 2, "codebook must have 4 entries for bit_width=2, got 3"},
      {{0.0f, 1.0f, 1.0f, 2.0f}, 2, "codebook must contain 4 distinct values, got 2"},
      {{1.0f, 1.0f, 0.0f, 2.0f}, 2, "codebook must contain 4 distinct values, got 1"},
      {{0.0f, 2.0f, 1.0f, 3.0f}, 2, "codebook entries must be sorted ascending"},
      {{0.0f, 2.0f, 1.0f, 1.0f}, 2, "codebook entries must be sorted ascending"},
      {{-0.0f, 0.0f, 1.0f, 2.0f}, 2, nullptr},
      {{0.0f, -0.0f, 1.0f, 2.0f}, 2, "codebook entries must be sorted ascending"},
      {{kNegNaN, -kInf, kInf, kNaN}, 2, nullptr},
      {{0.0f, kNaN, 1.0f, 2.0f}, 2, "codebook entries must be sorted ascending"},
      {{kNaN, kNaN, 1.0f, 2.0f}, 2, "codebook must contain 4 distinct values, got 1"},
      {{0, 1, 2, 3, 4, 5, 6, 7}, 3, nullptr},
      {{5.0f}, 0, nullptr},
      {{}, 0, "codebook must have 1 entries for bit_width=0, got 0"},
      {{0.0f, 1.0f, 2.0f, 3.0f}, 40, "bit_width must be one of [2, 4, 8], got 40"},
      {{}, 32, "bit_width must be one of [2, 4, 8], got 32"},
      {{0.0f, 1.0f, 2.0f, 3.0f}, 31, "codebook must have 2147483648 entries for bit_width=31, got 4"},
  };
  for (const auto& c : cases) {
    auto result = Codebook::create(c.entries, static_cast<std::uint8_t>(c.bit_width));
    if (c.error == nullptr) {
      ASSERT_TRUE(result.ok()) << result.error().message();
      EXPECT_EQ(bits_of(result.value().entries()), bits_of(c.entries));
      EXPECT_EQ(result.value().num_entries(), c.entries.size());
    } else {
      ASSERT_FALSE(result.ok()) << c.error;
      EXPECT_EQ(result.error().message(), c.error);
    }
  }
}

TEST(CodebookDequantize, IndexBeyondTableFails) {
  const auto codebook = Codebook::create({-1.0f, -0.25f, 0.25f, 1.0f}, 2).value();
  EXPECT_EQ(codebook.dequantize(2).value(), 0.25f);
  EXPECT_EQ(codebook.dequantize(4).error().message(), "index 4 is out of range [0, 4)");
}

// ---- total order and sorting ---------------------------------------------

TEST(TotalOrder, KeysFollowTheRelation) {
  const std::vector<float> ascending = {kNegNaN, -kInf, -1e38f, -1.0f, -1e-45f, -0.0f,
                                        0.0f,    1e-45f, 1.0f,   kInf,  kSignallingNaN, kNaN};
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(total_order_key(ascending[i - 1]), total_order_key(ascending[i])) << i;
    EXPECT_LT(total_order_unsigned_key(ascending[i - 1]), total_order_unsigned_key(ascending[i]));
  }
  const std::vector<double> ascending64 = {std::bit_cast<double>(0xfff8000000000000ull), -HUGE_VAL, -1e300, -0.0,
                                           0.0, 5e-324, HUGE_VAL, std::bit_cast<double>(0x7ff0000000000001ull)};
  for (std::size_t i = 1; i < ascending64.size(); ++i) {
    EXPECT_LT(total_order_key(ascending64[i - 1]), total_order_key(ascending64[i])) << i;
    EXPECT_LT(total_order_unsigned_key(ascending64[i - 1]), total_order_unsigned_key(ascending64[i])) << i;
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    const float a = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(from_total_order_unsigned_key(total_order_unsigned_key(a))),
              std::bit_cast<std::uint32_t>(a));
  }
}

TEST(TotalOrder, RadixSortMatchesComparisonSort) {
  std::mt19937 rng(99);
  for (std::size_t n : {0u, 1u, 2u, 17u, 5000u, 300000u}) {
    std::vector<std::uint32_t> keys(n);
    // Narrow key ranges exercise the skipped passes.
    const std::uint32_t mask = n % 2 ? 0xffffffffu : 0x000fffffu;
    for (auto& k : keys) k = static_cast<std::uint32_t>(rng()) & mask;
    auto expected = keys;
    std::sort(expected.begin(), expected.end());
    std::vector<std::uint32_t> scratch(n);
    const auto sorted = radix_sort_keys(keys, scratch);
    EXPECT_EQ(std::vector<std::uint32_t>(sorted.begin(), sorted.end()), expected) << n;
  }
}

// ---- training ---------------------------------------------------------------

// The training rule written plainly: widen, sort the binary64 values under
// total order, interpolate, round, sort, count.
Result<std::vector<float>, CodecError> reference_train(std::span<const float> values, std::uint32_t k) {
  if (values.empty()) return fail(CodecError::insufficient_training_data(k));
  std::vector<double> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end(), [](double a, double b) { return total_order_less(a, b); });
  const std::size_t n = sorted.size();
  std::vector<float> levels;
  for (std::uint32_t i = 0; i < k; ++i) {
    const double p = (static_cast<double>(i) / static_cast<double>(k - 1)) * static_cast<double>(n - 1);
    const auto lo = static_cast<std::size_t>(std::floor(p));
    const std::size_t hi = std::min(lo + 1, n - 1);
    levels.push_back(static_cast<float>(sorted[lo] + (p - std::floor(p)) * (sorted[hi] - sorted[lo])));
  }
  std::sort(levels.begin(), levels.end(), [](float a, float b) { return total_order_less(a, b); });
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (!total_order_less(levels[i - 1], levels[i])) return fail(CodecError::insufficient_training_data(k));
  }
  return levels;
}

TEST(CodebookTrain, MatchesPlainReferenceOnRandomAndHostileData) {
  std::mt19937 rng(2024);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::vector<float> specials = {kNaN, kNegNaN, kSignallingNaN, std::bit_cast<float>(0xff800001u),
                                       kInf, -kInf, 0.0f, -0.0f, 1e-45f, -1e-40f, 1e38f};
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint8_t bit_width = std::array<std::uint8_t, 3>{2, 4, 8}[trial % 3];
    std::vector<float> values(1 + rng() % 3000);
    for (auto& v : values) {
      const auto pick = rng() % 100;
      if (trial % 4 == 0 && pick < 10) v = specials[rng() % specials.size()];
      else if (trial % 4 == 1) v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
      else if (trial % 4 == 2) v = static_cast<float>(rng() % 40);  // many repeats
      else v = normal(rng);
    }
    const auto expected = reference_train(values, 1u << bit_width);
    const auto got = Codebook::train(values, config_with_bits(bit_width));
    ASSERT_EQ(got.ok(), expected.ok()) << trial;
    if (got.ok()) {
      EXPECT_EQ(bits_of(got.value().entries()), bits_of(expected.value())) << trial;
    }
  }
}

TEST(CodebookTrain, KnownQuantiles) {
  // Exactly K distinct values in any order come back sorted.
  std::vector<float> values = {3.0f, -1.0f, 7.5f, 0.0f, 14.0f, 2.0f, 100.0f, 1e-3f,
                               -5.0f, 9.0f, 4.0f, 6.0f, 8.0f, 11.0f, 12.0f, 13.0f};
  auto sorted = values;
  std::sort(sorted.begin(), sorted.end(), [](float a, float b) { return total_order_less(a, b); });
  EXPECT_EQ(bits_of(Codebook::train(values, config_with_bits(4)).value().entries()), bits_of(sorted));
  // Only the multiset counts: the same values in another order (or another
  // row shape, which is the same flat span) train the same codebook.
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> sample(999);
  for (auto& v : sample) v = normal(rng);
  const auto trained = Codebook::train(sample, config_with_bits(8)).value();
  std::shuffle(sample.begin(), sample.end(), rng);
  EXPECT_EQ(bits_of(Codebook::train(sample, config_with_bits(8)).value().entries()), bits_of(trained.entries()));
  // Interpolated: N = 5, K = 4 puts the levels at positions 0, 4/3, 8/3 and 4.
  const std::vector<float> five = {40.0f, 0.0f, 30.0f, 10.0f, 20.0f};
  const std::vector<float> expected = {0.0f, static_cast<float>(40.0 / 3.0),
                                       static_cast<float>(80.0 / 3.0), 40.0f};
  EXPECT_EQ(bits_of(Codebook::train(five, config_with_bits(2)).value().entries()), bits_of(expected));
}

TEST(CodebookTrain, TooFewDistinctValuesFail) {
  const std::vector<std::vector<float>> inputs = {
      {}, std::vector<float>(1000, 2.5f), {1, 1, 1, 1, 1, 1, 1, 2, 2, 2},
      // The interpolation adds +0.0 to -0.0, so a -0.0 sample becomes a +0.0 level.
      {-0.0f, 0.0f, 1.0f, 2.0f}};
  for (const auto& input : inputs) {
    auto result = Codebook::train(input, config_with_bits(2));
    ASSERT_FALSE(result.ok()) << input.size();
    EXPECT_EQ(result.error().message(), "insufficient training data for 4 distinct entries");
  }
}

// ---- quantization -----------------------------------------------------------

std::vector<float> probe_values(std::span<const float> levels, std::mt19937& rng) {
  std::vector<float> probes = {0.0f, -0.0f, kInf, -kInf, kNaN, kNegNaN, kSignallingNaN,
                               1e-45f, -1e-45f, 1e-39f, -3e-39f, 1e38f, -1e38f};
  for (std::size_t i = 0; i < levels.size(); ++i) {
    probes.push_back(levels[i]);
    probes.push_back(std::nextafter(levels[i], kInf));
    probes.push_back(std::nextafter(levels[i], -kInf));
    if (i > 0) {
      const float mid = levels[i - 1] + (levels[i] - levels[i - 1]) / 2;
      for (float m : {mid, std::nextafter(mid, kInf), std::nextafter(mid, -kInf)}) probes.push_back(m);
    }
  }
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (int i = 0; i < 2000; ++i) {
    probes.push_back(i % 2 ? normal(rng) : std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
  }
  return probes;
}

std::vector<float> sorted_levels(std::vector<float> levels) {
  std::sort(levels.begin(), levels.end(), [](float a, float b) { return total_order_less(a, b); });
  levels.erase(std::unique(levels.begin(), levels.end(),
                           [](float a, float b) { return total_order_key(a) == total_order_key(b); }),
               levels.end());
  return levels;
}

TEST(Quantize, FastPathsEqualTheLinearScan) {
  std::mt19937 rng(31337);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> tables = {
      {-1.0f, -0.25f, 0.25f, 1.0f},
      {-0.0f, 0.0f, 1.0f, 2.0f},
      {-1.0f, -0.0f, 0.0f, 1.0f},
      {kNegNaN, -1.0f, 0.0f, 1.0f},
      {-1.0f, 0.0f, 1.0f, kNaN},
      {kNegNaN, -kInf, kInf, kNaN},
      {kNegNaN, std::bit_cast<float>(0xff800001u), 0.0f, 1.0f},
      {-1e-45f, 0.0f, 1e-45f, 1e-39f},
      {-kInf, -0.0f, 0.0f, kInf},
      {2.0f},
  };
  for (std::size_t k : {8u, 16u, 64u, 256u, 1024u}) {
    for (int variant = 0; variant < 3; ++variant) {
      std::vector<float> raw;
      while (raw.size() < k) raw = sorted_levels([&] {
        std::vector<float> r(k);
        for (auto& v : r) v = variant == 0 ? normal(rng) : std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (variant == 2) { r.front() = kNegNaN; r.back() = kNaN; }
        return r;
      }());
      tables.push_back(raw);
    }
  }
  using Kernel = void (*)(std::span<const float>, std::span<const float>, std::uint8_t*, std::uint8_t*) noexcept;
  std::vector<Kernel> kernels = {&quantize_values, &quantize_detail::quantize_values_portable};
  if (quantize_detail::avx2_f16c_available()) kernels.push_back(&quantize_detail::quantize_values_avx2);
  for (const auto& levels : tables) {
    const auto probes = probe_values(levels, rng);
    std::vector<std::uint32_t> expected(probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      expected[i] = nearest_level_scan(levels, probes[i]);
      ASSERT_EQ(nearest_level(levels, probes[i]), expected[i]) << levels.size() << " " << probes[i];
    }
    if (levels.size() > 256) continue;
    for (Kernel kernel : kernels) {
      std::vector<std::uint8_t> indices(probes.size()), residual(2 * probes.size());
      kernel(levels, probes, indices.data(), residual.data());
      for (std::size_t i = 0; i < probes.size(); ++i) {
        ASSERT_EQ(indices[i], expected[i]) << levels.size() << " " << probes[i];
        const std::uint16_t half = float_to_half(probes[i] - levels[expected[i]]);
        ASSERT_EQ(residual[2 * i] | (residual[2 * i + 1] << 8), half) << std::hex << half;
      }
      std::vector<std::uint8_t> without_residual(probes.size());
      kernel(levels, probes, without_residual.data(), nullptr);
      ASSERT_EQ(without_residual, indices);
    }
  }
}

TEST(Quantize, HardwareHalfConversionMatchesPortable) {
  if (!quantize_detail::avx2_f16c_available()) GTEST_SKIP() << "no AVX2/F16C";
  // A single zero level makes every residual the value itself (x - 0.0f == x
  // for all x but -0.0, which gives +0.0 in both kernels).
  const std::vector<float> zero = {0.0f};
  std::vector<float> values;
  for (std::uint64_t bits = 0; bits <= 0xffffffffull; bits += 4093) values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
  for (std::uint32_t payload = 0; payload < (1u << 10); ++payload) {
    for (std::uint32_t sign : {0u, 0x80000000u}) {
      values.push_back(std::bit_cast<float>(sign | 0x7f800000u | (payload << 13) | 1u));  // signalling when bit 22 clear
      values.push_back(std::bit_cast<float>(sign | 0x7fc00000u | (payload << 13)));
    }
  }
  std::vector<std::uint8_t> idx_a(values.size()), idx_b(values.size());
  std::vector<std::uint8_t> res_a(2 * values.size()), res_b(2 * values.size());
  quantize_detail::quantize_values_portable(zero, values, idx_a.data(), res_a.data());
  quantize_detail::quantize_values_avx2(zero, values, idx_b.data(), res_b.data());
  EXPECT_EQ(idx_a, idx_b);
  EXPECT_EQ(res_a, res_b);
}

TEST(Quantize, WorkedExample) {
  const auto codebook = Codebook::create({-1.0f, -0.25f, 0.25f, 1.0f}, 2).value();
  const std::vector<float> values = {0.0f, -2.0f, 5.0f, 0.3f, kNaN, -kInf, kInf, 0.25f};
  const std::vector<std::uint8_t> expected = {2, 0, 3, 2, 0, 0, 3, 2};
  std::vector<std::uint8_t> indices(values.size()), residual(2 * values.size());
  quantize_values(codebook.entries(), values, indices.data(), residual.data());
  EXPECT_EQ(indices, expected);
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(codebook.quantize(values[i]), expected[i]);
  EXPECT_EQ(residual[6], 0x66);
  EXPECT_EQ(residual[7], 0x2A);
  EXPECT_EQ(half_to_float(0x2A66), 0.04998779296875f);
}

}  // namespace
}  // namespace marrowfin::codec
