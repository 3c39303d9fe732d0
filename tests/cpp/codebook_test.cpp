#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/codec/binary16.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/quantize_kernels.hpp"
#include "core/codec/total_order.hpp"
#include "test_support.hpp"

namespace marrowfin::codec {
namespace {

using test::bits_of;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::bit_cast<float>(0x7fc00000u);
const float kNegNaN = std::bit_cast<float>(0xffc00000u);
const float kSignallingNaN = std::bit_cast<float>(0x7f800001u);

float random_pattern(std::mt19937& rng) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
}

TEST(Codebook, CreateChecksInOrder) {
  struct Case {
    std::vector<float> entries;
    int bit_width;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {{0, 1, 2, 3, 4, 5, 6, 7}, 3, nullptr},  // other accepted tables: through the Python type
      {{0.0f, 1.0f, 2.0f}, 2, "codebook must have 4 entries for bit_width=2, got 3"},
      {{0.0f, 1.0f, 1.0f, 2.0f}, 2, "codebook must contain 4 distinct values, got 2"},
      {{1.0f, 1.0f, 0.0f, 2.0f},
       2,
       "codebook must contain 4 distinct values, got 1"},  // before the unsorted pair
      {{kNaN, kNaN, 1.0f, 2.0f}, 2, "codebook must contain 4 distinct values, got 1"},
      {{0.0f, 2.0f, 1.0f, 1.0f},
       2,
       "codebook entries must be sorted ascending"},  // before the duplicate
      {{0.0f, -0.0f, 1.0f, 2.0f}, 2, "codebook entries must be sorted ascending"},
      {{0.0f, kNaN, 1.0f, 2.0f}, 2, "codebook entries must be sorted ascending"},
      {{}, 32, "bit_width must be one of [2, 4, 8], got 32"},
      {{0.0f, 1.0f, 2.0f, 3.0f},
       31,
       "codebook must have 2147483648 entries for bit_width=31, got 4"},
  };
  for (const auto& c : cases) {
    auto result = Codebook::create(c.entries, static_cast<std::uint8_t>(c.bit_width));
    if (c.error == nullptr) {
      ASSERT_TRUE(result.ok()) << result.error().message();
      EXPECT_EQ(bits_of(result.value().entries()), bits_of(c.entries));
    } else {
      EXPECT_EQ(result.ok() ? "ok" : result.error().message(), c.error);
    }
  }
}

// Codebook::train's sort; the training comparison below covers the keys.
TEST(TotalOrder, RadixSortMatchesComparisonSort) {
  std::mt19937 rng(7);
  // Narrow key ranges (every other size) exercise the skipped passes.
  for (std::size_t n : {0u, 1u, 17u, 5000u, 300000u, 300001u}) {
    std::vector<std::uint32_t> keys(n), scratch(n);
    for (auto& k : keys)
      k = static_cast<std::uint32_t>(rng()) & (n % 2 ? 0xffffffffu : 0x000fffffu);
    auto expected = keys;
    std::sort(expected.begin(), expected.end());
    const auto sorted = radix_sort_keys(keys, scratch).value();
    EXPECT_EQ(std::vector<std::uint32_t>(sorted.begin(), sorted.end()), expected) << n;
  }
}

TEST(Codebook, RaisedStopTokenAbandonsTraining) {
  StopToken stop;
  stop.request_stop();
  const auto config = test::make_config(4, 8);
  const auto values = test::gaussian_floats(5000, 4);
  std::vector<std::uint32_t> keys(5000), scratch(5000);
  EXPECT_FALSE(radix_sort_keys(keys, scratch, stop).has_value());
  EXPECT_EQ(Codebook::train(values, config, stop).error(), CodecError::interrupted());
  EXPECT_EQ(Codebook::train_lloyd_max(values, config, 32, stop).error(), CodecError::interrupted());
}

// The training rule written plainly: widen, sort the binary64 values under
// total order, interpolate, round, sort, count.
Result<std::vector<float>, CodecError> reference_train(std::span<const float> values,
                                                       std::uint32_t k) {
  if (values.empty()) return fail(CodecError::insufficient_training_data(k));
  std::vector<double> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end(),
            [](double a, double b) { return total_order_less(a, b); });
  const std::size_t n = sorted.size();
  std::vector<float> levels;
  for (std::uint32_t i = 0; i < k; ++i) {
    const double p =
        (static_cast<double>(i) / static_cast<double>(k - 1)) * static_cast<double>(n - 1);
    const auto lo = static_cast<std::size_t>(std::floor(p));
    const std::size_t hi = std::min(lo + 1, n - 1);
    levels.push_back(
        static_cast<float>(sorted[lo] + (p - std::floor(p)) * (sorted[hi] - sorted[lo])));
  }
  std::sort(levels.begin(), levels.end(), [](float a, float b) { return total_order_less(a, b); });
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (!total_order_less(levels[i - 1], levels[i]))
      return fail(CodecError::insufficient_training_data(k));
  }
  return levels;
}

TEST(CodebookTrain, MatchesPlainReferenceOnRandomAndHostileData) {
  std::mt19937 rng(2024);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::vector<float> specials = {
      kNaN,   kNegNaN, kSignallingNaN, std::bit_cast<float>(0xff800001u), kInf, -kInf, 0.0f, -0.0f,
      1e-45f, -1e-40f, 1e38f};
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint8_t bit_width = std::array<std::uint8_t, 3>{2, 4, 8}[trial % 3];
    std::vector<float> values(1 + rng() % 3000);
    for (auto& v : values) {
      if (trial % 4 == 0 && rng() % 10 == 0)
        v = specials[rng() % specials.size()];
      else if (trial % 4 == 1)
        v = random_pattern(rng);
      else if (trial % 4 == 2)
        v = static_cast<float>(rng() % 40);  // many repeats
      else
        v = normal(rng);
    }
    const auto expected = reference_train(values, 1u << bit_width);
    const auto got = Codebook::train(values, test::make_config(bit_width, 8));
    ASSERT_EQ(got.ok(), expected.ok()) << trial;
    if (got.ok()) {
      EXPECT_EQ(bits_of(got.value().entries()), bits_of(expected.value())) << trial;
    }
  }
}

// The interpolation adds +0.0 to -0.0, so a -0.0 sample becomes a +0.0 level.
TEST(CodebookTrain, NegativeZeroSamplesMergeWithPositiveZero) {
  const auto result =
      Codebook::train(std::vector<float>{-0.0f, 0.0f, 1.0f, 2.0f}, test::make_config(2, 8));
  EXPECT_EQ(result.ok() ? "ok" : result.error().message(),
            "insufficient training data for 4 distinct entries");
}

// Levels, their float neighbours, midpoints between levels and their
// neighbours, specials and random values.
std::vector<float> probe_values(std::span<const float> levels, std::mt19937& rng) {
  std::vector<float> probes = {0.0f,   -0.0f,   kInf,   -kInf,   kNaN,  kNegNaN, kSignallingNaN,
                               1e-45f, -1e-45f, 1e-39f, -3e-39f, 1e38f, -1e38f};
  for (std::size_t i = 0; i < levels.size(); ++i) {
    for (float p : {levels[i], std::nextafter(levels[i], kInf), std::nextafter(levels[i], -kInf)})
      probes.push_back(p);
    if (i == 0) continue;
    const float mid = levels[i - 1] + (levels[i] - levels[i - 1]) / 2;
    for (float m : {mid, std::nextafter(mid, kInf), std::nextafter(mid, -kInf)})
      probes.push_back(m);
  }
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (int i = 0; i < 2000; ++i) probes.push_back(i % 2 ? normal(rng) : random_pattern(rng));
  return probes;
}

// Distinct values in total order; random tables include NaN and infinite levels.
std::vector<float> random_levels(std::size_t k, int variant, std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> levels;
  while (levels.size() < k) {
    levels.resize(k);
    for (auto& v : levels) v = variant == 0 ? normal(rng) : random_pattern(rng);
    if (variant == 2) levels.front() = kNegNaN, levels.back() = kNaN;
    std::sort(levels.begin(), levels.end(),
              [](float a, float b) { return total_order_less(a, b); });
    levels.erase(std::unique(levels.begin(), levels.end(),
                             [](float a, float b) { return test::bits(a) == test::bits(b); }),
                 levels.end());
  }
  return levels;
}

TEST(Quantize, FastPathsEqualTheLinearScan) {
  std::mt19937 rng(31337);
  std::vector<std::vector<float>> tables = {
      {-1.0f, -0.25f, 0.25f, 1.0f},
      {-0.0f, 0.0f, 1.0f, 2.0f},
      {kNegNaN, -1.0f, 0.0f, 1.0f},
      {-1.0f, 0.0f, 1.0f, kNaN},
      {kNegNaN, -kInf, kInf, kNaN},
      {kNegNaN, std::bit_cast<float>(0xff800001u), 0.0f, 1.0f},
      {-1e-45f, 0.0f, 1e-45f, 1e-39f},
      {-kInf, -0.0f, 0.0f, kInf},
      {2.0f},
  };
  for (std::size_t k : {8u, 16u, 256u, 1024u}) {
    for (int variant = 0; variant < 3; ++variant) tables.push_back(random_levels(k, variant, rng));
  }
  using Kernel = void (*)(std::span<const float>, std::span<const float>, std::uint8_t*,
                          std::uint8_t*) noexcept;
  std::vector<Kernel> kernels;
  kernels.reserve(std::size(simd::kAllLevels) + 1);
  kernels.push_back(&quantize_values);
  for (simd::Level level : test::usable_levels())
    kernels.push_back(quantize_kernels::select(level).quantize_values);
  for (const auto& levels : tables) {
    const auto probes = probe_values(levels, rng);
    std::vector<std::uint32_t> expected(probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      expected[i] = nearest_level_scan(levels, probes[i]);
      ASSERT_EQ(nearest_level(levels, probes[i]), expected[i]) << levels.size() << " " << probes[i];
    }
    if (levels.size() > 256) continue;
    for (Kernel kernel : kernels) {
      std::vector<std::uint8_t> indices(probes.size()), residual(2 * probes.size()),
          without_residual(probes.size());
      kernel(levels, probes, indices.data(), residual.data());
      for (std::size_t i = 0; i < probes.size(); ++i) {
        ASSERT_EQ(indices[i], expected[i]) << levels.size() << " " << probes[i];
        ASSERT_EQ(residual[2 * i] | (residual[2 * i + 1] << 8),
                  float_to_half(probes[i] - levels[expected[i]]))
            << probes[i];
      }
      kernel(levels, probes, without_residual.data(), nullptr);
      ASSERT_EQ(without_residual, indices);
    }
  }
}

// Every binary16 pattern added to values that round, cancel and overflow:
// the F16C path must give the portable bits (NaN results only need to stay NaN,
// because the inverse rotation canonicalises them).
TEST(Dequantize, ResidualAdditionMatchesPortable) {
  MARROWFIN_SKIP_UNLESS_SUPPORTED(simd::Level::Avx2);
  std::vector<std::uint8_t> residual;
  for (std::uint32_t h = 0; h < 65536; ++h) {
    residual.push_back(static_cast<std::uint8_t>(h));
    residual.push_back(static_cast<std::uint8_t>(h >> 8));
  }
  const std::size_t n = 65536;
  for (float base : {0.0f, -0.0f, 1.0f, -65504.0f, 3e38f, 1e-40f}) {
    std::vector<float> portable(n, base), fast(n, base);
    quantize_kernels::scalar_kernels().add_residual(residual.data(), portable.data(), n - 3);
    quantize_kernels::avx2_kernels().add_residual(residual.data(), fast.data(), n - 3);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(portable[i])) {
        ASSERT_TRUE(std::isnan(fast[i])) << i;
      } else {
        ASSERT_EQ(test::bits(portable[i]), test::bits(fast[i])) << i << " base " << base;
      }
    }
  }
}

}  // namespace
}  // namespace marrowfin::codec
