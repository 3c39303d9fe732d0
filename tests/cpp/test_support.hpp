// Helpers shared by the core tests: bit patterns for exact comparisons, small
// random inputs, the known-answer files and the SIMD levels this CPU runs.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::test {

inline std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Compared as vectors, so a failure prints both patterns.
inline std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> out;
  for (float v : values) out.push_back(bits(v));
  return out;
}

inline std::vector<float> gaussian_floats(std::size_t n, std::uint32_t seed, float sigma = 1.0f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, sigma);
  std::vector<float> v(n);
  for (auto& x : v) x = normal(rng);
  return v;
}

inline codec::CodecConfig make_config(std::uint8_t bit_width, std::uint32_t dimension,
                                      bool residual = false, std::uint64_t seed = 42) {
  return codec::CodecConfig::create(bit_width, seed, dimension, residual).value();
}

// 2^bit_width evenly spaced levels from low to high.
inline codec::Codebook even_codebook(std::uint8_t bit_width, float low = -1.0f, float high = 1.0f) {
  const std::uint32_t k = 1u << bit_width;
  std::vector<float> levels(k);
  for (std::uint32_t i = 0; i < k; ++i)
    levels[i] = low + (high - low) * static_cast<float>(i) / static_cast<float>(k - 1);
  return codec::Codebook::create(std::move(levels), bit_width).value();
}

// The lines of a file in the test data directory, without blank and '#' lines.
inline std::vector<std::string> data_lines(const std::string& name) {
  std::ifstream in(std::string(MARROWFIN_TEST_DATA_DIR) + "/" + name);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// The SIMD levels every kernel family is compared across: all this CPU runs.
inline std::vector<simd::Level> usable_levels() {
  const auto supported = simd::supported_levels();
  return {supported.begin(), supported.end()};
}

// The names in MARROWFIN_REQUIRED_SIMD_LEVELS (comma-separated, e.g.
// "avx2,avx512"): levels CI expects this machine to run, so that a test
// skipping one of them fails instead (simd_level_test.cpp checks them all).
inline std::vector<std::string> required_level_names() {
  std::vector<std::string> names;
  const char* value = std::getenv("MARROWFIN_REQUIRED_SIMD_LEVELS");
  if (value == nullptr) return names;
  std::string_view rest(value);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    if (!item.empty()) names.emplace_back(item);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return names;
}

inline bool level_required(simd::Level level) {
  for (const std::string& name : required_level_names()) {
    if (name == simd::name(level)) return true;
  }
  return false;
}

}  // namespace marrowfin::test

// Skips the current test when this CPU does not run `level`, or fails it when
// MARROWFIN_REQUIRED_SIMD_LEVELS names that level.
#define MARROWFIN_SKIP_UNLESS_SUPPORTED(level)                                            \
  do {                                                                                    \
    if (!::marrowfin::simd::supported(level)) {                                           \
      if (::marrowfin::test::level_required(level)) {                                     \
        FAIL() << ::marrowfin::simd::name(level) << " is required but this CPU lacks it"; \
      }                                                                                   \
      GTEST_SKIP() << ::marrowfin::simd::name(level) << " is not supported by this CPU";  \
    }                                                                                     \
  } while (false)

namespace marrowfin::test {}  // namespace marrowfin::test
