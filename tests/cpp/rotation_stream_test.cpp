#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/rotation/generate/rotation_stream.hpp"
#include "core/rotation/generate/rotation_stream_kernels.hpp"
#include "test_support.hpp"

namespace marrowfin::rotation {
namespace {

using test::bits;
using test::usable_levels;

// Per seed: "seed N", then the eight key words of its expansion, the first
// eight 64-bit keystream draws and the first sixteen Gaussian samples (hex).
TEST(RotationStream, KnownAnswersForSixSeeds) {
  std::vector<std::map<std::string, std::vector<std::uint64_t>>> seeds;
  for (const auto& line : test::data_lines("rotation_stream.txt")) {
    std::istringstream fields(line);
    std::string tag;
    fields >> tag;
    if (tag == "seed") seeds.emplace_back();
    if (tag != "seed") fields >> std::hex;
    for (std::uint64_t v = 0; fields >> v;) seeds.back()[tag].push_back(v);
  }
  ASSERT_EQ(seeds.size(), 6u);
  for (auto& v : seeds) {
    const std::uint64_t seed = v["seed"].at(0);
    SCOPED_TRACE(seed);
    ASSERT_EQ(v["key_words"].size() + v["draws"].size() + v["gaussians"].size(), 32u);
    const ChaChaKey key = expand_seed(seed);
    EXPECT_EQ(std::vector<std::uint64_t>(key.begin(), key.end()), v["key_words"]);
    KeystreamDraws stream(key);
    for (auto expected : v["draws"]) EXPECT_EQ(stream.next(), expected);
    GaussianSampler<KeystreamDraws> one_by_one{KeystreamDraws(key)};
    for (auto expected : v["gaussians"]) EXPECT_EQ(bits(one_by_one.next()), expected);
    for (simd::Level level : usable_levels()) {
      // 16 samples fill no SIMD batch; 300 do, and must begin the same way.
      std::vector<double> samples(300);
      gaussian_samples(seed, samples.data(), samples.size(), level);
      for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(bits(samples[i]), v["gaussians"][i]) << int(level);
    }
  }
}

TEST(RotationStream, ZeroKeyBlocksMatchTheOriginalChaCha20) {
  // Key 0, nonce 0: the classic test vector of the 64-bit-counter variant.
  const std::vector<std::uint32_t> expected[2] = {
      {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0, 0xccef36a8,
       0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8, 0xf4b8436a, 0x1ca11815,
       0x69b687c3, 0x8665eeb2},
      {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73, 0xa0290fcb, 0x6965e348, 0x3e53c612,
       0xed7aee32, 0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874, 0x281fed31, 0x45fb0a51,
       0x1f0ae1ac, 0x6f4d794b}};
  for (std::uint64_t counter : {0u, 1u}) {
    std::vector<std::uint32_t> block(16);
    chacha20_block(ChaChaKey{}, counter, block.data());
    EXPECT_EQ(block, expected[counter]);
  }
}

TEST(RotationStream, BulkKeystreamEqualsSingleBlocksAtEveryWidth) {
  const ChaChaKey key = expand_seed(99);
  // Includes the carry of the block counter into its high word.
  for (std::uint64_t first :
       {std::uint64_t{0}, std::uint64_t{0xfffffff5}, std::uint64_t{0xfffffffffffffff0}}) {
    constexpr std::size_t kBlocks = 37;
    std::vector<std::uint64_t> expected(8 * kBlocks);
    for (std::size_t b = 0; b < kBlocks; ++b) {
      std::uint32_t words[16];
      chacha20_block(key, first + b, words);
      for (int j = 0; j < 8; ++j)
        expected[8 * b + j] = words[2 * j] | (std::uint64_t{words[2 * j + 1]} << 32);
    }
    for (simd::Level level : usable_levels()) {
      std::vector<std::uint64_t> got(8 * kBlocks);
      stream_kernels::select(level).chacha20_draws(key.data(), first, kBlocks, got.data());
      EXPECT_EQ(got, expected) << "level " << int(level) << " first block " << first;
    }
  }
  // Buffered draws taken in awkward chunk sizes, across buffer and block edges.
  KeystreamDraws reference(key);
  std::vector<std::uint64_t> draws(5000);
  for (auto& d : draws) d = reference.next();
  for (simd::Level level : usable_levels()) {
    KeystreamDraws stream(key, level);
    std::vector<std::uint64_t> got;
    for (std::size_t chunk = 1; got.size() < draws.size(); chunk = chunk * 7 % 311 + 1) {
      const std::size_t at = got.size(), take = std::min(chunk, draws.size() - at);
      got.resize(at + take);
      if (chunk % 3 == 0) got[at] = stream.next();
      stream.next_many(got.data() + at + (chunk % 3 == 0), take - (chunk % 3 == 0));
    }
    EXPECT_EQ(got, draws) << int(level);
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
  EXPECT_EQ(bits(sampler.next()), bits(box_muller_pair(script[4], script[5]).first));
  // The batched fill follows the same stream, including both discards.
  std::vector<std::uint64_t> expected(1500);
  GaussianSampler<ScriptedDraws> reference{ScriptedDraws{script}, simd::Level::Scalar};
  for (auto& e : expected) e = bits(reference.next());
  for (simd::Level level : usable_levels()) {
    GaussianSampler<ScriptedDraws> batched{ScriptedDraws{script}, level};
    std::vector<double> got(expected.size());
    batched.fill(got.data(), 1);
    batched.fill(got.data() + 1, got.size() - 1);
    std::vector<std::uint64_t> got_bits;
    for (double g : got) got_bits.push_back(bits(g));
    EXPECT_EQ(got_bits, expected) << int(level);
  }
  // An odd count stops after the cosine half of the last pair.
  std::vector<double> nine(9), ten(10);
  gaussian_samples(42, nine.data(), nine.size());
  gaussian_samples(42, ten.data(), ten.size());
  for (int i = 0; i < 9; ++i) EXPECT_EQ(bits(nine[i]), bits(ten[i]));
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
      for (std::uint64_t low :
           {std::uint64_t{0}, std::uint64_t{0xffffffff}, std::uint64_t{0x54442d18}}) {
        // The draw whose uniform is nearest theta / 2pi, and its neighbours:
        // neighbours of the threshold are what matters, not the exact angle.
        const double theta =
            std::bit_cast<double>(((high + static_cast<std::uint64_t>(delta)) << 32) | low);
        const auto scaled = static_cast<std::uint64_t>(theta / kTwoPi * 0x1p53);
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
  for (std::size_t p = 0; p < pairs; ++p) {
    const auto pair = box_muller_pair(draws[2 * p], draws[2 * p + 1]);
    expected[2 * p] = pair.first, expected[2 * p + 1] = pair.second;
  }
  for (simd::Level level : usable_levels()) {
    std::vector<double> got(2 * pairs);
    box_muller_pairs(level, draws.data(), pairs, got.data());
    for (std::size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(bits(got[i]), bits(expected[i])) << int(level) << " " << i;
  }
}

}  // namespace
}  // namespace marrowfin::rotation
