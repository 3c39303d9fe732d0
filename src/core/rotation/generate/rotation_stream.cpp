#include "core/rotation/generate/rotation_stream.hpp"

#include <algorithm>

#include "core/rotation/generate/rotation_stream_kernels.hpp"

namespace marrowfin::rotation {

ChaChaKey expand_seed(std::uint64_t seed) noexcept {
  constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;  // 0x5851f42d4c957f2d
  constexpr std::uint64_t kIncrement = 11634580027462260723ULL;  // 0xa17654e46fbe17f3
  ChaChaKey key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rotation = static_cast<unsigned>(state >> 59);
    word = (xorshifted >> rotation) | (xorshifted << ((32 - rotation) & 31));
  }
  return key;
}

void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint32_t out[16]) noexcept {
  stream_kernels::chacha20_blocks_scalar(key.data(), counter, 1, out);
}

KeystreamDraws::KeystreamDraws(const ChaChaKey& key, simd::Level level) noexcept
    : key_(key), kernels_(&stream_kernels::select(simd::usable(level))) {}

void KeystreamDraws::refill() noexcept {
  kernels_->chacha20_draws(key_.data(), next_block_, kBufferedBlocks, buffer_);
  next_block_ += kBufferedBlocks;
  position_ = 0;
}

void KeystreamDraws::next_many(std::uint64_t* out, std::size_t count) noexcept {
  // Drain the buffer, then write whole blocks straight into `out`, then
  // buffer the partial tail so the stream position stays exact.
  std::size_t done = std::min(count, kBufferedDraws - position_);
  std::copy_n(buffer_ + position_, done, out);
  position_ += done;
  const std::size_t direct_blocks = (count - done) / 8;
  if (direct_blocks > 0) {
    kernels_->chacha20_draws(key_.data(), next_block_, direct_blocks, out + done);
    next_block_ += direct_blocks;
    done += direct_blocks * 8;
  }
  while (done < count) out[done++] = next();
}

void box_muller_pairs(simd::Level level, const std::uint64_t* draws, std::size_t pairs,
                      double* out) {
  stream_kernels::select(simd::usable(level)).box_muller_pairs(draws, pairs, out);
}

void gaussian_samples(std::uint64_t seed, double* out, std::size_t count, simd::Level level) {
  GaussianSampler<KeystreamDraws> sampler(KeystreamDraws(expand_seed(seed), level), level);
  sampler.fill(out, count);
}

}  // namespace marrowfin::rotation
