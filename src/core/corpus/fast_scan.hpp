// The grouped 4-bit scan kernels of Corpus::search: sums of small integer
// table lookups for kGroup rows at once, from codes stored in the grouped
// layout (byte b of row r of a group at b * kGroup + r).
//
// sum_group reads two 4-bit codes a byte, sum_group8 one 8-bit code a byte,
// looked up by its top 6 bits (64-entry tables: a run of 4 codes shares an
// entry).
//
// Code bytes are visited in a plan's order, in kClasses classes of table
// resolution: class e's entries count 2^(kClasses - 1 - e) times a unit, so
// bytes whose products span a small range get finer tables (a search gives
// each byte the finest class its range fits).
//
// residual_dot: the float32 dot product of a rotated query with a row of
// binary16 residuals, in kLanes running totals.
//
// One implementation per simd::Level, chosen by select(); every level gives
// the same bits (integer sums; float sums in the same order), and the tests
// compare them all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/level.hpp"

namespace marrowfin::corpus::fast_scan {

inline constexpr std::size_t kGroup = 32;
inline constexpr unsigned kClasses = 4;
// Running totals of residual_dot: coordinate j goes to total j % kLanes.
inline constexpr std::size_t kLanes = 16;

// The order a scan visits code bytes in: bytes[i] is the i-th byte visited,
// with its tables at tables + kTableBytes[bit width] i, in quarters of 32
// bytes, each a 16-entry table stored twice (entries 16-31 repeat 0-15):
// for 4-bit codes two quarters (its low and its high nibble's coordinate),
// for 8-bit codes four (entries 0-15, 16-31, 32-47 and 48-63 of one table).
// Entries [class_end[e - 1], class_end[e]) are class e (class_end[-1] = 0);
// class_end[kClasses - 1] is the number of bytes.
inline constexpr std::size_t kTableBytes4 = 64;
inline constexpr std::size_t kTableBytes8 = 128;

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
  // The same for 8-bit codes: the entry of byte x is quarter (x >> 6)'s
  // entry (x >> 2) & 15.
  void (*sum_group8)(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                     std::uint32_t* sums);
  // The sum, over j < d, of fl32(query[j] * r_j), r_j the binary16 value of
  // bytes 2j, 2j+1 of `halves` (little-endian), into total j % kLanes; the
  // totals are then added pairwise (0+1, 2+3, ..., then those sums pairwise,
  // and so on).
  float (*residual_dot)(const std::uint8_t* halves, const float* query, std::size_t d);
};

// The kernels of `level` (a level this CPU runs).
[[nodiscard]] const Kernels& select(simd::Level level) noexcept;

namespace detail {
void sum_group_scalar(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                      std::uint32_t* sums);
void sum_group_avx2(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                    std::uint32_t* sums);
void sum_group8_scalar(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                       std::uint32_t* sums);
void sum_group8_avx2(const std::uint8_t* group, const std::uint8_t* next, const Plan& plan,
                     std::uint32_t* sums);
float residual_dot_scalar(const std::uint8_t* halves, const float* query, std::size_t d);
float residual_dot_avx2(const std::uint8_t* halves, const float* query, std::size_t d);
// The pairwise addition of kLanes totals that ends residual_dot.
inline float add_lanes(const float* t) noexcept {
  static_assert(kLanes == 16);
  return (((t[0] + t[1]) + (t[2] + t[3])) + ((t[4] + t[5]) + (t[6] + t[7]))) +
         (((t[8] + t[9]) + (t[10] + t[11])) + ((t[12] + t[13]) + (t[14] + t[15])));
}
}  // namespace detail

}  // namespace marrowfin::corpus::fast_scan
