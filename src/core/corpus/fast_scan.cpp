#include "core/corpus/fast_scan.hpp"

#include "core/codec/binary16.hpp"
#include "core/common/endian.hpp"

namespace marrowfin::corpus::fast_scan {
namespace detail {

namespace {

// The reference form of both: entry(tables of entry i, code byte) of every
// row, class by class.
template <std::size_t TableBytes, class Entry>
void sum_plan(const std::uint8_t* group, const Plan& plan, std::uint32_t* sums, Entry entry) {
  for (std::size_t r = 0; r < kGroup; ++r) sums[r] = 0;
  std::size_t i = 0;
  for (unsigned e = 0; e < kClasses; ++e) {
    const unsigned shift = kClasses - 1 - e;
    for (; i < plan.class_end[e]; ++i) {
      const std::uint8_t* column = group + plan.bytes[i] * kGroup;
      const std::uint8_t* tables = plan.tables + TableBytes * i;
      for (std::size_t r = 0; r < kGroup; ++r) sums[r] += entry(tables, column[r]) << shift;
    }
  }
}

}  // namespace

void sum_group_scalar(const std::uint8_t* group, const std::uint8_t* /*next*/, const Plan& plan,
                      std::uint32_t* sums) {
  sum_plan<kTableBytes4>(group, plan, sums, [](const std::uint8_t* tables, unsigned x) {
    return std::uint32_t{tables[x & 15u]} + tables[32 + (x >> 4)];
  });
}

void sum_group8_scalar(const std::uint8_t* group, const std::uint8_t* /*next*/, const Plan& plan,
                       std::uint32_t* sums) {
  sum_plan<kTableBytes8>(group, plan, sums, [](const std::uint8_t* tables, unsigned x) {
    return std::uint32_t{tables[32 * (x >> 6) + ((x >> 2) & 15u)]};
  });
}

float residual_dot_scalar(const std::uint8_t* halves, const float* query, std::size_t d) {
  float totals[kLanes] = {};
  for (std::size_t j = 0; j < d; ++j) {
    totals[j % kLanes] += query[j] * codec::half_to_float(load_le<std::uint16_t>(halves + 2 * j));
  }
  return add_lanes(totals);
}

}  // namespace detail

namespace {

constexpr Kernels kScalar{detail::sum_group_scalar, detail::sum_group8_scalar,
                          detail::residual_dot_scalar};
constexpr Kernels kAvx2{detail::sum_group_avx2, detail::sum_group8_avx2, detail::residual_dot_avx2};

const Kernels& scalar_kernels() noexcept { return kScalar; }
const Kernels& avx2_kernels() noexcept { return kAvx2; }

}  // namespace

// The 256-bit forms are also the widest ones: the byte shuffles gain nothing
// from 512-bit lanes at one group of 32 rows, and the residual product is
// bounded by memory bandwidth.
const Kernels& select(simd::Level level) noexcept {
  return simd::pick(level, &scalar_kernels, &avx2_kernels, &avx2_kernels);
}

}  // namespace marrowfin::corpus::fast_scan
