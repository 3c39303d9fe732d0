#include "core/corpus/fast_scan.hpp"

namespace marrowfin::corpus::fast_scan {
namespace detail {

// The reference form.
void sum_group_scalar(const std::uint8_t* group, const std::uint8_t* /*next*/, const Plan& plan,
                      std::uint32_t* sums) {
  for (std::size_t r = 0; r < kGroup; ++r) sums[r] = 0;
  std::size_t i = 0;
  for (unsigned e = 0; e < kClasses; ++e) {
    const unsigned shift = kClasses - 1 - e;
    for (; i < plan.class_end[e]; ++i) {
      const std::uint8_t* column = group + plan.bytes[i] * kGroup;
      const std::uint8_t* low = plan.tables + 64 * i;
      const std::uint8_t* high = low + 32;
      for (std::size_t r = 0; r < kGroup; ++r) {
        sums[r] += (std::uint32_t{low[column[r] & 15u]} + high[column[r] >> 4]) << shift;
      }
    }
  }
}

}  // namespace detail

namespace {

constexpr Kernels kScalar{detail::sum_group_scalar};
constexpr Kernels kAvx2{detail::sum_group_avx2};

const Kernels& scalar_kernels() noexcept { return kScalar; }
const Kernels& avx2_kernels() noexcept { return kAvx2; }

}  // namespace

// The 256-bit form is also the widest one: the byte shuffles it relies on
// gain nothing from 512-bit lanes at one group of 32 rows.
const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx2_kernels);
}

}  // namespace marrowfin::corpus::fast_scan
