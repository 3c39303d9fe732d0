// The grouped 4-bit scan kernels of Corpus::search: sums of small integer
// table lookups for kScanGroup rows at once, from codes stored in the
// grouped layout (byte b of row r of a group at b * kScanGroup + r).
//
// One implementation per simd::Level, chosen by select(); integer sums, so
// every level gives the same bits (tests compare them all).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/level.hpp"

namespace marrowfin::corpus::fast_scan {

inline constexpr std::size_t kGroup = 32;

struct Kernels {
  // For each row r of the group at `group` (kGroup * width bytes):
  // sums[r] = sum over b < code_bytes of tables[32 b + (x & 15)] +
  // tables[32 b + 16 + (x >> 4)], x = byte b of row r (two 16-entry tables
  // per code byte: its low and its high nibble's coordinate).
  void (*sum_group)(const std::uint8_t* group, std::size_t code_bytes, const std::uint8_t* tables,
                    std::uint32_t* sums);
};

// The kernels of `level` (a level this CPU runs).
[[nodiscard]] const Kernels& select(simd::Level level) noexcept;

namespace detail {
void sum_group_scalar(const std::uint8_t* group, std::size_t code_bytes, const std::uint8_t* tables,
                      std::uint32_t* sums);
void sum_group_avx2(const std::uint8_t* group, std::size_t code_bytes, const std::uint8_t* tables,
                    std::uint32_t* sums);
}  // namespace detail

}  // namespace marrowfin::corpus::fast_scan
