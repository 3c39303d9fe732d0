#include "core/codec/batch_inverse_rotation.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "test_support.hpp"

namespace marrowfin::codec {
namespace {

std::vector<float> random_vectors(std::size_t count, std::size_t n) {
  std::mt19937 rng(static_cast<std::uint32_t>(count * 1000 + n));
  std::normal_distribution<float> normal;
  std::vector<float> x(count * n);
  for (auto& v : x) v = normal(rng);
  return x;
}

// Panels only for batches large enough to repay the copy; either way the
// bytes of the plain kernels, in place as well as into another buffer.
TEST(BatchInverseRotation, MatchesTheColumnKernelsWithOrWithoutPanels) {
  const bool has_panels = best_simd_level() != SimdLevel::scalar;
  for (std::uint32_t n : {7u, 40u}) {
    const auto rotation = RotationMatrix::cached(9, n);
    for (std::size_t count : {10u, 130u}) {
      const BatchInverseRotation batch(rotation, count);
      EXPECT_EQ(batch.uses_panels(), has_panels && count >= 64) << n << " " << count;
      auto x = random_vectors(count, n);
      std::vector<float> expected(x.size()), out(x.size());
      rotation.apply_inverse_many(x.data(), count, expected.data());
      batch.apply_many(x.data(), count, out.data());
      EXPECT_EQ(test::bits_of(out), test::bits_of(expected));
      batch.apply_many(x.data(), count, x.data());
      EXPECT_EQ(test::bits_of(x), test::bits_of(expected));
    }
  }
}

}  // namespace
}  // namespace marrowfin::codec
