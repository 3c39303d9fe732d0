#include "core/rotation/generate/portable_math.hpp"

#include <bit>
#include <cstdint>
#include <stdexcept>

// Every expression below is evaluated in binary64 exactly as written (the
// build forbids contraction into fused multiply-adds). Parenthesisation and
// operand order are part of the algorithm: reordering any sum changes bits.

namespace marrowfin::rotation::portable {

namespace {

// x - quadrant * pi/2 == hi + lo (to about 118 bits or better), |hi| <= ~pi/4.
struct ReducedAngle {
  double hi;
  double lo;
  std::int32_t quadrant;
};

using namespace constants;

std::uint32_t high_word(double x) {
  return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
}

// The fast path for |x| within ~9pi/4: subtract `multiple` times the two-word
// pi/2 from x (`multiple` carries the sign). The multiples of pio2_1t are
// products rounded once, as the constant folding of the classic code does.
ReducedAngle subtract_multiple(double x, int multiple) {
  double step;
  double step_tail;
  switch (multiple) {
    case 1:
      step = pio2_1;
      step_tail = pio2_1t;
      break;
    case -1:
      step = -pio2_1;
      step_tail = -pio2_1t;
      break;
    case 2:
      step = 2 * pio2_1;
      step_tail = 2 * pio2_1t;
      break;
    case -2:
      step = -2 * pio2_1;
      step_tail = -2 * pio2_1t;
      break;
    case 3:
      step = 3 * pio2_1;
      step_tail = 3 * pio2_1t;
      break;
    case -3:
      step = -3 * pio2_1;
      step_tail = -3 * pio2_1t;
      break;
    case 4:
      step = 4 * pio2_1;
      step_tail = 4 * pio2_1t;
      break;
    default:
      step = -4 * pio2_1;
      step_tail = -4 * pio2_1t;
      break;
  }
  // For negative x the classic code adds the positive constants; x + c and
  // x - (-c) round identically, so one form serves both signs.
  const double z = x - step;
  const double hi = z - step_tail;
  const double lo = (z - hi) - step_tail;
  return {hi, lo, multiple};
}

// Medium-size arguments: n = nearest integer to x * 2/pi, then x - n*pi/2 in
// up to three refinement rounds, each taken only when the previous one lost
// too many leading bits to cancellation.
ReducedAngle reduce_medium(double x, std::uint32_t ix) {
  double fn = x * invpio2 + toint - toint;
  auto n = static_cast<std::int32_t>(fn);
  double r = x - fn * pio2_1;
  double w = fn * pio2_1t;
  // Only reachable when the rounding of x * 2/pi lands the wrong side of a
  // half-integer; keeps |hi| <= pi/4.
  if (r - w < -pio4) {
    n--;
    fn = fn - 1.0;
    r = x - fn * pio2_1;
    w = fn * pio2_1t;
  } else if (r - w > pio4) {
    n++;
    fn = fn + 1.0;
    r = x - fn * pio2_1;
    w = fn * pio2_1t;
  }
  double hi = r - w;
  const auto ex = static_cast<int>(ix >> 20);
  auto exponent_of = [](double v) {
    return static_cast<int>((std::bit_cast<std::uint64_t>(v) >> 52) & 0x7ff);
  };
  if (ex - exponent_of(hi) > 16) {
    double t = r;
    w = fn * pio2_2;
    r = t - w;
    w = fn * pio2_2t - ((t - r) - w);
    hi = r - w;
    if (ex - exponent_of(hi) > 49) {
      t = r;
      w = fn * pio2_3;
      r = t - w;
      w = fn * pio2_3t - ((t - r) - w);
      hi = r - w;
    }
  }
  const double lo = (r - hi) - w;
  return {hi, lo, n};
}

}  // namespace

double log(double x) {
  auto bits = std::bit_cast<std::uint64_t>(x);
  auto hx = static_cast<std::uint32_t>(bits >> 32);
  int k = 0;
  if (hx < 0x00100000 || (hx >> 31) != 0) {
    if ((bits << 1) == 0) return -1 / (x * x);  // log(+-0) = -inf
    if ((hx >> 31) != 0) return (x - x) / 0.0;  // log(negative) = NaN
    // Subnormal: scale into the normal range first.
    k -= 54;
    x *= 0x1p54;
    bits = std::bit_cast<std::uint64_t>(x);
    hx = static_cast<std::uint32_t>(bits >> 32);
  } else if (hx >= 0x7ff00000) {
    return x;
  } else if (hx == 0x3ff00000 && (bits << 32) == 0) {
    return 0;
  }

  // Reduce x into [sqrt(2)/2, sqrt(2)): move the mantissa so that the
  // exponent of the result counts from sqrt(2)/2 instead of 1.
  hx += 0x3ff00000 - 0x3fe6a09e;
  k += static_cast<int>(hx >> 20) - 0x3ff;
  hx = (hx & 0x000fffff) + 0x3fe6a09e;
  bits = (static_cast<std::uint64_t>(hx) << 32) | (bits & 0xffffffffULL);
  x = std::bit_cast<double>(bits);

  const double f = x - 1.0;
  const double hfsq = 0.5 * f * f;
  const double s = f / (2.0 + f);
  const double z = s * s;
  const double w = z * z;
  const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
  const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
  const double R = t2 + t1;
  const double dk = k;
  return s * (hfsq + R) + dk * ln2_lo - hfsq + f + dk * ln2_hi;
}

namespace {

// The polynomial kernels on [-pi/4, pi/4]: x + y is the argument, y a tail
// below half an ulp of x. sin_kernel ignores y when y_is_zero is set.
double sin_kernel(double x, double y, bool y_is_zero) {
  const double z = x * x;
  const double w = z * z;
  const double r = S2 + z * (S3 + z * S4) + z * w * (S5 + z * S6);
  const double v = z * x;
  if (y_is_zero) return x + v * (S1 + z * r);
  return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

double cos_kernel(double x, double y) {
  const double z = x * x;
  const double w = z * z;
  const double r = z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
  const double hz = 0.5 * z;
  const double one_minus_hz = 1.0 - hz;
  return one_minus_hz + (((1.0 - one_minus_hz) - hz) + (z * r - x * y));
}

// The reduction by pi/2 for |x| above ~pi/4: the one-to-four-multiple fast
// paths near the origin and the rounding of x * 2/pi otherwise, refined in up
// to three steps where cancellation demands it. Same domain as sin/cos.
ReducedAngle reduce_half_pi(double x) {
  const std::uint32_t ix = high_word(x) & 0x7fffffff;
  const bool negative = (std::bit_cast<std::uint64_t>(x) >> 63) != 0;
  // Near the origin, subtract one to four multiples directly, except close to
  // pi/2, pi, 3pi/2 and 2pi where that would cancel too many bits.
  if (ix <= 0x400f6a7a) {  // |x| ~<= 5pi/4
    if ((ix & 0xfffff) != 0x921fb) {
      const int multiple = ix <= 0x4002d97c ? 1 : 2;  // |x| ~<= 3pi/4
      return subtract_multiple(x, negative ? -multiple : multiple);
    }
  } else if (ix <= 0x401c463b) {  // |x| ~<= 9pi/4
    if (ix <= 0x4015fdbc) {       // |x| ~<= 7pi/4
      if (ix != 0x4012d97c) return subtract_multiple(x, negative ? -3 : 3);
    } else if (ix != 0x401921fb) {
      return subtract_multiple(x, negative ? -4 : 4);
    }
  } else if (ix >= 0x413921fb) {  // |x| ~>= 2^20 * pi/2
    throw std::logic_error("portable sin/cos: argument beyond 2^20 * pi/2 is not supported");
  }
  return reduce_medium(x, ix);
}

}  // namespace

double sin(double x) {
  const std::uint32_t ix = high_word(x) & 0x7fffffff;
  if (ix <= 0x3fe921fb) {           // |x| ~<= pi/4
    if (ix < 0x3e500000) return x;  // |x| < 2^-26: sin(x) rounds to x
    return sin_kernel(x, 0.0, true);
  }
  if (ix >= 0x7ff00000) return x - x;  // sin(inf or NaN) is NaN
  const ReducedAngle a = reduce_half_pi(x);
  switch (a.quadrant & 3) {
    case 0: return sin_kernel(a.hi, a.lo, false);
    case 1: return cos_kernel(a.hi, a.lo);
    case 2: return -sin_kernel(a.hi, a.lo, false);
    default: return -cos_kernel(a.hi, a.lo);
  }
}

double cos(double x) {
  const std::uint32_t ix = high_word(x) & 0x7fffffff;
  if (ix <= 0x3fe921fb) {             // |x| ~<= pi/4
    if (ix < 0x3e46a09e) return 1.0;  // |x| < 2^-27 * sqrt(2): cos(x) rounds to 1
    return cos_kernel(x, 0.0);
  }
  if (ix >= 0x7ff00000) return x - x;
  const ReducedAngle a = reduce_half_pi(x);
  switch (a.quadrant & 3) {
    case 0: return cos_kernel(a.hi, a.lo);
    case 1: return -sin_kernel(a.hi, a.lo, false);
    case 2: return -cos_kernel(a.hi, a.lo);
    default: return sin_kernel(a.hi, a.lo, false);
  }
}

}  // namespace marrowfin::rotation::portable
