// Cosine similarity in float32, defined bit for bit: every product is rounded
// to float32 before it is added, and each of the three sums (a·b, a·a, b·b) is
// one running total in increasing index order. The fast search path splits
// the three sums apart (they are independent), which is why the pieces are
// exposed here with the same arithmetic.
#pragma once

#include <cstddef>
#include <span>

namespace marrowfin::backend {

// 0.0 when a or b holds a NaN; otherwise dot / sqrt(na * nb) over the first
// min(a.size(), b.size()) elements, and 0.0 when that denominator is zero.
[[nodiscard]] float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept;

[[nodiscard]] bool contains_nan(std::span<const float> values) noexcept;

// values[0]^2 + values[1]^2 + ... as one float32 running total, in index order.
[[nodiscard]] float sequential_sum_of_squares(std::span<const float> values) noexcept;

// The final step: sqrt of the float32 product na * nb, 0.0 when that is zero,
// else dot divided by it. Not clamped: may leave [-1, 1] or be NaN.
[[nodiscard]] float cosine_from_sums(float dot, float na, float nb) noexcept;

}  // namespace marrowfin::backend
