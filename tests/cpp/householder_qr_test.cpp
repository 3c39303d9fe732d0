#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/rotation/generate/householder_kernels.hpp"
#include "core/rotation/generate/householder_qr.hpp"
#include "core/rotation/generate/rotation_stream.hpp"
#include "test_support.hpp"

namespace marrowfin::rotation {
namespace {

std::vector<double> gaussian_matrix(std::uint64_t seed, std::size_t n) {
  std::vector<double> a(n * n);
  gaussian_samples(seed, a.data(), a.size());
  return a;
}

std::vector<double> factor(std::vector<double> a, std::size_t n, QrOptions options = {}) {
  EXPECT_TRUE(orthogonal_factor_in_place(a.data(), n, options));
  return a;
}

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> out;
  for (double v : values) out.push_back(test::bits(v));
  return out;
}

// Sizes around the 32-column panel, past the 96-column parallel block and
// past 256, where the default options start threads.
class QrDimension : public ::testing::TestWithParam<std::size_t> {};

TEST_P(QrDimension, OrthogonalWithNonNegativeTriangularFactor) {
  const std::size_t n = GetParam();
  const auto a = gaussian_matrix(7, n);
  const auto m = factor(a, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double identity = 0.0;  // (M^T M)(i, j)
      double r = 0.0;         // (M^T A)(i, j) = R(i, j)
      for (std::size_t k = 0; k < n; ++k)
        identity += m[k * n + i] * m[k * n + j], r += m[k * n + i] * a[k * n + j];
      ASSERT_LE(std::fabs(identity - (i == j ? 1.0 : 0.0)), 1e-12) << i << "," << j;
      if (i == j) {
        ASSERT_GT(r, 0.0) << i;
      }
      if (i > j) {
        ASSERT_LE(std::fabs(r), 1e-11) << i << "," << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, QrDimension, ::testing::Values(1, 5, 32, 33, 97, 300));

TEST(HouseholderQr, SameBytesForEveryThreadCountAndInstructionSet) {
  for (std::size_t n : {2u, 33u, 100u, 257u}) {
    const auto a = gaussian_matrix(n, n);
    const auto reference = bits_of(factor(a, n, QrOptions{1, simd::Level::Scalar}));
    for (simd::Level level : test::usable_levels()) {
      for (unsigned threads : {1u, 2u, 3u}) {
        EXPECT_EQ(bits_of(factor(a, n, QrOptions{threads, level})), reference)
            << n << " " << int(level) << " " << threads;
      }
    }
    EXPECT_EQ(bits_of(factor(a, n)), reference) << n << " default options";
  }
}

// Triangular input: every reflector is the identity and R = A, so M is the
// identity with the columns of negative diagonal entries negated. In one
// dimension that is the sign of the entry, +1 for -0.0.
TEST(HouseholderQr, ColumnsWithNothingBelowTheDiagonalAreNotReflected) {
  const std::size_t n = 40;
  std::vector<double> a(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) a[i * n + j] = 1.0 + static_cast<double>(i + 2 * j);
    if (i % 3 == 1) a[i * n + i] = -a[i * n + i];
  }
  const auto m = factor(a, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j)
      ASSERT_EQ(m[i * n + j], i != j ? 0.0 : (i % 3 == 1 ? -1.0 : 1.0)) << i << "," << j;
  }
  for (const auto& [entry, sign] : {std::pair{2.5, 1.0}, {-0.1, -1.0}, {0.0, 1.0}, {-0.0, 1.0}}) {
    EXPECT_EQ(factor({entry}, 1)[0], sign) << entry;
  }
}

// The kernels against plain loops in the documented summation order, on
// shapes that reach every tile and partial-vector path.
TEST(HouseholderKernels, EveryVariantMatchesThePlainLoops) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  for (std::size_t m : {1u, 7u, 40u}) {
    for (std::size_t k : {1u, 3u, 8u, 13u, 32u}) {
      for (std::size_t cols : {1u, 5u, 8u, 23u, 24u, 31u, 61u}) {
        const std::size_t ld = cols + 3;
        std::vector<double> v(m * k), c(m * ld), w(k * ld), l(k * k);
        for (auto* buffer : {&v, &c, &w, &l}) {
          for (auto& x : *buffer) x = normal(rng);
        }
        std::vector<double> projected(k * ld, -7.0), subtracted = c, lower(k * ld, -7.0),
                                                     upper(k * ld, -7.0);
        for (std::size_t col = 0; col < cols; ++col) {
          for (std::size_t p = 0; p < k; ++p) {
            double s = 0.0, lo = 0.0, up = 0.0;
            for (std::size_t i = 0; i < m; ++i) s = s + v[i * k + p] * c[i * ld + col];
            for (std::size_t q = 0; q <= p; ++q) lo = lo + l[p * k + q] * w[q * ld + col];
            for (std::size_t q = p; q < k; ++q) up = up + l[p * k + q] * w[q * ld + col];
            projected[p * ld + col] = s, lower[p * ld + col] = lo, upper[p * ld + col] = up;
          }
          for (std::size_t i = 0; i < m; ++i) {
            double s = 0.0;
            for (std::size_t p = 0; p < k; ++p) s = s + v[i * k + p] * w[p * ld + col];
            subtracted[i * ld + col] = c[i * ld + col] - s;
          }
        }
        for (simd::Level level : test::usable_levels()) {
          SCOPED_TRACE(testing::Message() << int(level) << " " << m << " " << k << " " << cols);
          const auto& kernels = householder_kernels::select(level);
          std::vector<double> got(k * ld, -7.0), updated = c;
          kernels.project(m, k, cols, v.data(), k, c.data(), ld, got.data(), ld);
          ASSERT_EQ(bits_of(got), bits_of(projected));
          kernels.subtract_product(m, k, cols, v.data(), k, w.data(), ld, updated.data(), ld);
          ASSERT_EQ(bits_of(updated), bits_of(subtracted));
          for (bool is_lower : {true, false}) {
            std::fill(got.begin(), got.end(), -7.0);
            kernels.triangular_product(k, cols, l.data(), is_lower, w.data(), ld, got.data(), ld);
            ASSERT_EQ(bits_of(got), bits_of(is_lower ? lower : upper));
          }
        }
      }
    }
  }
}

// A task that throws on a helper thread must reach the caller as an
// exception (not std::terminate), and the next factorisation is unaffected.
std::atomic<bool> helper_threw{false};
std::thread::id caller_id;

void throw_on_a_helper(std::size_t) {
  if (std::this_thread::get_id() != caller_id) {
    helper_threw.store(true);
    throw std::runtime_error("injected task failure");
  }
  // The caller holds on to its task until a helper has failed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!helper_threw.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
}

TEST(HouseholderQr, HelperExceptionIsRethrownOnTheCaller) {
  const std::size_t n = 300;
  const auto a = gaussian_matrix(3, n);
  helper_threw.store(false);
  caller_id = std::this_thread::get_id();
  QrTestHooks::column_task = &throw_on_a_helper;
  std::vector<double> m = a;
  try {
    (void)orthogonal_factor_in_place(m.data(), n, QrOptions{4});
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "injected task failure");
  }
  QrTestHooks::column_task = nullptr;
  EXPECT_TRUE(helper_threw.load());
  EXPECT_EQ(bits_of(factor(a, n, QrOptions{4})), bits_of(factor(a, n, QrOptions{1})));
}

}  // namespace
}  // namespace marrowfin::rotation
