#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/codec/rotation_simd.hpp"
#include "core/codec/rotation_stream.hpp"
#include "core/codec/rotation_stream_kernels.hpp"

namespace marrowfin::codec {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::vector<SimdLevel> usable_levels() {
  std::vector<SimdLevel> levels;
  for (auto level : {SimdLevel::scalar, SimdLevel::avx2, SimdLevel::avx512}) {
    if (usable_simd_level(level) == level) levels.push_back(level);
  }
  return levels;
}

struct SeedVectors {
  std::uint64_t seed = 0;
  std::vector<std::uint32_t> key_words;
  std::vector<std::uint64_t> draws;
  std::vector<std::uint64_t> gaussians;
};

std::vector<SeedVectors> load_vectors() {
  std::ifstream in(std::string(MARROWFIN_TEST_DATA_DIR) + "/rotation_stream.txt");
  std::vector<SeedVectors> all;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string tag;
    fields >> tag;
    if (tag == "seed") {
      all.emplace_back();
      fields >> all.back().seed;
      continue;
    }
    std::uint64_t value = 0;
    while (fields >> std::hex >> value) {
      if (tag == "key_words") all.back().key_words.push_back(static_cast<std::uint32_t>(value));
      if (tag == "draws") all.back().draws.push_back(value);
      if (tag == "gaussians") all.back().gaussians.push_back(value);
    }
  }
  return all;
}

TEST(RotationStream, KnownAnswersForSixSeeds) {
  const auto all = load_vectors();
  ASSERT_EQ(all.size(), 6u);
  for (const auto& v : all) {
    SCOPED_TRACE(v.seed);
    ASSERT_EQ(v.key_words.size(), 8u);
    ASSERT_EQ(v.draws.size(), 8u);
    ASSERT_EQ(v.gaussians.size(), 16u);
    const ChaChaKey key = expand_seed(v.seed);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(key[k], v.key_words[k]);

    KeystreamDraws draws(key);
    for (auto expected : v.draws) EXPECT_EQ(draws.next(), expected);

    GaussianSampler<KeystreamDraws> one_by_one{KeystreamDraws(key)};
    for (auto expected : v.gaussians) EXPECT_EQ(bits(one_by_one.next()), expected);

    for (SimdLevel level : usable_levels()) {
      // 16 samples fill no SIMD batch; 300 do, and must begin the same way.
      std::vector<double> samples(300);
      gaussian_samples(v.seed, samples.data(), samples.size(), level);
      for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(bits(samples[i]), v.gaussians[i]);
    }
  }
}

TEST(RotationStream, ZeroKeyBlocksMatchTheOriginalChaCha20) {
  // Key 0, nonce 0: the classic test vector of the 64-bit-counter variant.
  std::uint32_t block[16];
  chacha20_block(ChaChaKey{}, 0, block);
  const std::uint32_t expected0[16] = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0,
                                       0xccef36a8, 0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                       0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], expected0[i]) << i;
  chacha20_block(ChaChaKey{}, 1, block);
  const std::uint32_t expected1[16] = {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73, 0xa0290fcb, 0x6965e348,
                                       0x3e53c612, 0xed7aee32, 0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                                       0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], expected1[i]) << i;
}

TEST(RotationStream, BulkKeystreamEqualsSingleBlocksAtEveryWidth) {
  const ChaChaKey key = expand_seed(99);
  // Includes the carry of the block counter into its high word.
  for (std::uint64_t first : {std::uint64_t{0}, std::uint64_t{0xfffffff5}, std::uint64_t{0xfffffffffffffff0}}) {
    constexpr std::size_t kBlocks = 37;
    std::vector<std::uint64_t> expected(8 * kBlocks);
    for (std::size_t b = 0; b < kBlocks; ++b) {
      std::uint32_t words[16];
      chacha20_block(key, first + b, words);
      for (int j = 0; j < 8; ++j) {
        expected[8 * b + j] = words[2 * j] | (static_cast<std::uint64_t>(words[2 * j + 1]) << 32);
      }
    }
    for (SimdLevel level : usable_levels()) {
      std::vector<std::uint64_t> got(8 * kBlocks);
      stream_kernels::chacha20_draws(level, key.data(), first, kBlocks, got.data());
      EXPECT_EQ(got, expected) << "level " << static_cast<int>(level) << " first block " << first;
    }
  }
}

TEST(RotationStream, NextManyMatchesRepeatedNext) {
  const ChaChaKey key = expand_seed(5);
  KeystreamDraws reference(key);
  std::vector<std::uint64_t> expected(5000);
  for (auto& d : expected) d = reference.next();
  for (SimdLevel level : usable_levels()) {
    KeystreamDraws draws(key, level);
    std::vector<std::uint64_t> got;
    std::size_t chunk = 1;
    while (got.size() < expected.size()) {
      const std::size_t take = std::min(chunk, expected.size() - got.size());
      const std::size_t at = got.size();
      got.resize(at + take);
      if (chunk % 3 == 0) {
        got[at] = draws.next();
        draws.next_many(got.data() + at + 1, take - 1);
      } else {
        draws.next_many(got.data() + at, take);
      }
      chunk = chunk * 7 % 311 + 1;  // awkward sizes, crossing buffer and block edges
    }
    EXPECT_EQ(got, expected);
  }
}

// A scripted draw source, for streams no seed is known to produce.
struct ScriptedDraws {
  std::vector<std::uint64_t> script;
  std::size_t position = 0;
  std::uint64_t next() { return script.at(position++); }
  void next_many(std::uint64_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = next();
  }
};

TEST(RotationStream, PairWithZeroUniformIsDiscardedWhole) {
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> script(4096);
  for (auto& d : script) d = rng();
  script[0] = 0x7ff;  // top 53 bits zero: uniform exactly 0
  script[2 * 100] = 0;
  script[2 * 101] = 0x400;  // smallest non-zero uniform 2^-53
  GaussianSampler<ScriptedDraws> sampler{ScriptedDraws{script}};
  const auto second_pair = box_muller_pair(script[2], script[3]);
  EXPECT_EQ(bits(sampler.next()), bits(second_pair.first));
  EXPECT_EQ(bits(sampler.next()), bits(second_pair.second));
  EXPECT_EQ(sampler.next(), box_muller_pair(script[4], script[5]).first);

  // The batched fill must follow the same stream, including both discards.
  std::vector<double> expected(1500);
  GaussianSampler<ScriptedDraws> reference{ScriptedDraws{script}, SimdLevel::scalar};
  for (auto& e : expected) e = reference.next();
  for (SimdLevel level : usable_levels()) {
    GaussianSampler<ScriptedDraws> batched{ScriptedDraws{script}, level};
    std::vector<double> got(expected.size());
    batched.fill(got.data(), 1);
    batched.fill(got.data() + 1, got.size() - 1);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bits(got[i]), bits(expected[i])) << i;
  }
}

// Draws whose second uniform puts the angle next to every threshold of the
// reduction, plus random ones, in SIMD batches against the scalar pair.
TEST(RotationStream, SimdBoxMullerEqualsScalarOnEveryReductionPath) {
  std::vector<std::uint64_t> draws;
  std::mt19937_64 rng(11);
  const std::uint64_t thresholds[] = {0,          0x3e46a09e, 0x3e500000, 0x3fe921fb, 0x4002d97c,
                                      0x400f6a7a, 0x4012d97c, 0x4015fdbc, 0x401921fb, 0x3ff921fb,
                                      0x400921fb, 0x3ff00000, 0x3e400000};
  for (std::uint64_t high : thresholds) {
    for (std::int64_t delta : {-1, 0, 1}) {
      if (high == 0 && delta < 0) continue;
      for (std::uint64_t low : {std::uint64_t{0}, std::uint64_t{0xffffffff}, std::uint64_t{0x54442d18}}) {
        const double theta = std::bit_cast<double>(((high + static_cast<std::uint64_t>(delta)) << 32) | low);
        // The draw whose uniform is nearest theta / 2pi (exactly reproducing the
        // angle is not needed: neighbours of the threshold are what matters).
        const double u = theta / kTwoPi;
        const auto scaled = static_cast<std::uint64_t>(u * 0x1p53);
        for (std::uint64_t nudge = 0; nudge < 3; ++nudge) {
          draws.push_back(rng() | 0x800);
          draws.push_back(((scaled + nudge - 1) & ((1ULL << 53) - 1)) << 11);
        }
      }
    }
  }
  while (draws.size() % 16 != 0 || draws.size() < 4096) draws.push_back(rng() | 0x800);
  const std::size_t pairs = draws.size() / 2;
  std::vector<double> expected(2 * pairs);
  box_muller_pairs(SimdLevel::scalar, draws.data(), pairs, expected.data());
  for (std::size_t p = 0; p < pairs; ++p) {
    const auto pair = box_muller_pair(draws[2 * p], draws[2 * p + 1]);
    ASSERT_EQ(bits(expected[2 * p]), bits(pair.first));
    ASSERT_EQ(bits(expected[2 * p + 1]), bits(pair.second));
  }
  for (SimdLevel level : usable_levels()) {
    std::vector<double> got(2 * pairs);
    box_muller_pairs(level, draws.data(), pairs, got.data());
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(bits(got[i]), bits(expected[i])) << "level " << static_cast<int>(level) << " sample " << i;
    }
  }
}

TEST(RotationStream, OddCountStopsAfterTheCosineHalf) {
  std::vector<double> nine(9);
  std::vector<double> ten(10);
  gaussian_samples(42, nine.data(), nine.size());
  gaussian_samples(42, ten.data(), ten.size());
  for (int i = 0; i < 9; ++i) EXPECT_EQ(bits(nine[i]), bits(ten[i]));
}

}  // namespace
}  // namespace marrowfin::codec
