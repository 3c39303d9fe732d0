#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/codec/binary16.hpp"
#include "core/codec/service.hpp"

namespace marrowfin::codec {
namespace {

CodecConfig make_config(std::uint8_t bit_width, std::uint32_t dimension, bool residual,
                        std::uint64_t seed = 42) {
  return CodecConfig::create(bit_width, seed, dimension, residual).value();
}

Codebook uniform_codebook(std::uint8_t bit_width, float low, float high) {
  const std::uint32_t k = 1u << bit_width;
  std::vector<float> levels(k);
  for (std::uint32_t i = 0; i < k; ++i) levels[i] = low + (high - low) * static_cast<float>(i) / static_cast<float>(k - 1);
  return Codebook::create(levels, bit_width).value();
}

std::vector<float> gaussian(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = normal(rng);
  return v;
}

CompressedVector record(std::vector<std::uint8_t> indices, const CodecConfig& config,
                        std::uint8_t bit_width, std::optional<std::vector<std::uint8_t>> residual = {}) {
  const auto n = static_cast<std::uint32_t>(indices.size());
  std::optional<SharedBytes> shared_residual;
  if (residual) shared_residual = share_bytes(std::move(*residual));
  return CompressedVector::create(share_bytes(std::move(indices)), std::move(shared_residual),
                                  config.config_hash(), n, bit_width)
      .value();
}

TEST(CodecCompress, ChecksInOrder) {
  const auto config = make_config(4, 5, false);
  const auto wrong_codebook = uniform_codebook(2, -1, 1);
  const std::vector<float> four(4, 0.0f), five(5, 0.0f);
  EXPECT_EQ(Codec::compress(four, config, wrong_codebook).error().message(),
            "vector length 4 does not match config dimension 5");
  EXPECT_EQ(Codec::compress(five, config, wrong_codebook).error().message(),
            "codebook bit_width 2 does not match config bit_width 4");
  const auto codebook = uniform_codebook(4, -1, 1);
  const auto other_rotation = RotationMatrix::cached(42, 4);
  EXPECT_EQ(Codec::compress_with_rotation(five, config, codebook, other_rotation).error().message(),
            "input and output lengths disagree: 5 vs 5");
  EXPECT_EQ(Codec::compress_with_rotation(four, config, codebook, RotationMatrix::from_config(config))
                .error().message(),
            "input and output lengths disagree: 4 vs 5");
}

TEST(CodecCompress, RecordShapeAndSharedHash) {
  for (bool residual : {false, true}) {
    const auto config = make_config(4, 768, residual);
    const auto result = Codec::compress(gaussian(768, 1), config, uniform_codebook(4, -3, 3)).value();
    EXPECT_EQ(result.size_bytes(), residual ? 1920u : 384u);
    EXPECT_EQ(result.has_residual(), residual);
    EXPECT_EQ(result.config_hash().get(), config.config_hash().get());
    EXPECT_EQ(result.dimension(), 768u);
    EXPECT_EQ(result.bit_width(), 4);
  }
}

TEST(CodecCompress, WorkedExampleThroughOneDimensionalRotation) {
  // In one dimension the rotation is +1 or -1, so the rotated value is known exactly.
  const auto config = make_config(2, 1, true);
  const auto codebook = Codebook::create({-1.0f, -0.25f, 0.25f, 1.0f}, 2).value();
  const float sign = static_cast<float>(RotationMatrix::from_config(config).values()[0]);
  const std::vector<std::pair<float, std::uint8_t>> cases = {{0.0f, 2}, {-2.0f, 0}, {5.0f, 3}, {0.3f, 2}};
  for (const auto& [value, index] : cases) {
    const auto result = Codec::compress(std::vector<float>{sign * value}, config, codebook).value();
    EXPECT_EQ((*result.indices())[0], index) << value;
  }
  const auto r = Codec::compress(std::vector<float>{sign * 0.3f}, config, codebook).value();
  EXPECT_EQ(**r.residual(), (std::vector<std::uint8_t>{0x66, 0x2A}));
  const auto back = Codec::decompress(r, config, codebook).value();
  EXPECT_EQ(back[0], sign * (0.04998779296875f + 0.25f));
}

TEST(CodecDecompress, ChecksInOrder) {
  const auto config = make_config(4, 4, false);
  const auto other = make_config(4, 4, true);
  const auto codebook = uniform_codebook(4, -1, 1);
  const auto codebook2 = uniform_codebook(2, -1, 1);
  const auto codebook8 = uniform_codebook(8, -1, 1);
  const auto foreign = record({1, 2, 3}, other, 2);
  const std::string expected_config_mismatch =
      "compressed config_hash " + *other.config_hash() + " does not match config hash " + *config.config_hash();
  struct Case {
    const char* name;
    CompressedVector compressed;
    const Codebook& codebook;
    std::size_t out_size;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"hash first", foreign, codebook2, 7, expected_config_mismatch},
      {"record bit width", record({1, 2, 3}, config, 2), codebook8, 7,
       "codebook bit_width 2 does not match config bit_width 4"},
      {"codebook bit width", record({1, 2, 3}, config, 4), codebook8, 7,
       "codebook bit_width 8 does not match config bit_width 4"},
      {"output length", record({1, 2, 3}, config, 4), codebook, 5,
       "vector length 5 does not match config dimension 4"},
      {"index count", record({1, 2, 3}, config, 4, std::vector<std::uint8_t>(6)), codebook, 4,
       "input and output lengths disagree: 3 vs 4"},
  };
  for (const auto& c : cases) {
    std::vector<float> out(c.out_size);
    const auto status = Codec::decompress_into(c.compressed, config, c.codebook, out);
    ASSERT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.error().message(), c.message) << c.name;
  }
  const auto error = Codec::decompress_into(foreign, config, codebook2, std::span<float>{}).error();
  EXPECT_EQ(error.expected_hash().get(), config.config_hash().get());
  EXPECT_EQ(error.got_hash().get(), other.config_hash().get());

  const auto two_bit = make_config(2, 4, false);
  const auto bad_indices = record({0, 7, 3, 9}, two_bit, 2);
  EXPECT_EQ(Codec::decompress(bad_indices, two_bit, codebook2).error().message(),
            "index 7 is out of range [0, 4)");
}

TEST(CodecDecompress, ResidualComesFromTheRecordNotTheConfig) {
  const auto config = make_config(2, 4, false);
  const auto codebook = uniform_codebook(2, -1, 1);
  const std::vector<std::uint8_t> indices = {0, 1, 2, 3};
  std::vector<std::uint8_t> residual;
  for (float r : {0.5f, -0.125f, 0.0f, 2.0f}) {
    const std::uint16_t h = float_to_half(r);
    residual.push_back(static_cast<std::uint8_t>(h & 0xff));
    residual.push_back(static_cast<std::uint8_t>(h >> 8));
  }
  const auto plain = Codec::decompress(record(indices, config, 2), config, codebook).value();
  const auto with_residual = Codec::decompress(record(indices, config, 2, residual), config, codebook).value();
  // Undo the rotation to compare in the rotated space.
  const auto rotation = RotationMatrix::from_config(config);
  std::vector<float> a(4), b(4);
  ASSERT_TRUE(rotation.apply(plain, a).ok());
  ASSERT_TRUE(rotation.apply(with_residual, b).ok());
  const std::vector<float> shift = {0.5f, -0.125f, 0.0f, 2.0f};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(b[i] - a[i], shift[i], 1e-5f) << i;
}

TEST(CodecRoundTrip, ErrorBounds) {
  for (std::uint8_t bit_width : {2, 4, 8}) {
    for (bool residual : {false, true}) {
      const std::uint32_t n = 96;
      const auto config = make_config(bit_width, n, residual, 7 + bit_width);
      const auto x = gaussian(n, bit_width);
      const auto codebook = Codebook::train(gaussian(4096, 3), config).value();
      const auto compressed = Codec::compress(x, config, codebook).value();
      const auto y = Codec::decompress(compressed, config, codebook).value();
      // The rotated coordinates come back within the binary16 rounding of the
      // residual (plus float32 rounding of the sum and both rotations), or
      // within half the widest level gap when there is no residual.
      const auto levels = codebook.entries();
      float widest_gap = 0.0f;
      for (std::size_t i = 1; i < levels.size(); ++i) widest_gap = std::max(widest_gap, levels[i] - levels[i - 1]);
      const double bound = residual ? 3e-3 : widest_gap;  // per-coordinate, generous for the tails
      double squared_error = 0, squared_norm = 0;
      for (std::uint32_t i = 0; i < n; ++i) {
        squared_error += (x[i] - y[i]) * (x[i] - y[i]);
        squared_norm += x[i] * x[i];
      }
      EXPECT_LE(std::sqrt(squared_error / n), bound) << int(bit_width) << residual;
      if (residual) {
        EXPECT_LE(std::sqrt(squared_error / squared_norm), 1e-3);
      }
      // Same inputs, same bytes.
      const auto again = Codec::compress(x, config, codebook).value();
      EXPECT_EQ(*again.indices(), *compressed.indices());
    }
  }
}

}  // namespace
}  // namespace marrowfin::codec
