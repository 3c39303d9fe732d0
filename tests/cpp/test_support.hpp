// Helpers shared by the core tests: bit patterns for exact comparisons, small
// random inputs, the known-answer files and the SIMD levels this CPU runs.
#pragma once

#include <bit>
#include <cstdint>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/rotation_simd.hpp"

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

inline codec::CodecConfig make_config(std::uint8_t bit_width, std::uint32_t dimension, bool residual = false,
                                      std::uint64_t seed = 42) {
  return codec::CodecConfig::create(bit_width, seed, dimension, residual).value();
}

// 2^bit_width evenly spaced levels from low to high.
inline codec::Codebook even_codebook(std::uint8_t bit_width, float low = -1.0f, float high = 1.0f) {
  const std::uint32_t k = 1u << bit_width;
  std::vector<float> levels(k);
  for (std::uint32_t i = 0; i < k; ++i) levels[i] = low + (high - low) * static_cast<float>(i) / static_cast<float>(k - 1);
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

inline std::vector<codec::SimdLevel> usable_levels() {
  std::vector<codec::SimdLevel> levels;
  for (auto level : {codec::SimdLevel::scalar, codec::SimdLevel::avx2, codec::SimdLevel::avx512}) {
    if (codec::usable_simd_level(level) == level) levels.push_back(level);
  }
  return levels;
}

}  // namespace marrowfin::test
