// The sample-stream kernels written once for any lane traits. Included by the
// per-instruction-set translation units (and, for the ChaCha20 rounds and the
// scalar Box-Muller loop, the scalar one) after they define
// MARROWFIN_SIMD_TARGET (the target attribute every function here carries)
// and their traits types; everything here has internal linkage.
//
// ChaCha20 runs one block per 32-bit lane of word traits W: W::U holds one
// state word of W::blocks consecutive blocks, with set1, load (W::blocks
// words, aligned to 64 bytes), add, bxor and rotl<bits>; the SIMD traits add
// unpacklo / unpackhi (32-bit interleave within each 128-bit quarter) and
// store (to 64-byte-aligned memory). Integer work is exact at any width.
//
// Box-Muller runs one pair per 64-bit lane of the rotation lane traits V. Each
// lane replays the scalar operation sequence of box_muller_pair exactly
// (same operations, same order, same constants), so the lanes agree with the
// scalar code bit for bit. Both halves of a pair need sin and cos of the same
// angle, so the reduction and both polynomial kernels run once per lane and
// the quadrant picks and negates. The medium-size reduction (angles within
// ~2^-20 relative of pi/2, pi, 3pi/2 and 2pi) is left to the scalar code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/rotation/generate/portable_math.hpp"
#include "core/rotation/generate/rotation_stream.hpp"
#include "core/rotation/generate/rotation_stream_kernels.hpp"

namespace marrowfin::rotation::stream_kernels {
namespace {

// ---- ChaCha20 ---------------------------------------------------------------

template <class W>
MARROWFIN_SIMD_TARGET inline void quarter_round(typename W::U& a, typename W::U& b,
                                                typename W::U& c, typename W::U& d) {
  a = W::add(a, b);
  d = W::template rotl<16>(W::bxor(d, a));
  c = W::add(c, d);
  b = W::template rotl<12>(W::bxor(b, c));
  a = W::add(a, b);
  d = W::template rotl<8>(W::bxor(d, a));
  c = W::add(c, d);
  b = W::template rotl<7>(W::bxor(b, c));
}

// The input state of W::blocks consecutive blocks, lane l holding block counter + l.
template <class W>
MARROWFIN_SIMD_TARGET inline void chacha20_input(const std::uint32_t key[8], std::uint64_t counter,
                                                 typename W::U input[16]) {
  alignas(64) std::uint32_t counter_low[W::blocks];
  alignas(64) std::uint32_t counter_high[W::blocks];
  for (int l = 0; l < W::blocks; ++l) {
    counter_low[l] = static_cast<std::uint32_t>(counter + static_cast<std::uint64_t>(l));
    counter_high[l] = static_cast<std::uint32_t>((counter + static_cast<std::uint64_t>(l)) >> 32);
  }
  input[0] = W::set1(0x61707865);
  input[1] = W::set1(0x3320646e);
  input[2] = W::set1(0x79622d32);
  input[3] = W::set1(0x6b206574);
  for (int i = 0; i < 8; ++i) input[4 + i] = W::set1(key[i]);
  input[12] = W::load(counter_low);
  input[13] = W::load(counter_high);
  input[14] = W::set1(0);
  input[15] = W::set1(0);
}

// The twenty rounds over the state x.
template <class W>
MARROWFIN_SIMD_TARGET inline void chacha20_rounds(typename W::U x[16]) {
  for (int round = 0; round < 10; ++round) {
    quarter_round<W>(x[0], x[4], x[8], x[12]);
    quarter_round<W>(x[1], x[5], x[9], x[13]);
    quarter_round<W>(x[2], x[6], x[10], x[14]);
    quarter_round<W>(x[3], x[7], x[11], x[15]);
    quarter_round<W>(x[0], x[5], x[10], x[15]);
    quarter_round<W>(x[1], x[6], x[11], x[12]);
    quarter_round<W>(x[2], x[7], x[8], x[13]);
    quarter_round<W>(x[3], x[4], x[9], x[14]);
  }
}

// The draws of W::blocks consecutive blocks from `counter` on, 8 per block,
// to out[0 .. 8*W::blocks).
template <class W>
MARROWFIN_SIMD_TARGET void chacha20_lane_draws(const std::uint32_t key[8], std::uint64_t counter,
                                               std::uint64_t* out) {
  using U = typename W::U;
  constexpr int kHalf = W::blocks / 2;
  U input[16];
  chacha20_input<W>(key, counter, input);
  U x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  chacha20_rounds<W>(x);
  // Word pairs (2j, 2j+1) of each block form its draw j. Interleaving two
  // word vectors within each 128-bit quarter gives 64-bit lanes for blocks
  // 0,1,4,5,... (low) and 2,3,6,7,... (high).
  alignas(64) std::uint64_t low_half[8][kHalf];
  alignas(64) std::uint64_t high_half[8][kHalf];
  for (int j = 0; j < 8; ++j) {
    const U even = W::add(x[2 * j], input[2 * j]);
    const U odd = W::add(x[2 * j + 1], input[2 * j + 1]);
    W::store(low_half[j], W::unpacklo(even, odd));
    W::store(high_half[j], W::unpackhi(even, odd));
  }
  for (int j = 0; j < 8; ++j) {
    for (int e = 0; e < kHalf; ++e) {
      const int low_block = 4 * (e / 2) + e % 2;
      out[8 * low_block + j] = low_half[j][e];
      out[8 * (low_block + 2) + j] = high_half[j][e];
    }
  }
}

// Whole groups of W::blocks blocks through the lanes, the rest through the
// kernels of level `rest`.
template <class W>
MARROWFIN_SIMD_TARGET void chacha20_draws_batch(const std::uint32_t key[8], std::uint64_t counter,
                                                std::size_t blocks, std::uint64_t* out,
                                                simd::Level rest) noexcept {
  std::size_t b = 0;
  for (; b + W::blocks <= blocks; b += W::blocks)
    chacha20_lane_draws<W>(key, counter + b, out + 8 * b);
  if (b < blocks) select(rest).chacha20_draws(key, counter + b, blocks - b, out + 8 * b);
}

// ---- Box-Muller -------------------------------------------------------------

namespace pc = portable::constants;

// Pairs one at a time through the scalar code.
MARROWFIN_SIMD_TARGET inline void box_muller_scalar(const std::uint64_t* draws, std::size_t pairs,
                                                    double* out) {
  for (std::size_t p = 0; p < pairs; ++p) {
    const auto [cosine_half, sine_half] = box_muller_pair(draws[2 * p], draws[2 * p + 1]);
    out[2 * p] = cosine_half;
    out[2 * p + 1] = sine_half;
  }
}

// ln(x) for lanes holding normal numbers in (0, 1): the scalar log's main path.
template <class V>
MARROWFIN_SIMD_TARGET inline typename V::D log_lanes(typename V::D x) {
  using I = typename V::I;
  const I bits = V::casti(x);
  I hx = V::template srli<32>(bits);
  hx = V::addi(hx, V::set1i(0x3ff00000 - 0x3fe6a09e));
  const I k = V::subi(V::template srli<20>(hx), V::set1i(0x3ff));
  hx = V::addi(V::andi(hx, V::set1i(0x000fffff)), V::set1i(0x3fe6a09e));
  const I reduced = V::ori(V::template slli<32>(hx), V::andi(bits, V::set1i(0xffffffff)));
  const auto xr = V::castd(reduced);

  const auto f = V::sub(xr, V::set1(1.0));
  const auto hfsq = V::mul(V::mul(V::set1(0.5), f), f);
  const auto s = V::div(f, V::add(V::set1(2.0), f));
  const auto z = V::mul(s, s);
  const auto w = V::mul(z, z);
  const auto t1 = V::mul(
      w,
      V::add(V::set1(pc::Lg2), V::mul(w, V::add(V::set1(pc::Lg4), V::mul(w, V::set1(pc::Lg6))))));
  const auto t2 = V::mul(
      z,
      V::add(V::set1(pc::Lg1),
             V::mul(w, V::add(V::set1(pc::Lg3),
                              V::mul(w, V::add(V::set1(pc::Lg5), V::mul(w, V::set1(pc::Lg7))))))));
  const auto R = V::add(t2, t1);
  const auto dk = V::small_int_to_double(k);
  // s*(hfsq+R) + dk*ln2_lo - hfsq + f + dk*ln2_hi, left to right.
  auto result = V::add(V::mul(s, V::add(hfsq, R)), V::mul(dk, V::set1(pc::ln2_lo)));
  result = V::sub(result, hfsq);
  result = V::add(result, f);
  return V::add(result, V::mul(dk, V::set1(pc::ln2_hi)));
}

// Box-Muller for V::width pairs at draws[0 .. 2*lanes); writes 2*lanes samples.
template <class V>
MARROWFIN_SIMD_TARGET inline void box_muller_lanes(const std::uint64_t* draws, double* out) {
  using D = typename V::D;
  using I = typename V::I;
  using M = typename V::M;

  I first;
  I second;
  V::load_pairs(draws, first, second);
  const D u1 = V::mul(V::u53_to_double(V::template srli<11>(first)), V::set1(0x1p-53));
  const D u2 = V::mul(V::u53_to_double(V::template srli<11>(second)), V::set1(0x1p-53));
  const D r = V::sqrt(V::mul(log_lanes<V>(u1), V::set1(-2.0)));
  const D theta = V::mul(u2, V::set1(kTwoPi));

  // Classify by the high word, exactly as sin/cos and the reduction do
  // (theta is never negative, so no sign handling).
  const I ix = V::template srli<32>(V::casti(theta));
  const M no_reduction = V::le(ix, V::set1i(0x3fe921fb));
  const M within_3pi4 = V::le(ix, V::set1i(0x4002d97c));
  const M within_5pi4 = V::le(ix, V::set1i(0x400f6a7a));
  const M within_7pi4 = V::le(ix, V::set1i(0x4015fdbc));
  const M within_9pi4 = V::le(ix, V::set1i(0x401c463b));
  const M near_axis = V::eq(V::andi(ix, V::set1i(0xfffff)), V::set1i(0x921fb));
  const M multiple1 = V::andnot(no_reduction, within_3pi4);  // within_3pi4 and not no_reduction
  const M multiple2 = V::andnot(within_3pi4, within_5pi4);
  const M multiple3 = V::andnot(within_5pi4, within_7pi4);
  const M multiple4 = V::andnot(within_7pi4, within_9pi4);
  const M medium =
      V::mor(V::mor(V::mand(V::mor(multiple1, multiple2), near_axis),
                    V::mand(multiple3, V::eq(ix, V::set1i(0x4012d97c)))),
             V::mor(V::mand(multiple4, V::eq(ix, V::set1i(0x401921fb))), V::mnot(within_9pi4)));

  // One-to-four multiples of the two-word pi/2 (the classic constants, with
  // n * pio2_1t rounded once as constant folding does).
  D step = V::set1(4 * pc::pio2_1);
  D tail = V::set1(4 * pc::pio2_1t);
  step = V::blend(multiple3, step, V::set1(3 * pc::pio2_1));
  tail = V::blend(multiple3, tail, V::set1(3 * pc::pio2_1t));
  step = V::blend(multiple2, step, V::set1(2 * pc::pio2_1));
  tail = V::blend(multiple2, tail, V::set1(2 * pc::pio2_1t));
  step = V::blend(multiple1, step, V::set1(pc::pio2_1));
  tail = V::blend(multiple1, tail, V::set1(pc::pio2_1t));
  const D z0 = V::sub(theta, step);
  const D hi_reduced = V::sub(z0, tail);
  const D lo_reduced = V::sub(V::sub(z0, hi_reduced), tail);
  const D hi = V::blend(no_reduction, hi_reduced, theta);
  const D lo = V::blend(no_reduction, lo_reduced, V::set1(0.0));

  // The sine kernel (both forms: with and without the tail) and the cosine kernel.
  const D z = V::mul(hi, hi);
  const D w = V::mul(z, z);
  const D rs = V::add(
      V::add(V::set1(pc::S2), V::mul(z, V::add(V::set1(pc::S3), V::mul(z, V::set1(pc::S4))))),
      V::mul(V::mul(z, w), V::add(V::set1(pc::S5), V::mul(z, V::set1(pc::S6)))));
  const D v = V::mul(z, hi);
  const D sin_plain = V::add(hi, V::mul(v, V::add(V::set1(pc::S1), V::mul(z, rs))));
  const D sin_tailed =
      V::sub(hi, V::sub(V::sub(V::mul(z, V::sub(V::mul(V::set1(0.5), lo), V::mul(v, rs))), lo),
                        V::mul(v, V::set1(pc::S1))));
  const D rc = V::add(
      V::mul(z, V::add(V::set1(pc::C1),
                       V::mul(z, V::add(V::set1(pc::C2), V::mul(z, V::set1(pc::C3)))))),
      V::mul(V::mul(w, w), V::add(V::set1(pc::C4),
                                  V::mul(z, V::add(V::set1(pc::C5), V::mul(z, V::set1(pc::C6)))))));
  const D hz = V::mul(V::set1(0.5), z);
  const D one_minus_hz = V::sub(V::set1(1.0), hz);
  const D cos_k = V::add(one_minus_hz, V::add(V::sub(V::sub(V::set1(1.0), one_minus_hz), hz),
                                              V::sub(V::mul(z, rc), V::mul(hi, lo))));
  const D sin_k = V::blend(no_reduction, sin_tailed, sin_plain);

  // Quadrant 1: (sin, cos) = (cos_k, -sin_k); 2: (-sin_k, -cos_k); 3: (-cos_k, sin_k); 0 or 4: as
  // is.
  D sine = sin_k;
  D cosine = cos_k;
  sine = V::blend(multiple1, sine, cos_k);
  cosine = V::blend(multiple1, cosine, V::neg(sin_k));
  sine = V::blend(multiple2, sine, V::neg(sin_k));
  cosine = V::blend(multiple2, cosine, V::neg(cos_k));
  sine = V::blend(multiple3, sine, V::neg(cos_k));
  cosine = V::blend(multiple3, cosine, sin_k);
  // Tiny angles: sin returns the angle, cos returns 1.
  sine = V::blend(V::lt(ix, V::set1i(0x3e500000)), sine, theta);
  cosine = V::blend(V::lt(ix, V::set1i(0x3e46a09e)), cosine, V::set1(1.0));

  V::store_interleaved(out, V::mul(r, cosine), V::mul(r, sine));

  unsigned redo = V::bits(medium);
  while (redo != 0) {
    const int lane = __builtin_ctz(redo);
    redo &= redo - 1;
    box_muller_scalar(draws + 2 * lane, 1, out + 2 * lane);
  }
}

template <class V>
MARROWFIN_SIMD_TARGET inline void box_muller_batch(const std::uint64_t* draws, std::size_t pairs,
                                                   double* out) {
  std::size_t p = 0;
  for (; p + V::width <= pairs; p += V::width) box_muller_lanes<V>(draws + 2 * p, out + 2 * p);
  box_muller_scalar(draws + 2 * p, pairs - p, out + 2 * p);
}

}  // namespace
}  // namespace marrowfin::rotation::stream_kernels
