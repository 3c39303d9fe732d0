#include "core/codec/total_order.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace marrowfin::codec {
namespace {

// Three passes of 11, 11 and 10 bits cover a 32-bit key. 2048 buckets keep
// the scatter targets few enough for the write-combining buffers and the
// counts in L1, while needing one pass fewer than bytewise digits.
constexpr int kDigitBits = 11;
constexpr int kPasses = 3;

constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

inline std::uint32_t digit(std::uint32_t key, int pass) noexcept {
  return (key >> (pass * kDigitBits)) & (kBuckets - 1);
}

}  // namespace

std::optional<std::span<const std::uint32_t>> radix_sort_keys(std::span<std::uint32_t> keys,
                                                              std::span<std::uint32_t> scratch,
                                                              const StopToken& stop) {
  if (scratch.size() < keys.size()) throw std::logic_error("radix_sort_keys: scratch too small");
  const std::size_t n = keys.size();
  if (n < 2) return keys;

  // One read of the input counts the digits of every pass at once.
  std::vector<std::array<std::size_t, kBuckets>> counts(kPasses);
  for (auto& c : counts) c.fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kKeysPerStopCheck == 0 && stop.stop_requested()) return std::nullopt;
    const std::uint32_t key = keys[i];
    for (int pass = 0; pass < kPasses; ++pass) ++counts[pass][digit(key, pass)];
  }

  std::uint32_t* source = keys.data();
  std::uint32_t* target = scratch.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    auto& count = counts[pass];
    // Every key shares this digit: the pass would only copy.
    if (std::any_of(count.begin(), count.end(), [n](std::size_t c) { return c == n; })) continue;
    std::size_t offset = 0;
    for (auto& c : count) {
      const std::size_t bucket_size = c;
      c = offset;
      offset += bucket_size;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (i % kKeysPerStopCheck == 0 && stop.stop_requested()) return std::nullopt;
      const std::uint32_t key = source[i];
      target[count[digit(key, pass)]++] = key;
    }
    std::swap(source, target);
  }
  return std::span<const std::uint32_t>(source, n);
}

}  // namespace marrowfin::codec
