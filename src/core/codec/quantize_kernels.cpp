#include "core/codec/quantize_kernels.hpp"

#include <algorithm>
#include <cmath>

#include "core/codec/binary16.hpp"

namespace marrowfin::codec {
namespace {

// Given the scan's stopping point j, chooses between the two neighbouring levels.
// A tie, or a comparison with NaN, keeps the upper level.
inline std::uint32_t pick_neighbour(const float* levels, std::uint32_t count, std::uint32_t j,
                                    float value) noexcept {
  const std::uint32_t hi = j < count - 1 ? j : count - 1;
  const std::uint32_t lo = hi > 0 ? hi - 1 : 0;
  const float d_lo = std::fabs(value - levels[lo]);
  const float d_hi = std::fabs(value - levels[hi]);
  return d_lo < d_hi ? lo : hi;
}

// Where the linear scan stops, found by halving. Valid because the levels are
// ascending under total order: any -NaN can only sit at the bottom, every
// +NaN at the top, and in between the values never decrease numerically (the
// one non-strict step, -0.0 then +0.0, compares equal). So with a non-NaN
// lowest level, "value > level" holds for a prefix of the table and the scan
// stops at that prefix's length. A NaN lowest level stops the scan at 0.
inline std::uint32_t scan_stop(const float* levels, std::uint32_t count, float value) noexcept {
  if (std::isnan(levels[0])) return 0;
  const float* base = levels;
  std::uint32_t len = count;
  while (len > 1) {
    const std::uint32_t half = len / 2;
    base = value > base[half - 1] ? base + half : base;
    len -= half;
  }
  return static_cast<std::uint32_t>(base - levels) + (value > *base ? 1u : 0u);
}

// Coordinates handled per pass of the counting kernel; small enough that the
// counts stay in L1 next to the values.
constexpr std::size_t kCountBlock = 256;

// For small tables, the scan's stopping point equals the number of levels below
// the value (same prefix argument as scan_stop); counting one level at a time
// across many values vectorises with plain compares.
void count_levels_below(const float* levels, std::uint32_t count, const float* values,
                        std::size_t n, std::uint32_t* stops) noexcept {
  for (std::size_t c = 0; c < n; ++c) stops[c] = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    const float level = levels[k];
    for (std::size_t c = 0; c < n; ++c) stops[c] += values[c] > level ? 1u : 0u;
  }
}

// Counting costs K compares per value, halving log2(K) dependent steps; the
// vectorised count wins for small tables only.
constexpr std::uint32_t kMaxCountedLevels = 32;

}  // namespace

std::uint32_t nearest_level_scan(std::span<const float> levels, float value) noexcept {
  const auto count = static_cast<std::uint32_t>(levels.size());
  std::uint32_t j = 0;
  while (j < count && value > levels[j]) ++j;
  return pick_neighbour(levels.data(), count, j, value);
}

std::uint32_t nearest_level(std::span<const float> levels, float value) noexcept {
  const auto count = static_cast<std::uint32_t>(levels.size());
  return pick_neighbour(levels.data(), count, scan_stop(levels.data(), count, value), value);
}

namespace quantize_kernels {
namespace {

void quantize_values_portable(std::span<const float> levels, std::span<const float> values,
                              std::uint8_t* indices, std::uint8_t* residual_le) noexcept {
  const float* e = levels.data();
  const auto count = static_cast<std::uint32_t>(levels.size());
  const bool counted = count <= kMaxCountedLevels && !std::isnan(e[0]);
  std::uint32_t stops[kCountBlock];

  for (std::size_t start = 0; start < values.size(); start += kCountBlock) {
    const std::size_t n = std::min(kCountBlock, values.size() - start);
    const float* v = values.data() + start;
    if (counted) {
      count_levels_below(e, count, v, n, stops);
    } else {
      for (std::size_t c = 0; c < n; ++c) stops[c] = scan_stop(e, count, v[c]);
    }
    for (std::size_t c = 0; c < n; ++c) {
      const std::uint32_t index = pick_neighbour(e, count, stops[c], v[c]);
      indices[start + c] = static_cast<std::uint8_t>(index);
      if (residual_le != nullptr) {
        const std::uint16_t half = float_to_half(v[c] - e[index]);
        residual_le[2 * (start + c)] = static_cast<std::uint8_t>(half & 0xffu);
        residual_le[2 * (start + c) + 1] = static_cast<std::uint8_t>(half >> 8);
      }
    }
  }
}

void add_residual_portable(const std::uint8_t* residual_le, float* out, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const auto bits =
        static_cast<std::uint16_t>(residual_le[2 * i] | (residual_le[2 * i + 1] << 8));
    out[i] = half_to_float(bits) + out[i];
  }
}

constexpr Kernels kScalarKernels{&quantize_values_portable, &add_residual_portable};

}  // namespace

const Kernels& scalar_kernels() noexcept { return kScalarKernels; }

const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx2_kernels);
}

}  // namespace quantize_kernels

namespace {

// The kernels of the widest level this CPU runs, chosen once.
const quantize_kernels::Kernels& kernels() noexcept {
  static const quantize_kernels::Kernels& chosen = quantize_kernels::select(simd::best_level());
  return chosen;
}

}  // namespace

void quantize_values(std::span<const float> levels, std::span<const float> values,
                     std::uint8_t* indices, std::uint8_t* residual_le) noexcept {
  kernels().quantize_values(levels, values, indices, residual_le);
}

Status<CodecError> dequantize_values(std::span<const float> levels,
                                     std::span<const std::uint8_t> indices,
                                     const std::vector<std::uint8_t>* residual_le, float* out) {
  const std::size_t count = levels.size();
  const std::uint8_t* idx = indices.data();
  const std::size_t n = indices.size();
  if (count < 256) {
    for (std::size_t i = 0; i < n; ++i) {
      if (idx[i] >= count) {
        return fail(CodecError::index_out_of_range(idx[i], static_cast<std::uint32_t>(count)));
      }
    }
  }
  const float* e = levels.data();
  for (std::size_t i = 0; i < n; ++i) out[i] = e[idx[i]];
  if (residual_le != nullptr) {
    if (residual_le->size() != 2 * n)
      return fail(CodecError::length_mismatch(residual_le->size(), 2 * n));
    kernels().add_residual(residual_le->data(), out, n);
  }
  return {};
}

}  // namespace marrowfin::codec
