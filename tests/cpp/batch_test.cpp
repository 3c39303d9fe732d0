#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "core/codec/batch.hpp"
#include "core/codec/service.hpp"
#include "test_support.hpp"

namespace marrowfin::codec {
namespace {

using test::bits_of;
using test::make_config;

Codebook trained_codebook(const CodecConfig& config) {
  return Codebook::train(test::gaussian_floats(5000, config.bit_width()), config).value();
}

// rows x dimension values; with `edgy`, one in eight is NaN, infinite, a signed zero, subnormal or
// huge.
std::vector<float> matrix(std::size_t rows, std::size_t dimension, bool edgy, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {
      std::bit_cast<float>(0x7fc00001u), -inf, inf, -0.0f, 1e-45f, -2e-39f, 1e38f};
  std::vector<float> m(rows * dimension);
  for (auto& v : m) v = edgy && rng() % 8 == 0 ? specials[rng() % 7] : normal(rng);
  return m;
}

void expect_same_record(const CompressedVector& a, const CompressedVector& b) {
  EXPECT_EQ(*a.indices(), *b.indices());
  ASSERT_EQ(a.has_residual(), b.has_residual());
  if (a.has_residual()) {
    EXPECT_EQ(**a.residual(), **b.residual());
  }
  EXPECT_EQ(a.config_hash().get(), b.config_hash().get());
}

// 250 rows: several row blocks, the last one partial.
TEST(BatchCodec, EqualsSingleVectorCallsForEveryThreadCount) {
  const std::uint32_t n = 24;
  const std::size_t rows = 250;
  for (bool edgy : {false, true}) {
    for (std::uint8_t bit_width : {2, 4, 8}) {
      const auto config = make_config(bit_width, n, bit_width != 2);
      const auto codebook = trained_codebook(config);
      const auto data = matrix(rows, n, edgy, bit_width);
      std::vector<CompressedVector> single;
      std::vector<float> expected_out;
      for (std::size_t r = 0; r < rows; ++r) {
        single.push_back(Codec::compress({data.data() + r * n, n}, config, codebook).value());
        const auto back = Codec::decompress(single.back(), config, codebook).value();
        expected_out.insert(expected_out.end(), back.begin(), back.end());
      }
      for (unsigned threads : {0u, 1u, 3u}) {
        const auto batch =
            batch_detail::compress_batch(data, rows, n, config, codebook, threads).value();
        ASSERT_EQ(batch.size(), rows);
        for (std::size_t r = 0; r < rows; ++r) expect_same_record(batch[r], single[r]);
        std::vector<float> out(rows * n);
        ASSERT_TRUE(batch_detail::decompress_batch(batch, config, codebook, out, threads).ok());
        EXPECT_EQ(bits_of(out), bits_of(expected_out)) << threads;
      }
    }
  }
}

// The shape is checked before the codebook, with a size that saturates
// instead of wrapping to a matching one.
TEST(BatchCodec, CompressChecksShapeBeforeCodebook) {
  const auto config = make_config(4, 3);
  const auto wrong_codebook = trained_codebook(make_config(2, 3));
  const std::vector<float> six(6, 1.0f);
  EXPECT_EQ(Codec::compress_batch(six, 3, 3, config, wrong_codebook).error().message(),
            "input and output lengths disagree: 6 vs 9");
  EXPECT_EQ(Codec::compress_batch(six, std::uint64_t{1} << 63, 3, config, wrong_codebook)
                .error()
                .message(),
            "input and output lengths disagree: 6 vs 18446744073709551615");
}

TEST(BatchCodec, DecompressReportsTheLowestFailingRecord) {
  const std::uint32_t n = 8;
  const auto config = make_config(2, n, true);
  const auto other = make_config(2, n, false);
  const auto codebook = trained_codebook(config);
  const std::size_t rows = 300;
  const auto data = matrix(rows, n, false, 9);
  const auto records = Codec::compress_batch(data, rows, n, config, codebook).value();
  const auto foreign = Codec::compress({data.data(), n}, other, codebook).value();
  auto raw = [&](std::size_t count, std::uint8_t value) {
    return CompressedVector::create(share_bytes(std::vector<std::uint8_t>(count, value)),
                                    std::nullopt, config.config_hash(),
                                    static_cast<std::uint32_t>(count), 2)
        .value();
  };
  std::vector<float> out(rows * n);
  EXPECT_EQ(Codec::decompress_batch(records, config, codebook, {out.data(), 5}).error().message(),
            "input and output lengths disagree: 5 vs 2400");
  EXPECT_TRUE(Codec::decompress_batch({}, config, codebook, {}).ok());

  // Failures in three different row blocks: the lowest row wins whichever worker meets it first.
  auto failing = records;
  failing[290] = foreign;
  failing[200] = raw(n - 1, 0);
  failing[150] = raw(n, 4);
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    EXPECT_EQ(
        batch_detail::decompress_batch(failing, config, codebook, out, threads).error().message(),
        "index 4 is out of range [0, 4)")
        << threads;
  }
  failing[150] = records[150];
  EXPECT_EQ(batch_detail::decompress_batch(failing, config, codebook, out, 2).error().message(),
            "input and output lengths disagree: 7 vs 8");
  failing[200] = records[200];
  EXPECT_EQ(batch_detail::decompress_batch(failing, config, codebook, out, 2).error().message(),
            "compressed config_hash " + *other.config_hash() + " does not match config hash " +
                *config.config_hash());
}

}  // namespace
}  // namespace marrowfin::codec
