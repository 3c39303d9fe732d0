#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/codec/batch.hpp"
#include "core/codec/service.hpp"

namespace marrowfin::codec {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

CodecConfig make_config(std::uint8_t bit_width, std::uint32_t dimension, bool residual) {
  return CodecConfig::create(bit_width, 5, dimension, residual).value();
}

Codebook codebook_for(const CodecConfig& config) {
  std::mt19937 rng(config.bit_width());
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> sample(5000);
  for (auto& v : sample) v = normal(rng);
  return Codebook::train(sample, config).value();
}

// rows x dimension values; with `edgy`, many are NaN, infinities, signed
// zeros, subnormals or huge.
std::vector<float> matrix(std::size_t rows, std::size_t dimension, bool edgy, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float specials[] = {std::bit_cast<float>(0x7fc00001u), -kInf, kInf, -0.0f, 1e-45f, -2e-39f, 1e38f};
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

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(BatchCodec, RoundTripsMatchSingleVectorOperationsForAnyThreadCount) {
  for (bool edgy : {false, true}) {
    for (std::uint8_t bit_width : {2, 4, 8}) {
      const std::uint32_t n = 24;
      const std::size_t rows = 250;  // several blocks, the last one partial
      const auto config = make_config(bit_width, n, bit_width != 2);
      const auto codebook = codebook_for(config);
      const auto data = matrix(rows, n, edgy, bit_width);

      std::vector<CompressedVector> single;
      std::vector<float> expected_out;
      for (std::size_t r = 0; r < rows; ++r) {
        single.push_back(Codec::compress({data.data() + r * n, n}, config, codebook).value());
        const auto back = Codec::decompress(single.back(), config, codebook).value();
        expected_out.insert(expected_out.end(), back.begin(), back.end());
      }
      for (unsigned threads : {0u, 1u, 2u, 3u}) {
        const auto batch = batch_detail::compress_batch(data, rows, n, config, codebook, threads).value();
        ASSERT_EQ(batch.size(), rows);
        for (std::size_t r = 0; r < rows; ++r) expect_same_record(batch[r], single[r]);
        std::vector<float> out(rows * n);
        ASSERT_TRUE(batch_detail::decompress_batch(batch, config, codebook, out, threads).ok());
        EXPECT_TRUE(same_bits(out, expected_out)) << threads;
      }
    }
  }
}

TEST(BatchCodec, CompressShapeChecks) {
  const auto config = make_config(4, 3, false);
  const auto codebook = codebook_for(config);
  const auto wrong_codebook = codebook_for(make_config(2, 3, false));
  const std::vector<float> six(6, 1.0f);
  auto message = [](const auto& result) { return result.error().message(); };

  EXPECT_TRUE(Codec::compress_batch({}, 0, 3, config, wrong_codebook).value().empty());
  EXPECT_EQ(message(Codec::compress_batch({}, 0, 7, config, codebook)),
            "vector length 7 does not match config dimension 3");
  EXPECT_EQ(message(Codec::compress_batch(six, 3, 3, config, codebook)),
            "input and output lengths disagree: 6 vs 9");
  EXPECT_EQ(message(Codec::compress_batch(six, std::uint64_t{1} << 63, 3, config, codebook)),
            "input and output lengths disagree: 6 vs 18446744073709551615");
  EXPECT_EQ(message(Codec::compress_batch(six, 2, 3, config, wrong_codebook)),
            "codebook bit_width 2 does not match config bit_width 4");
  const auto one = Codec::compress_batch({six.data(), 3}, 1, 3, config, codebook).value();
  expect_same_record(one.at(0), Codec::compress({six.data(), 3}, config, codebook).value());
}

TEST(BatchCodec, DecompressReportsTheFirstFailingRecord) {
  const std::uint32_t n = 8;
  const auto config = make_config(2, n, true);
  const auto other = make_config(2, n, false);
  const auto codebook = codebook_for(config);
  const std::size_t rows = 300;
  const auto data = matrix(rows, n, false, 9);
  auto records = Codec::compress_batch(data, rows, n, config, codebook).value();
  const auto foreign = Codec::compress({data.data(), n}, other, codebook).value();
  const auto bad_index = CompressedVector::create(share_bytes(std::vector<std::uint8_t>(n, 4)), std::nullopt,
                                                  config.config_hash(), n, 2).value();
  const auto short_record = CompressedVector::create(share_bytes(std::vector<std::uint8_t>(n - 1, 0)),
                                                     std::nullopt, config.config_hash(), n - 1, 2).value();

  std::vector<float> out(rows * n);
  EXPECT_EQ(Codec::decompress_batch(records, config, codebook, {out.data(), 5}).error().message(),
            "input and output lengths disagree: 5 vs 2400");
  EXPECT_TRUE(Codec::decompress_batch({}, config, codebook, {}).ok());

  auto with_failures = records;
  with_failures[2] = foreign;
  const std::string foreign_message = "compressed config_hash " + *other.config_hash() +
                                      " does not match config hash " + *config.config_hash();
  for (unsigned threads : {0u, 1u, 2u, 4u}) {
    auto status = batch_detail::decompress_batch(with_failures, config, codebook, out, threads);
    EXPECT_EQ(status.error().message(), foreign_message);
  }
  // Failures late in the batch: the lowest one wins whichever worker meets it first.
  with_failures = records;
  with_failures[290] = foreign;
  with_failures[200] = short_record;
  with_failures[150] = bad_index;
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    auto status = batch_detail::decompress_batch(with_failures, config, codebook, out, threads);
    EXPECT_EQ(status.error().message(), "index 4 is out of range [0, 4)") << threads;
  }
  with_failures[150] = records[150];
  EXPECT_EQ(batch_detail::decompress_batch(with_failures, config, codebook, out, 2).error().message(),
            "input and output lengths disagree: 7 vs 8");
}

}  // namespace
}  // namespace marrowfin::codec
