#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/householder_qr.hpp"
#include "core/codec/rotation_apply_kernels.hpp"
#include "core/codec/rotation_matrix.hpp"
#include "core/codec/rotation_simd.hpp"
#include "core/codec/rotation_stream.hpp"
#include "core/codec/sha256.hpp"

namespace marrowfin::codec {
namespace {

std::vector<SimdLevel> usable_levels() {
  std::vector<SimdLevel> levels;
  for (auto level : {SimdLevel::scalar, SimdLevel::avx2, SimdLevel::avx512}) {
    if (usable_simd_level(level) == level) levels.push_back(level);
  }
  return levels;
}

std::string digest(const RotationMatrix& m) {
  const auto bytes = m.matrix_f64_bytes();
  return sha256_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::uint32_t float_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

TEST(RotationMatrix, BuildRejectsDimensionsOutOfRange) {
  try {
    (void)RotationMatrix::build(1, 0);
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "RotationMatrix::build requires dimension > 0");
  }
  try {
    (void)RotationMatrix::build(1, 16385);
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "RotationMatrix::build requires dimension <= 16384, got 16385");
  }
  EXPECT_THROW((void)RotationMatrix::cached(1, 0), std::logic_error);
}

TEST(RotationMatrix, GoldenDigestsPinTheArithmetic) {
  // Any change to sampling, factorisation order or sign handling shows here.
  EXPECT_EQ(digest(RotationMatrix::build(42, 64)),
            "342e9258af02953c6b3173c6bf1957eaaee8df320ea6349cda646c54f169f5e9");
  EXPECT_EQ(digest(RotationMatrix::build(7, 300)),
            "244ab6cc7f8ef6737957e366791c8bff5658c7502144de3ab4ad9126b8fd39b8");
  EXPECT_EQ(digest(RotationMatrix::build(0, 3)),
            "7559286c29579468482fde3cb6c8be9e83fb0bc59515c0a1822484526019b66e");
}

TEST(RotationMatrix, DimensionOneIsTheSignOfTheFirstSample) {
  for (std::uint64_t seed : {0ULL, 1ULL, 7ULL, 42ULL, 123456789ULL, 18446744073709551615ULL}) {
    double first = 0.0;
    gaussian_samples(seed, &first, 1);
    const auto m = RotationMatrix::build(seed, 1);
    ASSERT_EQ(m.values().size(), 1u);
    EXPECT_EQ(m.values()[0], first >= 0.0 ? 1.0 : -1.0) << seed;
  }
  EXPECT_EQ(RotationMatrix::build(42, 1).values()[0], -1.0);  // seed 42 starts negative
}

TEST(RotationMatrix, BytesAreRowMajorLittleEndianAndRepeatable) {
  for (std::uint64_t seed : {0ULL, 18446744073709551615ULL}) {
    const auto first = RotationMatrix::build(seed, 37);
    const auto second = RotationMatrix::build(seed, 37);
    EXPECT_NE(first.values().data(), second.values().data());  // built afresh
    const auto bytes = first.matrix_f64_bytes();
    ASSERT_EQ(bytes.size(), 37u * 37u * 8u);
    EXPECT_EQ(bytes, second.matrix_f64_bytes());
    for (std::size_t i = 0; i < first.values().size(); ++i) {
      std::uint64_t word = 0;
      for (int b = 7; b >= 0; --b) word = (word << 8) | bytes[i * 8 + b];
      ASSERT_EQ(word, std::bit_cast<std::uint64_t>(first.values()[i]));
    }
  }
  EXPECT_EQ(RotationMatrix::build(5, 768).matrix_f64_bytes().size(), 4718592u);
}

TEST(RotationMatrix, BuildEqualsSamplesThroughTheFactorisation) {
  const std::size_t n = 45;
  std::vector<double> a(n * n);
  gaussian_samples(9, a.data(), a.size());
  orthogonal_factor_in_place(a.data(), n, QrOptions{1, SimdLevel::scalar});
  const auto m = RotationMatrix::build(9, 45);
  EXPECT_EQ(std::memcmp(a.data(), m.values().data(), a.size() * sizeof(double)), 0);
}

TEST(RotationMatrix, CachedSharesTheBuiltValues) {
  const auto built = RotationMatrix::build(77, 50);
  const auto cached = RotationMatrix::cached(77, 50);
  const auto again = RotationMatrix::cached(77, 50);
  EXPECT_EQ(cached.values().data(), again.values().data());
  EXPECT_EQ(cached.matrix_f64_bytes(), built.matrix_f64_bytes());
  EXPECT_EQ(again.seed(), 77u);
  EXPECT_EQ(again.dimension(), 50u);
  auto config = CodecConfig::create(4, 77, 50, false);
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(RotationMatrix::from_config(config.value()).values().data(), cached.values().data());
}

// Edge values the kernels must carry exactly like the plain sums.
std::vector<float> edge_vector(std::size_t n, std::mt19937_64& rng, int flavour) {
  std::normal_distribution<float> normal;
  std::vector<float> x(n);
  for (auto& v : x) v = normal(rng);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -1e-40f,
                            std::numeric_limits<float>::max(),
                            -3e38f,
                            1e-30f};
  switch (flavour) {
    case 0: break;  // plain random
    case 1: std::fill(x.begin(), x.end(), 0.0f); break;
    case 2: std::fill(x.begin(), x.end(), -0.0f); break;
    case 3: for (auto& v : x) v = specials[rng() % 10]; break;
    case 4: for (auto& v : x) v = (rng() % 2 ? 1 : -1) * std::numeric_limits<float>::max(); break;
    case 5: for (auto& v : x) v = std::numeric_limits<float>::denorm_min() * static_cast<float>(rng() % 5); break;
    default: x[rng() % n] = specials[rng() % 3]; break;
  }
  return x;
}

// Bit for bit; where the plain sum gives a NaN (of either sign: which NaN an
// addition propagates is the compiler's choice), the kernels must write the
// one positive quiet NaN.
void expect_same_floats(const std::vector<float>& got, const std::vector<float>& expected, const char* what) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::uint32_t want = std::isnan(expected[i]) ? 0x7fc00000u : float_bits(expected[i]);
    ASSERT_EQ(float_bits(got[i]), want) << what << " element " << i;
  }
}

class ApplyDimension : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ApplyDimension, EveryVariantMatchesThePlainSumsOnEdgeData) {
  const std::uint32_t n = GetParam();
  const auto rotation = RotationMatrix::build(3, n);
  const double* m = rotation.values().data();
  std::mt19937_64 rng(n);
  for (int flavour = 0; flavour < 7; ++flavour) {
    const auto x = edge_vector(n, rng, flavour);
    std::vector<float> forward(n);
    std::vector<float> inverse(n);
    std::vector<double> acc(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      double s = 0.0;
      for (std::size_t k = 0; k < n; ++k) s = s + m[i * n + k] * static_cast<double>(x[k]);
      forward[i] = static_cast<float>(s);
      for (std::size_t k = 0; k < n; ++k) acc[k] = acc[k] + m[i * n + k] * static_cast<double>(x[i]);
    }
    for (std::size_t k = 0; k < n; ++k) inverse[k] = static_cast<float>(acc[k]);

    std::vector<float> out(n);
    ASSERT_TRUE(rotation.apply(x, out).ok());
    expect_same_floats(out, forward, "apply");
    ASSERT_TRUE(rotation.apply_inverse(x, out).ok());
    expect_same_floats(out, inverse, "apply_inverse");
    for (SimdLevel level : usable_levels()) {
      const auto& kernels = apply_kernels::apply_kernels_for(level);
      kernels.forward(m, n, x.data(), 1, out.data());
      expect_same_floats(out, forward, "forward kernel");
      kernels.inverse(m, n, x.data(), 1, out.data());
      expect_same_floats(out, inverse, "inverse kernel");
    }
  }
}

TEST_P(ApplyDimension, BatchesMatchOneVectorAtATime) {
  const std::uint32_t n = GetParam();
  const auto rotation = RotationMatrix::build(11, n);
  std::mt19937_64 rng(n + 1000);
  for (std::size_t count : {1u, 3u, 7u, 17u, 40u, 75u}) {
    std::vector<float> x;
    for (std::size_t v = 0; v < count; ++v) {
      const auto one = edge_vector(n, rng, static_cast<int>(v % 7));
      x.insert(x.end(), one.begin(), one.end());
    }
    std::vector<float> forward(count * n);
    std::vector<float> inverse(count * n);
    for (std::size_t v = 0; v < count; ++v) {
      ASSERT_TRUE(rotation.apply({x.data() + v * n, n}, {forward.data() + v * n, n}).ok());
      ASSERT_TRUE(rotation.apply_inverse({x.data() + v * n, n}, {inverse.data() + v * n, n}).ok());
    }
    std::vector<float> out(count * n);
    rotation.apply_many(x.data(), count, out.data());
    expect_same_floats(out, forward, "apply_many");
    rotation.apply_inverse_many(x.data(), count, out.data());
    expect_same_floats(out, inverse, "apply_inverse_many");
    for (SimdLevel level : usable_levels()) {
      const auto& kernels = apply_kernels::apply_kernels_for(level);
      kernels.forward(rotation.values().data(), n, x.data(), count, out.data());
      expect_same_floats(out, forward, "forward kernel");
      kernels.inverse(rotation.values().data(), n, x.data(), count, out.data());
      expect_same_floats(out, inverse, "inverse kernel");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ApplyDimension, ::testing::Values(1, 2, 5, 16, 33, 768));

TEST(RotationMatrix, ZeroVectorMapsToPositiveZeros) {
  const auto rotation = RotationMatrix::build(1, 24);
  for (float zero : {0.0f, -0.0f}) {
    const std::vector<float> x(24, zero);
    std::vector<float> out(24, 5.0f);
    ASSERT_TRUE(rotation.apply(x, out).ok());
    for (float v : out) EXPECT_EQ(float_bits(v), 0u);
    std::fill(out.begin(), out.end(), 5.0f);
    ASSERT_TRUE(rotation.apply_inverse(x, out).ok());
    for (float v : out) EXPECT_EQ(float_bits(v), 0u);
  }
}

TEST(RotationMatrix, InverseUndoesTheRotationUpToFloatRounding) {
  const auto rotation = RotationMatrix::build(8, 128);
  std::mt19937_64 rng(2);
  const auto x = edge_vector(128, rng, 0);
  std::vector<float> rotated(128);
  std::vector<float> back(128);
  ASSERT_TRUE(rotation.apply(x, rotated).ok());
  ASSERT_TRUE(rotation.apply_inverse(rotated, back).ok());
  for (std::size_t i = 0; i < 128; ++i) EXPECT_NEAR(back[i], x[i], 1e-5);
}

TEST(RotationMatrix, LengthMismatchLeavesTheOutputUntouched) {
  const auto rotation = RotationMatrix::build(1, 4);
  struct Case {
    std::size_t input, output;
    const char* message;
  };
  for (const Case& c : {Case{3, 4, "input and output lengths disagree: 3 vs 4"},
                        Case{4, 5, "input and output lengths disagree: 4 vs 5"},
                        Case{5, 5, "input and output lengths disagree: 5 vs 5"},
                        Case{0, 0, "input and output lengths disagree: 0 vs 0"}}) {
    const std::vector<float> in(c.input, 1.0f);
    std::vector<float> out(c.output, 9.0f);
    for (bool inverse : {false, true}) {
      const auto status = inverse ? rotation.apply_inverse(in, out) : rotation.apply(in, out);
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().kind(), CodecErrorKind::LengthMismatch);
      EXPECT_EQ(status.error().message(), c.message);
      for (float v : out) EXPECT_EQ(v, 9.0f);
    }
  }
}

TEST(RotationMatrix, InPlaceApplicationMatchesSeparateBuffers) {
  const std::uint32_t n = 40;
  const auto rotation = RotationMatrix::build(4, n);
  std::mt19937_64 rng(4);
  std::vector<float> x;
  for (int v = 0; v < 9; ++v) {
    const auto one = edge_vector(n, rng, 0);
    x.insert(x.end(), one.begin(), one.end());
  }
  std::vector<float> expected(x.size());
  rotation.apply_many(x.data(), 9, expected.data());
  std::vector<float> in_place = x;
  rotation.apply_many(in_place.data(), 9, in_place.data());
  expect_same_floats(in_place, expected, "apply_many in place");

  rotation.apply_inverse_many(x.data(), 9, expected.data());
  in_place = x;
  rotation.apply_inverse_many(in_place.data(), 9, in_place.data());
  expect_same_floats(in_place, expected, "apply_inverse_many in place");

  std::vector<float> single(x.begin(), x.begin() + n);
  std::vector<float> single_expected(n);
  ASSERT_TRUE(rotation.apply(single, single_expected).ok());
  ASSERT_TRUE(rotation.apply(single, single).ok());
  expect_same_floats(single, single_expected, "apply in place");
}

}  // namespace
}  // namespace marrowfin::codec
