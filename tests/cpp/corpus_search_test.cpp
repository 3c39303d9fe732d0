#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/backend/cosine_similarity.hpp"
#include "core/corpus/corpus.hpp"
#include "core/corpus/fast_scan.hpp"
#include "core/simd/level.hpp"
#include "test_support.hpp"

namespace marrowfin::corpus {
namespace {

using test::bits;

// The reference: every vector of decompress_all scored with the backend's
// cosine, stable-sorted in id order by score (higher first), ties by id.
std::vector<std::pair<std::string, std::uint32_t>> reference(Corpus& corpus,
                                                             std::span<const float> query,
                                                             std::size_t k) {
  auto decoded = corpus.decode_all().value();
  std::vector<std::pair<float, std::string>> all;
  for (const auto& v : decoded)
    all.emplace_back(backend::cosine_similarity(query, v.values), *v.vector_id);
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    if (a.first > b.first) return true;
    if (b.first > a.first) return false;
    return a.second < b.second;
  });
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i)
    out.emplace_back(all[i].second, bits(all[i].first));
  return out;
}

std::vector<std::pair<std::string, std::uint32_t>> found(const Corpus& corpus,
                                                         std::span<const float> query,
                                                         std::size_t k, unsigned threads) {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (const auto& r : corpus.search(query, k, threads).value())
    out.emplace_back(*r.vector_id, bits(r.score));
  return out;
}

// Enough rows for several scan blocks, so two threads really split the work.
TEST(CorpusSearch, EveryThreadCountGivesTheReferenceResult) {
  for (const auto& [bit_width, residual] :
       {std::pair{4u, false}, std::pair{4u, true}, std::pair{8u, false}, std::pair{8u, true}}) {
    const std::uint32_t d = 24;
    Corpus corpus(share_text("s"), test::make_config(bit_width, d, residual),
                  test::even_codebook(bit_width, -0.6f, 0.6f), CompressionPolicy::COMPRESS);
    const std::size_t n = 9000;
    std::vector<float> data = test::gaussian_floats(n * d, 3, 0.2f);
    std::copy(data.begin(), data.begin() + d, data.begin() + 5 * d);  // a tie
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < n; ++i) {
      char id[24];
      std::snprintf(id, sizeof id, "v%zu", (i * 7919) % n);
      ids.emplace_back(id);
    }
    ASSERT_TRUE(corpus.insert_batch(ids, data, d).ok());
    for (std::uint32_t seed = 0; seed < 4; ++seed) {
      const std::vector<float> query = test::gaussian_floats(d, 100 + seed);
      for (const std::size_t k : {1u, 10u, 64u}) {
        const auto expected = reference(corpus, query, k);
        EXPECT_EQ(found(corpus, query, k, 1), expected);
        EXPECT_EQ(found(corpus, query, k, 2), expected);
      }
    }
    const std::vector<float> first(data.begin(), data.begin() + d);
    EXPECT_EQ(found(corpus, first, 3, 2), reference(corpus, first, 3));
  }
}

TEST(CorpusSearch, QueryOfTheWrongLengthIsADimensionMismatch) {
  Corpus corpus(share_text("s"), test::make_config(4, 8), test::even_codebook(4),
                CompressionPolicy::FP16);
  const std::vector<float> query(5, 1.0f);
  const auto result = corpus.search(query, 1);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "dimension mismatch: expected 8, got 5");
}

}  // namespace
}  // namespace marrowfin::corpus

namespace marrowfin::corpus {
namespace {

// Every level this CPU runs gives the reference's sums, 4- and 8-bit, for
// partial and whole 16-bit flush windows, every class split (empty classes included),
// bytes visited out of order and extreme table entries.
TEST(FastScan, EveryLevelSumsLikeTheScalarForm) {
  std::mt19937 rng(7);
  for (const std::size_t code_bytes : {1u, 5u, 128u, 129u, 384u, 700u}) {
    std::vector<std::uint8_t> group(code_bytes * fast_scan::kGroup),
        tables(code_bytes * fast_scan::kTableBytes8);
    for (auto& b : group) b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < tables.size(); i += 32) {
      for (std::size_t c = 0; c < 16; ++c) {
        tables[i + c] = tables[i + 16 + c] =
            static_cast<std::uint8_t>(rng() % 4 == 0 ? 255 : rng());
      }
    }
    std::vector<std::uint32_t> bytes(code_bytes);
    for (std::size_t b = 0; b < code_bytes; ++b) bytes[b] = static_cast<std::uint32_t>(b);
    std::shuffle(bytes.begin(), bytes.end(), rng);
    for (const std::size_t split : {std::size_t{0}, code_bytes / 3, code_bytes}) {
      fast_scan::Plan plan{bytes.data(), tables.data(), {}};
      for (unsigned e = 0; e < fast_scan::kClasses; ++e) {
        plan.class_end[e] =
            e + 1 == fast_scan::kClasses ? code_bytes : std::min(code_bytes, split * (e + 1));
      }
      std::uint32_t expected[fast_scan::kGroup];
      std::uint32_t expected8[fast_scan::kGroup];
      fast_scan::detail::sum_group_scalar(group.data(), group.data(), plan, expected);
      fast_scan::detail::sum_group8_scalar(group.data(), group.data(), plan, expected8);
      for (const simd::Level level : simd::supported_levels()) {
        std::uint32_t sums[fast_scan::kGroup];
        fast_scan::select(level).sum_group(group.data(), group.data(), plan, sums);
        EXPECT_TRUE(std::equal(sums, sums + fast_scan::kGroup, expected))
            << simd::name(level) << " " << code_bytes << " " << split;
        fast_scan::select(level).sum_group8(group.data(), group.data(), plan, sums);
        EXPECT_TRUE(std::equal(sums, sums + fast_scan::kGroup, expected8))
            << simd::name(level) << " 8-bit " << code_bytes << " " << split;
      }
    }
  }
}

// The residual product gives the scalar form's bits at every level, for
// lengths around the 16-lane step and binary16 values of every kind but NaN.
TEST(FastScan, EveryLevelTakesResidualProductsLikeTheScalarForm) {
  std::mt19937 rng(11);
  for (const std::size_t d : {1u, 15u, 16u, 17u, 100u, 768u}) {
    std::vector<std::uint8_t> halves(2 * d);
    std::vector<float> query = test::gaussian_floats(d, 5);
    for (std::size_t j = 0; j < d; ++j) {
      std::uint16_t h;
      do {
        h = static_cast<std::uint16_t>(rng());
      } while ((h & 0x7c00) == 0x7c00 && (h & 0x03ff) != 0);  // NaN
      halves[2 * j] = static_cast<std::uint8_t>(h);
      halves[2 * j + 1] = static_cast<std::uint8_t>(h >> 8);
    }
    const float expected = fast_scan::detail::residual_dot_scalar(halves.data(), query.data(), d);
    for (const simd::Level level : simd::supported_levels()) {
      EXPECT_EQ(bits(fast_scan::select(level).residual_dot(halves.data(), query.data(), d)),
                bits(expected))
          << simd::name(level) << " " << d;
    }
  }
}

}  // namespace
}  // namespace marrowfin::corpus
