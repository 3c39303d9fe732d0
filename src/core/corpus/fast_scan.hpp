// The grouped 4-bit scan kernels of Corpus::search: sums of small integer
// table lookups for kGroup rows at once, from codes stored in the grouped
// layout (byte b of row r of a group at b * kGroup + r).
//
// Code bytes are visited in a plan's order, in kClasses classes of table
// resolution: class e's entries count 2^(kClasses - 1 - e) times a unit, so
// bytes whose products span a small range get finer tables (a search gives
// each byte the finest class its range fits).
//
// One implementation per simd::Level, chosen by select(); integer sums, so
// every level gives the same bits (tests compare them all).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/level.hpp"

namespace marrowfin::corpus::fast_scan {

inline constexpr std::size_t kGroup = 32;
inline constexpr unsigned kClasses = 4;

// The order a scan visits code bytes in: bytes[i] is the i-th byte visited,
// with its two 16-entry tables (its low and its high nibble's coordinate) at
// tables + 64 i and tables + 64 i + 32, each stored twice (entries 16-31
// repeat entries 0-15). Entries [class_end[e - 1], class_end[e]) are class
// e (class_end[-1] = 0); class_end[kClasses - 1] is the number of bytes.
struct Plan {
  const std::uint32_t* bytes;
  const std::uint8_t* tables;
  std::size_t class_end[kClasses];
};

struct Kernels {
  // For each row r of the group at `group`: sums[r] = the sum over classes e
  // of 2^(kClasses - 1 - e) times the sum, over class e's entries i, of
  // tables[64 i + (x & 15)] + tables[64 i + 32 + (x >> 4)], x = byte
  // bytes[i] of row r. `next` is where the following group starts (it is
  // prefetched while this one is summed; any address will do).
  void (*sum_group)(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                    std::uint32_t* sums);
};

// The kernels of `level` (a level this CPU runs).
[[nodiscard]] const Kernels& select(simd::Level level) noexcept;

namespace detail {
void sum_group_scalar(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                      std::uint32_t* sums);
void sum_group_avx2(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                    std::uint32_t* sums);
}  // namespace detail

}  // namespace marrowfin::corpus::fast_scan
