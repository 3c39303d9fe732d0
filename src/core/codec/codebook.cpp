#include "core/codec/codebook.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "core/codec/total_order.hpp"

namespace marrowfin::codec {
namespace {

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

// Widening float32 to binary64 keeps every value except a signalling NaN,
// which the conversion quiets (sets the top mantissa bit). Applying the same
// quieting in float32 first makes widening an exact, strictly order-preserving
// map, so sorting the quieted float32 values orders them exactly as the
// widened binary64 values would be ordered, at half the key width.
inline float quieted(float value) noexcept {
  auto bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7fffffffu) > 0x7f800000u) bits |= 0x00400000u;
  return std::bit_cast<float>(bits);
}

// The training values widened to binary64 and sorted under total order:
// the k-th value is at(k).
class SortedSample {
 public:
  // A raised `stop` leaves the sample unsorted: check stopped() first.
  SortedSample(std::span<const float> values, const StopToken& stop)
      : keys_(std::make_unique_for_overwrite<std::uint32_t[]>(values.size())),
        scratch_(std::make_unique_for_overwrite<std::uint32_t[]>(values.size())) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i % kKeysPerStopCheck == 0 && stop.stop_requested()) return;
      keys_[i] = total_order_unsigned_key(quieted(values[i]));
    }
    const auto sorted =
        radix_sort_keys({keys_.get(), values.size()}, {scratch_.get(), values.size()}, stop);
    if (!sorted) return;
    sorted_ = *sorted;
    complete_ = true;
  }

  bool stopped() const noexcept { return !complete_; }

  double at(std::size_t k) const noexcept {
    return static_cast<double>(from_total_order_unsigned_key(sorted_[k]));
  }

 private:
  std::unique_ptr<std::uint32_t[]> keys_;
  std::unique_ptr<std::uint32_t[]> scratch_;
  std::span<const std::uint32_t> sorted_;
  bool complete_ = false;
};

}  // namespace

Result<Codebook, CodecError> Codebook::create(std::vector<float> entries, std::uint8_t bit_width) {
  if (bit_width >= 32) return fail(CodecError::unsupported_bit_width(bit_width));
  const std::uint64_t expected = std::uint64_t{1} << bit_width;
  if (entries.size() != expected) {
    const auto got = static_cast<std::uint32_t>(std::min<std::uint64_t>(entries.size(), kMaxU32));
    return fail(
        CodecError::codebook_entry_count(bit_width, static_cast<std::uint32_t>(expected), got));
  }
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const std::int32_t previous = total_order_key(entries[i - 1]);
    const std::int32_t current = total_order_key(entries[i]);
    if (previous == current) {
      return fail(CodecError::codebook_duplicate_entries(static_cast<std::uint32_t>(expected),
                                                         static_cast<std::uint32_t>(i)));
    }
    if (previous > current) return fail(CodecError::codebook_not_sorted());
  }
  return Codebook(share_floats(std::move(entries)), bit_width);
}

namespace {

// Linear-interpolation quantiles at probabilities i / (K - 1), every
// operation rounded on its own in binary64, sorted under total order; or
// InsufficientTrainingData when fewer than K of them are distinct.
Result<std::vector<float>, CodecError> quantile_levels(const SortedSample& sorted, std::size_t n,
                                                       std::uint32_t level_count) {
  const double last_level = static_cast<double>(level_count - 1);
  const double last_sample = static_cast<double>(n - 1);
  std::vector<float> levels(level_count);
  for (std::uint32_t i = 0; i < level_count; ++i) {
    const double probability = level_count > 1 ? static_cast<double>(i) / last_level : 0.0;
    const double position = probability * last_sample;
    const double floor_position = std::floor(position);
    const auto lo = static_cast<std::size_t>(floor_position);
    const std::size_t hi = std::min(lo + 1, n - 1);
    const double low = sorted.at(lo);
    const double level = low + (position - floor_position) * (sorted.at(hi) - low);
    levels[i] = static_cast<float>(level);
  }

  std::sort(levels.begin(), levels.end(), [](float a, float b) { return total_order_less(a, b); });
  std::uint32_t distinct = 1;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (total_order_less(levels[i - 1], levels[i])) ++distinct;
  }
  if (distinct < level_count) return fail(CodecError::insufficient_training_data(level_count));
  return levels;
}

bool strictly_ascending(std::span<const float> levels) noexcept {
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (!total_order_less(levels[i - 1], levels[i])) return false;
  }
  return true;
}

// Lloyd-Max refinement of the starting levels over the n finite sample
// values. Each iteration:
//   1. cell boundaries at the midpoints of adjacent levels, in binary64; a
//      value exactly on a midpoint belongs to the upper cell, as quantize
//      sends ties to the upper level;
//   2. each cell found by binary search over the sorted values, its sum as a
//      difference of binary64 prefix sums accumulated once in ascending
//      order, so the result depends on nothing but the values;
//   3. each level moved to its cell's mean rounded to float32 (an empty cell
//      keeps its level).
// O(N) once, then O(K log N) per iteration. Stops early when the levels no
// longer change, and keeps the previous levels should rounding ever make two
// of them equal.
void refine_levels(const SortedSample& sorted, std::size_t count, std::vector<float>& levels,
                   std::uint32_t iterations) {
  std::vector<double> values(count);
  std::vector<double> prefix(count + 1);
  prefix[0] = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = sorted.at(i);
    prefix[i + 1] = prefix[i] + values[i];
  }
  const std::size_t k = levels.size();
  std::vector<std::size_t> bounds(k + 1);
  std::vector<float> next(k);
  for (std::uint32_t iteration = 0; iteration < iterations; ++iteration) {
    bounds[0] = 0;
    bounds[k] = count;
    for (std::size_t i = 1; i < k; ++i) {
      const double midpoint =
          (static_cast<double>(levels[i - 1]) + static_cast<double>(levels[i])) / 2.0;
      bounds[i] = static_cast<std::size_t>(
          std::lower_bound(values.begin(), values.end(), midpoint) - values.begin());
    }
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t cell = bounds[i + 1] - bounds[i];
      next[i] = cell == 0 ? levels[i]
                          : static_cast<float>((prefix[bounds[i + 1]] - prefix[bounds[i]]) /
                                               static_cast<double>(cell));
    }
    if (!strictly_ascending(next) || next == levels) return;
    levels.swap(next);
  }
}

}  // namespace

Result<Codebook, CodecError> Codebook::train(std::span<const float> values,
                                             const CodecConfig& config, const StopToken& stop) {
  const std::uint32_t level_count = config.num_codebook_entries();
  const std::size_t n = values.size();
  if (n == 0) return fail(CodecError::insufficient_training_data(level_count));

  const SortedSample sorted(values, stop);
  if (sorted.stopped()) return fail(CodecError::interrupted());
  auto levels = quantile_levels(sorted, n, level_count);
  if (!levels.ok()) return fail(std::move(levels).error());
  auto codebook = create(std::move(levels).value(), config.bit_width());
  if (!codebook.ok()) throw std::logic_error("trained levels failed codebook validation");
  return std::move(codebook).value();
}

Result<Codebook, CodecError> Codebook::train_lloyd_max(std::span<const float> values,
                                                       const CodecConfig& config,
                                                       std::uint32_t iterations,
                                                       const StopToken& stop) {
  const std::uint32_t level_count = config.num_codebook_entries();
  const std::size_t n = values.size();
  if (n == 0) return fail(CodecError::insufficient_training_data(level_count));

  const SortedSample sorted(values, stop);
  if (sorted.stopped()) return fail(CodecError::interrupted());
  auto quantiles = quantile_levels(sorted, n, level_count);
  if (!quantiles.ok()) return fail(std::move(quantiles).error());
  std::vector<float> levels = std::move(quantiles).value();
  // The end levels are the smallest and largest values (NaNs sort to the
  // ends), so they are finite exactly when every value is.
  if (std::isfinite(levels.front()) && std::isfinite(levels.back())) {
    refine_levels(sorted, n, levels, iterations);
  }
  auto codebook = create(std::move(levels), config.bit_width());
  if (!codebook.ok()) throw std::logic_error("trained levels failed codebook validation");
  return std::move(codebook).value();
}

}  // namespace marrowfin::codec
