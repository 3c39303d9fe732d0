// The natural logarithm, sine and cosine used by rotation generation. They are
// the fdlibm-lineage algorithms (the Lg1..Lg7 logarithm; sine and cosine with
// the classic argument reduction by pi/2 and the __sin/__cos polynomial
// kernels), written out operation by operation so that every step is rounded
// to binary64 on its own. The platform's libm is never used: its results
// differ between C libraries and versions, and the generated matrices must
// not.
#pragma once

#include <bit>
#include <cstdint>

namespace marrowfin::rotation::portable {

// The polynomial and reduction constants, by bit pattern.
namespace constants {
inline constexpr double ln2_hi = std::bit_cast<double>(0x3fe62e42fee00000ULL);
inline constexpr double ln2_lo = std::bit_cast<double>(0x3dea39ef35793c76ULL);
inline constexpr double Lg1 = std::bit_cast<double>(0x3fe5555555555593ULL);
inline constexpr double Lg2 = std::bit_cast<double>(0x3fd999999997fa04ULL);
inline constexpr double Lg3 = std::bit_cast<double>(0x3fd2492494229359ULL);
inline constexpr double Lg4 = std::bit_cast<double>(0x3fcc71c51d8e78afULL);
inline constexpr double Lg5 = std::bit_cast<double>(0x3fc7466496cb03deULL);
inline constexpr double Lg6 = std::bit_cast<double>(0x3fc39a09d078c69fULL);
inline constexpr double Lg7 = std::bit_cast<double>(0x3fc2f112df3e5244ULL);

inline constexpr double S1 = std::bit_cast<double>(0xbfc5555555555549ULL);
inline constexpr double S2 = std::bit_cast<double>(0x3f8111111110f8a6ULL);
inline constexpr double S3 = std::bit_cast<double>(0xbf2a01a019c161d5ULL);
inline constexpr double S4 = std::bit_cast<double>(0x3ec71de357b1fe7dULL);
inline constexpr double S5 = std::bit_cast<double>(0xbe5ae5e68a2b9cebULL);
inline constexpr double S6 = std::bit_cast<double>(0x3de5d93a5acfd57cULL);

inline constexpr double C1 = std::bit_cast<double>(0x3fa555555555554cULL);
inline constexpr double C2 = std::bit_cast<double>(0xbf56c16c16c15177ULL);
inline constexpr double C3 = std::bit_cast<double>(0x3efa01a019cb1590ULL);
inline constexpr double C4 = std::bit_cast<double>(0xbe927e4f809c52adULL);
inline constexpr double C5 = std::bit_cast<double>(0x3e21ee9ebdb4b1c4ULL);
inline constexpr double C6 = std::bit_cast<double>(0xbda8fae9be8838d4ULL);

inline constexpr double invpio2 = std::bit_cast<double>(0x3fe45f306dc9c883ULL);
inline constexpr double pio2_1 = std::bit_cast<double>(0x3ff921fb54400000ULL);
inline constexpr double pio2_1t = std::bit_cast<double>(0x3dd0b4611a626331ULL);
inline constexpr double pio2_2 = std::bit_cast<double>(0x3dd0b4611a600000ULL);
inline constexpr double pio2_2t = std::bit_cast<double>(0x3ba3198a2e037073ULL);
inline constexpr double pio2_3 = std::bit_cast<double>(0x3ba3198a2e000000ULL);
inline constexpr double pio2_3t = std::bit_cast<double>(0x397b839a252049c1ULL);
inline constexpr double toint = std::bit_cast<double>(0x4338000000000000ULL);
inline constexpr double pio4 = std::bit_cast<double>(0x3fe921fb54442d18ULL);
}  // namespace constants

// Natural logarithm of any binary64 value (log(+-0) = -inf, log(negative) = NaN).
[[nodiscard]] double log(double x);

// Sine and cosine of x for |x| below 2^20 * pi/2 (about 1.6e6), and of
// infinities and NaNs (NaN). The generator only ever passes angles in
// [0, 2*pi). Larger finite arguments would need the multi-word reduction by
// 2/pi, which this system does not carry; they throw std::logic_error.
[[nodiscard]] double sin(double x);
[[nodiscard]] double cos(double x);

}  // namespace marrowfin::rotation::portable
