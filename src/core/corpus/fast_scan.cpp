#include "core/corpus/fast_scan.hpp"

namespace marrowfin::corpus::fast_scan {
namespace detail {

// The reference form.
void sum_group_scalar(const std::uint8_t* group, std::size_t code_bytes, const std::uint8_t* tables,
                      std::uint32_t* sums) {
  for (std::size_t r = 0; r < kGroup; ++r) sums[r] = 0;
  for (std::size_t b = 0; b < code_bytes; ++b) {
    const std::uint8_t* column = group + b * kGroup;
    const std::uint8_t* low = tables + 32 * b;
    const std::uint8_t* high = low + 16;
    for (std::size_t r = 0; r < kGroup; ++r) {
      sums[r] += std::uint32_t{low[column[r] & 15u]} + high[column[r] >> 4];
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
