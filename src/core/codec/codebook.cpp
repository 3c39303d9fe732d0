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
  explicit SortedSample(std::span<const float> values)
      : keys_(std::make_unique_for_overwrite<std::uint32_t[]>(values.size())),
        scratch_(std::make_unique_for_overwrite<std::uint32_t[]>(values.size())) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      keys_[i] = total_order_unsigned_key(quieted(values[i]));
    }
    sorted_ = radix_sort_keys({keys_.get(), values.size()}, {scratch_.get(), values.size()});
  }

  double at(std::size_t k) const noexcept {
    return static_cast<double>(from_total_order_unsigned_key(sorted_[k]));
  }

 private:
  std::unique_ptr<std::uint32_t[]> keys_;
  std::unique_ptr<std::uint32_t[]> scratch_;
  std::span<const std::uint32_t> sorted_;
};

}  // namespace

Result<Codebook, CodecError> Codebook::create(std::vector<float> entries, std::uint8_t bit_width) {
  if (bit_width >= 32) return fail(CodecError::unsupported_bit_width(bit_width));
  const std::uint64_t expected = std::uint64_t{1} << bit_width;
  if (entries.size() != expected) {
    const auto got = static_cast<std::uint32_t>(std::min<std::uint64_t>(entries.size(), kMaxU32));
    return fail(CodecError::codebook_entry_count(bit_width, static_cast<std::uint32_t>(expected), got));
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

Result<Codebook, CodecError> Codebook::train(std::span<const float> values, const CodecConfig& config) {
  const std::uint32_t level_count = config.num_codebook_entries();
  const std::size_t n = values.size();
  if (n == 0) return fail(CodecError::insufficient_training_data(level_count));

  const SortedSample sorted(values);
  // Linear-interpolation quantiles at probabilities i / (K - 1), every
  // operation rounded on its own in binary64.
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

  std::sort(levels.begin(), levels.end(),
            [](float a, float b) { return total_order_less(a, b); });
  std::uint32_t distinct = 1;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (total_order_less(levels[i - 1], levels[i])) ++distinct;
  }
  if (distinct < level_count) return fail(CodecError::insufficient_training_data(level_count));

  auto codebook = create(std::move(levels), config.bit_width());
  if (!codebook.ok()) throw std::logic_error("trained levels failed codebook validation");
  return std::move(codebook).value();
}

}  // namespace marrowfin::codec
