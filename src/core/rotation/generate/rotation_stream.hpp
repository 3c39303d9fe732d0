// The sample stream behind rotation generation: a 64-bit seed expanded into a
// ChaCha20 key, the keystream read as 64-bit draws, and Box-Muller Gaussian
// samples computed with the portable logarithm, sine and cosine. The stream
// is fixed bit for bit by the seed.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/rotation/generate/portable_math.hpp"
#include "core/rotation/generate/rotation_stream_kernels.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::rotation {

using ChaChaKey = std::array<std::uint32_t, 8>;

// The eight key words: the PCG32 output function applied to a state that
// starts at `seed` and takes one LCG step before each word.
[[nodiscard]] ChaChaKey expand_seed(std::uint64_t seed) noexcept;

// ChaCha20 (20 rounds) with a 64-bit block counter in words 12-13 and a 64-bit
// stream number, always 0, in words 14-15. Writes the 16 words of block
// `counter` to `out`.
void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint32_t out[16]) noexcept;

// The keystream as 64-bit draws: draw k is word 2k + 2^32 * word 2k+1,
// running across block boundaries without skipping a word.
class KeystreamDraws {
 public:
  explicit KeystreamDraws(const ChaChaKey& key, simd::Level level = simd::best_level()) noexcept;

  std::uint64_t next() noexcept {
    if (position_ == kBufferedDraws) refill();
    return buffer_[position_++];
  }
  // Exactly `count` calls of next(), written to out[0..count).
  void next_many(std::uint64_t* out, std::size_t count) noexcept;

 private:
  static constexpr std::size_t kBufferedBlocks = 16;
  static constexpr std::size_t kBufferedDraws = kBufferedBlocks * 8;

  void refill() noexcept;

  ChaChaKey key_;
  const stream_kernels::Kernels* kernels_;
  std::uint64_t next_block_ = 0;
  std::size_t position_ = kBufferedDraws;
  std::uint64_t buffer_[kBufferedDraws];
};

// A multiple of 2^-53 in [0, 1): the top 53 bits of the draw, scaled exactly.
inline double uniform_from_draw(std::uint64_t draw) noexcept {
  return static_cast<double>(draw >> 11) * 0x1p-53;
}

// 2*pi rounded to binary64 (0x401921fb54442d18).
inline constexpr double kTwoPi = 6.283185307179586;

// One Box-Muller pair from two draws whose first uniform is non-zero:
// {r cos(theta), r sin(theta)} with r = sqrt(ln(u1) * -2), theta = u2 * 2pi.
inline std::pair<double, double> box_muller_pair(std::uint64_t first, std::uint64_t second) {
  const double r = std::sqrt(portable::log(uniform_from_draw(first)) * -2.0);
  const double theta = uniform_from_draw(second) * kTwoPi;
  return {r * portable::cos(theta), r * portable::sin(theta)};
}

// Writes 2 * pairs samples: the pair from draws[2p], draws[2p+1] goes to
// out[2p] (cosine half) and out[2p+1] (sine half). Precondition: no first
// draw of a pair has a zero uniform (draws[2p] >> 11 != 0).
void box_muller_pairs(simd::Level level, const std::uint64_t* draws, std::size_t pairs,
                      double* out);

// Gaussian samples in stream order. Pairs whose first uniform is 0 are
// discarded whole; the sine half of a pair is held over for the next request.
// DrawSource needs `std::uint64_t next()` and
// `void next_many(std::uint64_t*, std::size_t)` (same draws as repeated next()).
template <class DrawSource>
class GaussianSampler {
 public:
  explicit GaussianSampler(DrawSource source, simd::Level level = simd::best_level())
      : source_(std::move(source)), kernels_(&stream_kernels::select(simd::usable(level))) {}

  double next() {
    if (has_held_) {
      has_held_ = false;
      return held_;
    }
    for (;;) {
      const std::uint64_t first = source_.next();
      const std::uint64_t second = source_.next();
      if ((first >> 11) == 0) continue;
      const auto [cosine_half, sine_half] = box_muller_pair(first, second);
      held_ = sine_half;
      has_held_ = true;
      return cosine_half;
    }
  }

  // Exactly `count` calls of next(), written to out[0..count), with the pairs
  // computed in SIMD batches where the stream allows.
  void fill(double* out, std::size_t count) {
    std::size_t done = 0;
    if (count > 0 && has_held_) out[done++] = next();
    std::uint64_t draws[2 * kBatchPairs];
    while (count - done >= 2 * kBatchPairs) {
      source_.next_many(draws, 2 * kBatchPairs);
      if (batch_has_zero_uniform(draws)) {
        // Astronomically rare: replay the batch pair by pair with discards.
        // Discards only shorten the output, so it still fits.
        for (std::size_t p = 0; p < kBatchPairs; ++p) {
          if ((draws[2 * p] >> 11) == 0) continue;
          const auto [cosine_half, sine_half] = box_muller_pair(draws[2 * p], draws[2 * p + 1]);
          out[done++] = cosine_half;
          out[done++] = sine_half;
        }
      } else {
        kernels_->box_muller_pairs(draws, kBatchPairs, out + done);
        done += 2 * kBatchPairs;
      }
    }
    while (done < count) out[done++] = next();
  }

 private:
  static constexpr std::size_t kBatchPairs = 64;

  static bool batch_has_zero_uniform(const std::uint64_t* draws) {
    bool zero = false;
    for (std::size_t p = 0; p < kBatchPairs; ++p) zero |= (draws[2 * p] >> 11) == 0;
    return zero;
  }

  DrawSource source_;
  const stream_kernels::Kernels* kernels_;
  bool has_held_ = false;
  double held_ = 0.0;
};

// The first `count` Gaussian samples of the stream for `seed`.
void gaussian_samples(std::uint64_t seed, double* out, std::size_t count,
                      simd::Level level = simd::best_level());

}  // namespace marrowfin::rotation
