#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "core/codec/householder_kernels.hpp"
#include "core/codec/householder_qr.hpp"
#include "core/codec/rotation_simd.hpp"
#include "core/codec/rotation_stream.hpp"

namespace marrowfin::codec {
namespace {

std::vector<SimdLevel> usable_levels() {
  std::vector<SimdLevel> levels;
  for (auto level : {SimdLevel::scalar, SimdLevel::avx2, SimdLevel::avx512}) {
    if (usable_simd_level(level) == level) levels.push_back(level);
  }
  return levels;
}

std::vector<double> gaussian_matrix(std::uint64_t seed, std::size_t n) {
  std::vector<double> a(n * n);
  gaussian_samples(seed, a.data(), a.size());
  return a;
}

std::vector<double> factor(std::vector<double> a, std::size_t n, QrOptions options = {}) {
  orthogonal_factor_in_place(a.data(), n, options);
  return a;
}

bool same_bytes(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// max |X Y^T - I| for row-major n x n X and Y, accumulated so that the
// inner loop runs over contiguous, independent outputs.
double max_deviation_from_identity(const std::vector<double>& x, const std::vector<double>& y, std::size_t n) {
  std::vector<double> yt(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) yt[j * n + i] = y[i * n + j];
  }
  double worst = 0.0;
  std::vector<double> row(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::fill(row.begin(), row.end(), 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      const double xik = x[i * n + k];
      const double* ytk = yt.data() + k * n;
      for (std::size_t j = 0; j < n; ++j) row[j] += xik * ytk[j];
    }
    for (std::size_t j = 0; j < n; ++j) worst = std::max(worst, std::fabs(row[j] - (i == j ? 1.0 : 0.0)));
  }
  return worst;
}

class QrDimension : public ::testing::TestWithParam<std::size_t> {};

TEST_P(QrDimension, OrthogonalWithNonNegativeTriangularFactor) {
  const std::size_t n = GetParam();
  const auto a = gaussian_matrix(7, n);
  const auto m = factor(a, n);
  EXPECT_LE(max_deviation_from_identity(m, m, n), 1e-12);
  if (n > 300) return;
  // R = M^T A must be upper triangular with a non-negative diagonal.
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double r = 0.0;
      for (std::size_t k = 0; k < n; ++k) r += m[k * n + i] * a[k * n + j];
      if (i == j) {
        EXPECT_GT(r, 0.0) << i;
      } else {
        EXPECT_LE(std::fabs(r), 1e-11) << i << "," << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, QrDimension,
                         ::testing::Values(1, 2, 3, 5, 17, 31, 32, 33, 64, 65, 97, 128, 257, 300, 1024));

TEST(HouseholderQr, SameBytesForEveryThreadCountAndInstructionSet) {
  for (std::size_t n : {2u, 33u, 100u, 301u}) {
    SCOPED_TRACE(n);
    const auto a = gaussian_matrix(n, n);
    const auto reference = factor(a, n, QrOptions{1, SimdLevel::scalar});
    for (SimdLevel level : usable_levels()) {
      for (unsigned threads : {1u, 2u, 3u}) {
        EXPECT_TRUE(same_bytes(factor(a, n, QrOptions{threads, level}), reference))
            << "level " << static_cast<int>(level) << " threads " << threads;
      }
    }
    EXPECT_TRUE(same_bytes(factor(a, n), reference)) << "default options";
  }
}

TEST(HouseholderQr, ColumnsWithNothingBelowTheDiagonalAreNotReflected) {
  // Triangular input: every reflector is the identity and R = A, so M is
  // the identity with the columns of negative diagonal entries negated.
  const std::size_t n = 40;
  std::vector<double> a(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) a[i * n + j] = 1.0 + static_cast<double>(i + 2 * j);
    if (i % 3 == 1) a[i * n + i] = -a[i * n + i];
  }
  const auto m = factor(a, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double expected = i != j ? 0.0 : (i % 3 == 1 ? -1.0 : 1.0);
      ASSERT_EQ(m[i * n + j], expected) << i << "," << j;
    }
  }
}

TEST(HouseholderQr, DimensionOneIsTheSignOfTheSample) {
  EXPECT_EQ(factor({2.5}, 1)[0], 1.0);
  EXPECT_EQ(factor({-0.1}, 1)[0], -1.0);
  EXPECT_EQ(factor({0.0}, 1)[0], 1.0);
  EXPECT_EQ(factor({-0.0}, 1)[0], 1.0);  // -0.0 >= 0.0
}

// The kernels against plain loops with the documented summation order, on
// shapes that exercise every tile and partial-vector path.
TEST(HouseholderKernels, EveryVariantMatchesThePlainLoops) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  for (std::size_t m : {1u, 7u, 40u}) {
    for (std::size_t k : {1u, 3u, 8u, 13u, 32u}) {
      for (std::size_t cols : {1u, 5u, 8u, 23u, 24u, 31u, 61u, 100u}) {
        const std::size_t ld = cols + 3;
        std::vector<double> v(m * k);
        std::vector<double> c(m * ld);
        std::vector<double> w(k * ld);
        std::vector<double> l(k * k);
        for (auto* buffer : {&v, &c, &w, &l}) {
          for (auto& x : *buffer) x = normal(rng);
        }
        std::vector<double> projected(k * ld, -7.0);
        std::vector<double> subtracted = c;
        std::vector<double> lower(k * ld, -7.0);
        std::vector<double> upper(k * ld, -7.0);
        for (std::size_t col = 0; col < cols; ++col) {
          for (std::size_t p = 0; p < k; ++p) {
            double s = 0.0;
            for (std::size_t i = 0; i < m; ++i) s = s + v[i * k + p] * c[i * ld + col];
            projected[p * ld + col] = s;
            double lo = 0.0;
            for (std::size_t q = 0; q <= p; ++q) lo = lo + l[p * k + q] * w[q * ld + col];
            lower[p * ld + col] = lo;
            double up = 0.0;
            for (std::size_t q = p; q < k; ++q) up = up + l[p * k + q] * w[q * ld + col];
            upper[p * ld + col] = up;
          }
          for (std::size_t i = 0; i < m; ++i) {
            double s = 0.0;
            for (std::size_t p = 0; p < k; ++p) s = s + v[i * k + p] * w[p * ld + col];
            subtracted[i * ld + col] = c[i * ld + col] - s;
          }
        }
        for (SimdLevel level : usable_levels()) {
          const auto& kernels = householder_kernels::kernels_for(level);
          std::vector<double> got(k * ld, -7.0);
          kernels.project(m, k, cols, v.data(), k, c.data(), ld, got.data(), ld);
          ASSERT_TRUE(same_bytes(got, projected)) << static_cast<int>(level) << " " << m << " " << k << " " << cols;
          std::vector<double> updated = c;
          kernels.subtract_product(m, k, cols, v.data(), k, w.data(), ld, updated.data(), ld);
          ASSERT_TRUE(same_bytes(updated, subtracted));
          std::fill(got.begin(), got.end(), -7.0);
          kernels.triangular_product(k, cols, l.data(), true, w.data(), ld, got.data(), ld);
          ASSERT_TRUE(same_bytes(got, lower));
          std::fill(got.begin(), got.end(), -7.0);
          kernels.triangular_product(k, cols, l.data(), false, w.data(), ld, got.data(), ld);
          ASSERT_TRUE(same_bytes(got, upper));
        }
      }
    }
  }
}

}  // namespace
}  // namespace marrowfin::codec
