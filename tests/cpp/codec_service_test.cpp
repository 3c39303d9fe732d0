#include <gtest/gtest.h>

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
  return CompressedVector::create(share_bytes(std::move(indices)), std::move(shared_residual),
                                  config.config_hash(), n, bit_width)
      .value();
}

// The order of the vector and codebook checks is checked through the Python
// functions; a rotation handed in must fit both the vector and the config.
TEST(CodecCompress, HandedInRotationMustFit) {
  const auto config = make_config(4, 5);
  const auto codebook = even_codebook(4);
  const std::vector<float> four(4, 0.0f), five(5, 0.0f);
  EXPECT_EQ(
      Codec::compress_with_rotation(five, config, codebook, rotation::RotationMatrix::cached(42, 4))
          .error()
          .message(),
      "input and output lengths disagree: 5 vs 5");
  EXPECT_EQ(Codec::compress_with_rotation(four, config, codebook,
                                          rotation::RotationMatrix::from_config(config))
                .error()
                .message(),
            "input and output lengths disagree: 4 vs 5");
}

// The residual is taken from the record, whatever the config says. In one
// dimension the rotation is +1 or -1, so the result is known exactly; the
// worked compression example is checked end to end through the Python type.
TEST(CodecDecompress, ResidualComesFromTheRecord) {
  const auto config = make_config(2, 1, false);
  const auto codebook = Codebook::create({-1.0f, -0.25f, 0.25f, 1.0f}, 2).value();
  const float sign = static_cast<float>(rotation::RotationMatrix::from_config(config).values()[0]);
  EXPECT_EQ(
      Codec::decompress(record({2}, config, 2, Bytes{0x66, 0x2A}), config, codebook).value()[0],
      sign * (0.04998779296875f + 0.25f));
  EXPECT_EQ(Codec::decompress(record({2}, config, 2), config, codebook).value()[0], sign * 0.25f);
}

TEST(CodecDecompress, ChecksInOrder) {
  const auto config = make_config(4, 4);
  const auto other = make_config(4, 4, true);
  const auto codebook = even_codebook(4), codebook2 = even_codebook(2),
             codebook8 = even_codebook(8);
  const auto foreign = record({1, 2, 3}, other, 2);
  struct Case {
    CompressedVector compressed;
    const Codebook& codebook;
    std::size_t out_size;
    std::string message;
  };
  const Case cases[] = {
      {foreign, codebook2, 7,
       "compressed config_hash " + *other.config_hash() + " does not match config hash " +
           *config.config_hash()},
      {record({1, 2, 3}, config, 2), codebook8, 7,
       "codebook bit_width 2 does not match config bit_width 4"},
      {record({1, 2, 3}, config, 4), codebook8, 7,
       "codebook bit_width 8 does not match config bit_width 4"},
      {record({1, 2, 3}, config, 4), codebook, 5,
       "vector length 5 does not match config dimension 4"},
      {record({1, 2, 3}, config, 4, Bytes(6)), codebook, 4,
       "input and output lengths disagree: 3 vs 4"},
      {record({0, 15, 3, 16}, config, 4), codebook, 4, "index 16 is out of range [0, 16)"},
  };
  for (const auto& c : cases) {
    std::vector<float> out(c.out_size, 9.0f);
    const auto status = Codec::decompress_into(c.compressed, config, c.codebook, out);
    EXPECT_EQ(status.ok() ? "ok" : status.error().message(), c.message);
    EXPECT_EQ(out, std::vector<float>(c.out_size, 9.0f));
  }
}

}  // namespace
}  // namespace marrowfin::codec
