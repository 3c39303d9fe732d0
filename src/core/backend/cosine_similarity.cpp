#include "core/backend/cosine_similarity.hpp"

#include <algorithm>
#include <cmath>

// The build disables floating-point contraction, so `sum += x * y` stays a
// rounded multiply followed by a rounded add; a fused multiply-add would change
// the low bits of the scores.

namespace marrowfin::backend {

bool contains_nan(std::span<const float> values) noexcept {
  // No early exit: a branch-free OR vectorises, and the NaN case is rare.
  bool any = false;
  for (float v : values) any |= (v != v);
  return any;
}

float sequential_sum_of_squares(std::span<const float> values) noexcept {
  float sum = 0.0f;
  for (float v : values) sum += v * v;
  return sum;
}

float cosine_from_sums(float dot, float na, float nb) noexcept {
  const float product = na * nb;
  const float denom = std::sqrt(product);
  if (denom == 0.0f) return 0.0f;
  return dot / denom;
}

float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept {
  if (contains_nan(a)) return 0.0f;
  if (contains_nan(b)) return 0.0f;
  const std::size_t n = std::min(a.size(), b.size());
  float dot = 0.0f;
  float na = 0.0f;
  float nb = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  return cosine_from_sums(dot, na, nb);
}

}  // namespace marrowfin::backend
