#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/sha256.hpp"
#include "core/rotation/apply/batch_inverse_rotation.hpp"
#include "core/rotation/apply/rotation_apply_kernels.hpp"
#include "core/rotation/generate/householder_qr.hpp"
#include "core/rotation/generate/rotation_stream.hpp"
#include "core/rotation/rotation_matrix.hpp"
#include "test_support.hpp"

namespace marrowfin::rotation {
namespace {

using codec::sha256_hex;
using test::bits;

std::string digest(const RotationMatrix& m) {
  const auto bytes = m.matrix_f64_bytes();
  return sha256_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TEST(RotationMatrix, BuildRefusesDimensionsOutOfRange) {
  auto refusal = [](std::uint32_t dimension) -> std::string {
    try {
      (void)RotationMatrix::build(1, dimension);
    } catch (const std::logic_error& e) {
      return e.what();
    }
    return "built";
  };
  EXPECT_EQ(refusal(0), "RotationMatrix::build requires dimension > 0");
  EXPECT_EQ(refusal(16385), "RotationMatrix::build requires dimension <= 16384, got 16385");
  EXPECT_THROW((void)RotationMatrix::cached(1, 0), std::logic_error);
}

TEST(RotationMatrix, GoldenDigestsPinTheArithmetic) {
  // Any change to sampling, fill order, factorisation or sign handling shows
  // here; the byte order is checked end to end by the Python suite.
  EXPECT_EQ(digest(RotationMatrix::build(42, 64)),
            "342e9258af02953c6b3173c6bf1957eaaee8df320ea6349cda646c54f169f5e9");
  EXPECT_EQ(digest(RotationMatrix::build(7, 300)),
            "244ab6cc7f8ef6737957e366791c8bff5658c7502144de3ab4ad9126b8fd39b8");
  EXPECT_EQ(digest(RotationMatrix::build(0, 3)),
            "7559286c29579468482fde3cb6c8be9e83fb0bc59515c0a1822484526019b66e");
  EXPECT_EQ(RotationMatrix::build(42, 1).values()[0], -1.0);  // seed 42 starts negative
}

// n values: random, all +0.0, all -0.0, specials (NaN, infinities, zeros,
// subnormals, extremes), all +-FLT_MAX, tiny subnormals, or random with one
// NaN or infinity.
std::vector<float> edge_vector(std::size_t n, std::mt19937_64& rng, int flavour) {
  const float max = std::numeric_limits<float>::max(),
              tiny = std::numeric_limits<float>::denorm_min();
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            INFINITY,
                            -INFINITY,
                            -0.0f,
                            0.0f,
                            tiny,
                            -1e-40f,
                            max,
                            -3e38f,
                            1e-30f};
  std::normal_distribution<float> normal;
  std::vector<float> x(n);
  for (auto& v : x) {
    v = flavour == 1   ? 0.0f
        : flavour == 2 ? -0.0f
        : flavour == 3 ? specials[rng() % 10]
        : flavour == 4 ? (rng() % 2 ? max : -max)
        : flavour == 5 ? tiny * static_cast<float>(rng() % 5)
                       : normal(rng);
  }
  if (flavour == 6) x[rng() % n] = specials[rng() % 3];
  return x;
}

// Bit for bit; where the plain sum gives a NaN (of either sign: which NaN an
// addition propagates is the compiler's choice) the kernels must write the
// one positive quiet NaN.
void expect_same_floats(const std::vector<float>& got, const std::vector<float>& expected,
                        const char* what) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(bits(got[i]), std::isnan(expected[i]) ? 0x7fc00000u : bits(expected[i]))
        << what << " element " << i;
  }
}

// Sizes: one, tiny odd, a SIMD-width multiple, one past the widest tile, 768.
class ApplyDimension : public ::testing::TestWithParam<std::uint32_t> {};

// Vector counts cross the kernels' groups of 4, 8, 12 and 24 vectors and (100) the 64- and
// 96-vector chunks; every vector also goes through the single-vector paths.
TEST_P(ApplyDimension, EveryVariantMatchesThePlainSums) {
  const std::uint32_t n = GetParam();
  const auto rotation = RotationMatrix::cached(42, n);  // the codec tests use the same 768 matrix
  const double* m = rotation.values().data();
  std::mt19937_64 rng(n);
  for (std::size_t count : {13u, 100u}) {
    if (n > 100 && count > 13) continue;
    std::vector<float> x, forward(count * n), inverse(count * n, 0.0f);
    for (std::size_t v = 0; v < count; ++v) {
      const auto one = edge_vector(n, rng, static_cast<int>(v % 7));
      x.insert(x.end(), one.begin(), one.end());
    }
    for (std::size_t v = 0; v < count; ++v) {
      const float* xv = x.data() + v * n;
      std::vector<double> acc(n, 0.0);
      for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < n; ++k) s = s + m[i * n + k] * static_cast<double>(xv[k]);
        forward[v * n + i] = static_cast<float>(s);
        for (std::size_t k = 0; k < n; ++k)
          acc[k] = acc[k] + m[i * n + k] * static_cast<double>(xv[i]);
      }
      for (std::size_t k = 0; k < n; ++k) inverse[v * n + k] = static_cast<float>(acc[k]);
    }
    std::vector<float> out(count * n);
    for (std::size_t v = 0; v < count; ++v) {
      ASSERT_TRUE(rotation.apply({x.data() + v * n, n}, {out.data() + v * n, n}).ok());
    }
    expect_same_floats(out, forward, "apply");
    for (std::size_t v = 0; v < count; ++v) {
      ASSERT_TRUE(rotation.apply_inverse({x.data() + v * n, n}, {out.data() + v * n, n}).ok());
    }
    expect_same_floats(out, inverse, "apply_inverse");
    rotation.apply_many(x.data(), count, out.data());
    expect_same_floats(out, forward, "apply_many");
    rotation.apply_inverse_many(x.data(), count, out.data());
    expect_same_floats(out, inverse, "apply_inverse_many");
    // In place, and through the batch wrapper (panels for the larger count on CPUs that have them).
    out = x;
    rotation.apply_many(out.data(), count, out.data());
    expect_same_floats(out, forward, "apply_many in place");
    out = x;
    rotation.apply_inverse_many(out.data(), count, out.data());
    expect_same_floats(out, inverse, "apply_inverse_many in place");
    out = x;
    BatchInverseRotation(rotation, count).apply_many(out.data(), count, out.data());
    expect_same_floats(out, inverse, "batch in place");
    BatchInverseRotation(rotation, count).apply_many(x.data(), count, out.data());
    expect_same_floats(out, inverse, "batch");
    out = x;
    ASSERT_TRUE(rotation.apply({out.data(), n}, {out.data(), n}).ok());
    expect_same_floats({out.begin(), out.begin() + n}, {forward.begin(), forward.begin() + n},
                       "apply in place");
    for (simd::Level level : test::usable_levels()) {
      const auto& kernels = apply_kernels::select(level);
      for (std::size_t group : {std::size_t{1}, count}) {  // one vector at a time, then all at once
        for (std::size_t v = 0; v < count; v += group)
          kernels.forward(m, n, x.data() + v * n, group, out.data() + v * n);
        expect_same_floats(out, forward, "forward kernel");
        for (std::size_t v = 0; v < count; v += group)
          kernels.inverse(m, n, x.data() + v * n, group, out.data() + v * n);
        expect_same_floats(out, inverse, "inverse kernel");
      }
      if (kernels.panel_columns == 0) continue;
      std::vector<double> panels(apply_kernels::panel_values(n, kernels.panel_columns), -1.0);
      apply_kernels::pack_panels(m, n, kernels.panel_columns, panels.data());
      std::fill(out.begin(), out.end(), -1.0f);
      kernels.inverse_panels(panels.data(), n, x.data(), count, out.data());
      expect_same_floats(out, inverse, "panel kernel");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ApplyDimension, ::testing::Values(1, 5, 16, 33, 768));

TEST(RotationMatrix, LengthMismatchLeavesTheOutputUntouched) {
  const auto rotation = RotationMatrix::build(1, 4);
  for (const auto& [input, output, message] :
       {std::tuple{3u, 4u, "input and output lengths disagree: 3 vs 4"},
        {4u, 5u, "input and output lengths disagree: 4 vs 5"},
        {5u, 5u, "input and output lengths disagree: 5 vs 5"}}) {
    const std::vector<float> in(input, 1.0f);
    std::vector<float> out(output, 9.0f);
    for (bool inverse : {false, true}) {
      const auto status = inverse ? rotation.apply_inverse(in, out) : rotation.apply(in, out);
      EXPECT_EQ(status.ok() ? "ok" : status.error().message(), message);
      EXPECT_EQ(out, std::vector<float>(output, 9.0f));
    }
  }
}

}  // namespace
}  // namespace marrowfin::rotation
