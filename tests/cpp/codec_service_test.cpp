#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/codec/service.hpp"
#include "test_support.hpp"

namespace marrowfin::codec {
namespace {

using test::even_codebook;
using test::make_config;
using Bytes = std::vector<std::uint8_t>;

CompressedVector record(Bytes indices, const CodecConfig& config, std::uint8_t bit_width,
                        std::optional<Bytes> residual = {}) {
  const auto n = static_cast<std::uint32_t>(indices.size());
  std::optional<SharedBytes> shared_residual;
  if (residual) shared_residual = share_bytes(std::move(*residual));
  return CompressedVector::create(share_bytes(std::move(indices)), std::move(shared_residual), config.config_hash(),
                                  n, bit_width).value();
}

TEST(CodecCompress, ChecksInOrder) {
  const auto config = make_config(4, 5);
  const auto wrong_codebook = even_codebook(2);
  const auto codebook = even_codebook(4);
  const std::vector<float> four(4, 0.0f), five(5, 0.0f);
  EXPECT_EQ(Codec::compress(four, config, wrong_codebook).error().message(),
            "vector length 4 does not match config dimension 5");
  EXPECT_EQ(Codec::compress(five, config, wrong_codebook).error().message(),
            "codebook bit_width 2 does not match config bit_width 4");
  EXPECT_EQ(Codec::compress_with_rotation(five, config, codebook, RotationMatrix::cached(42, 4)).error().message(),
            "input and output lengths disagree: 5 vs 5");
  EXPECT_EQ(Codec::compress_with_rotation(four, config, codebook, RotationMatrix::from_config(config)).error().message(),
            "input and output lengths disagree: 4 vs 5");
  // A record shares the config's hash string and counts packed bytes.
  for (bool residual : {false, true}) {
    const auto big = make_config(4, 768, residual);
    const auto result = Codec::compress(test::gaussian_floats(768, 1), big, even_codebook(4, -3, 3)).value();
    EXPECT_EQ(result.size_bytes(), residual ? 1920u : 384u);
    EXPECT_EQ(result.config_hash().get(), big.config_hash().get());
  }
}

// In one dimension the rotation is +1 or -1, so every step is known exactly.
TEST(CodecCompress, WorkedExampleThroughOneDimensionalRotation) {
  const auto config = make_config(2, 1, true);
  const auto codebook = Codebook::create({-1.0f, -0.25f, 0.25f, 1.0f}, 2).value();
  const float sign = static_cast<float>(RotationMatrix::from_config(config).values()[0]);
  for (const auto& [value, index] : {std::pair{0.0f, 2}, {-2.0f, 0}, {5.0f, 3}, {0.3f, 2}}) {
    EXPECT_EQ((*Codec::compress(std::vector<float>{sign * value}, config, codebook).value().indices())[0], index);
  }
  const auto r = Codec::compress(std::vector<float>{sign * 0.3f}, config, codebook).value();
  EXPECT_EQ(**r.residual(), (Bytes{0x66, 0x2A}));
  EXPECT_EQ(Codec::decompress(r, config, codebook).value()[0], sign * (0.04998779296875f + 0.25f));
  // The residual is taken from the record, whatever the config says.
  const auto plain = make_config(2, 1, false);
  const float plain_sign = static_cast<float>(RotationMatrix::from_config(plain).values()[0]);
  EXPECT_EQ(Codec::decompress(record({2}, plain, 2, Bytes{0x66, 0x2A}), plain, codebook).value()[0],
            plain_sign * (0.04998779296875f + 0.25f));
  EXPECT_EQ(Codec::decompress(record({2}, plain, 2), plain, codebook).value()[0], plain_sign * 0.25f);
}

TEST(CodecDecompress, ChecksInOrder) {
  const auto config = make_config(4, 4);
  const auto other = make_config(4, 4, true);
  const auto codebook = even_codebook(4), codebook2 = even_codebook(2), codebook8 = even_codebook(8);
  const auto foreign = record({1, 2, 3}, other, 2);
  struct Case {
    CompressedVector compressed;
    const Codebook& codebook;
    std::size_t out_size;
    std::string message;
  };
  const Case cases[] = {
      {foreign, codebook2, 7,
       "compressed config_hash " + *other.config_hash() + " does not match config hash " + *config.config_hash()},
      {record({1, 2, 3}, config, 2), codebook8, 7, "codebook bit_width 2 does not match config bit_width 4"},
      {record({1, 2, 3}, config, 4), codebook8, 7, "codebook bit_width 8 does not match config bit_width 4"},
      {record({1, 2, 3}, config, 4), codebook, 5, "vector length 5 does not match config dimension 4"},
      {record({1, 2, 3}, config, 4, Bytes(6)), codebook, 4, "input and output lengths disagree: 3 vs 4"},
      {record({0, 15, 3, 16}, config, 4), codebook, 4, "index 16 is out of range [0, 16)"},
  };
  for (const auto& c : cases) {
    std::vector<float> out(c.out_size, 9.0f);
    const auto status = Codec::decompress_into(c.compressed, config, c.codebook, out);
    EXPECT_EQ(status.ok() ? "ok" : status.error().message(), c.message);
    EXPECT_EQ(out, std::vector<float>(c.out_size, 9.0f));
  }
  const auto error = Codec::decompress_into(foreign, config, codebook2, std::span<float>{}).error();
  EXPECT_EQ(error.expected_hash().get(), config.config_hash().get());
  EXPECT_EQ(error.got_hash().get(), other.config_hash().get());
}

// End to end, a wrong rotation direction or a lost residual would show here:
// with the residual, only binary16 and float32 rounding stand between x and y.
TEST(CodecRoundTrip, ResidualKeepsTheRelativeErrorBelowOnePerMille) {
  for (std::uint8_t bit_width : {2, 4, 8}) {
    const std::uint32_t n = 96;
    const auto config = make_config(bit_width, n, true, 7 + bit_width);
    const auto x = test::gaussian_floats(n, bit_width);
    const auto codebook = Codebook::train(test::gaussian_floats(4096, 3), config).value();
    const auto y = Codec::decompress(Codec::compress(x, config, codebook).value(), config, codebook).value();
    double squared_error = 0, squared_norm = 0;
    for (std::uint32_t i = 0; i < n; ++i) squared_error += (x[i] - y[i]) * (x[i] - y[i]), squared_norm += x[i] * x[i];
    EXPECT_LE(std::sqrt(squared_error / squared_norm), 1e-3) << int(bit_width);
  }
}

}  // namespace
}  // namespace marrowfin::codec
