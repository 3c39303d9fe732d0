// Eight binary64 lanes with AVX-512 F, DQ and VL (Level::Avx512): the vector
// operations the kernels are written in, each one intrinsic. VL lets 256-bit
// code in the same units use all 32 vector registers. Every function carries
// MARROWFIN_AVX512_TARGET and so must its callers. Included only by the
// AVX-512 translation units (`*_avx512.cpp`), which the build compiles without
// GCC's uninitialised-use warnings: its own AVX-512 intrinsics start from
// deliberately undefined pass-through registers.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define MARROWFIN_AVX512_TARGET __attribute__((target("avx512f,avx512dq,avx512vl")))

namespace marrowfin::simd {

struct Avx512Lanes {
  using D = __m512d;   // eight doubles
  using I = __m512i;   // eight 64-bit integers
  using M = __mmask8;  // one bit per lane
  static constexpr std::size_t width = 8;

  MARROWFIN_AVX512_TARGET static D zero() { return _mm512_setzero_pd(); }
  MARROWFIN_AVX512_TARGET static D set1(double v) { return _mm512_set1_pd(v); }
  MARROWFIN_AVX512_TARGET static D load(const double* p) { return _mm512_loadu_pd(p); }
  MARROWFIN_AVX512_TARGET static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
  // The first `count` lanes; the others read as zero and are never touched in memory.
  MARROWFIN_AVX512_TARGET static D load_part(const double* p, std::size_t count) {
    return _mm512_maskz_loadu_pd(first_lanes(count), p);
  }
  MARROWFIN_AVX512_TARGET static void store_part(double* p, D v, std::size_t count) {
    _mm512_mask_storeu_pd(p, first_lanes(count), v);
  }
  MARROWFIN_AVX512_TARGET static D add(D a, D b) { return _mm512_add_pd(a, b); }
  MARROWFIN_AVX512_TARGET static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
  MARROWFIN_AVX512_TARGET static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
  MARROWFIN_AVX512_TARGET static D div(D a, D b) { return _mm512_div_pd(a, b); }
  MARROWFIN_AVX512_TARGET static D sqrt(D a) { return _mm512_sqrt_pd(a); }
  MARROWFIN_AVX512_TARGET static D neg(D a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
  MARROWFIN_AVX512_TARGET static M is_nan(D a) { return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q); }

  MARROWFIN_AVX512_TARGET static I set1i(std::int64_t v) { return _mm512_set1_epi64(v); }
  MARROWFIN_AVX512_TARGET static I addi(I a, I b) { return _mm512_add_epi64(a, b); }
  MARROWFIN_AVX512_TARGET static I subi(I a, I b) { return _mm512_sub_epi64(a, b); }
  MARROWFIN_AVX512_TARGET static I andi(I a, I b) { return _mm512_and_si512(a, b); }
  MARROWFIN_AVX512_TARGET static I ori(I a, I b) { return _mm512_or_si512(a, b); }
  template <int S>
  MARROWFIN_AVX512_TARGET static I srli(I a) {
    return _mm512_srli_epi64(a, S);
  }
  template <int S>
  MARROWFIN_AVX512_TARGET static I slli(I a) {
    return _mm512_slli_epi64(a, S);
  }
  MARROWFIN_AVX512_TARGET static D castd(I a) { return _mm512_castsi512_pd(a); }
  MARROWFIN_AVX512_TARGET static I casti(D a) { return _mm512_castpd_si512(a); }
  // Exact for values below 2^53.
  MARROWFIN_AVX512_TARGET static D u53_to_double(I a) { return _mm512_cvtepu64_pd(a); }
  // Exact for |a| below 2^53.
  MARROWFIN_AVX512_TARGET static D small_int_to_double(I a) { return _mm512_cvtepi64_pd(a); }

  MARROWFIN_AVX512_TARGET static M le(I a, I b) { return _mm512_cmple_epi64_mask(a, b); }
  MARROWFIN_AVX512_TARGET static M lt(I a, I b) { return _mm512_cmplt_epi64_mask(a, b); }
  MARROWFIN_AVX512_TARGET static M eq(I a, I b) { return _mm512_cmpeq_epi64_mask(a, b); }
  MARROWFIN_AVX512_TARGET static M mand(M a, M b) { return static_cast<M>(a & b); }
  MARROWFIN_AVX512_TARGET static M mor(M a, M b) { return static_cast<M>(a | b); }
  MARROWFIN_AVX512_TARGET static M mnot(M a) { return static_cast<M>(~a); }
  // b and not a.
  MARROWFIN_AVX512_TARGET static M andnot(M a, M b) { return static_cast<M>(~a & b); }
  // Lanes of `mask` take if_set, the others keep if_clear.
  MARROWFIN_AVX512_TARGET static D blend(M mask, D if_clear, D if_set) {
    return _mm512_mask_blend_pd(mask, if_clear, if_set);
  }
  MARROWFIN_AVX512_TARGET static unsigned bits(M mask) { return mask; }

  // Lane l of `first` = words[2l], of `second` = words[2l + 1].
  MARROWFIN_AVX512_TARGET static void load_pairs(const std::uint64_t* words, I& first, I& second) {
    const I a = _mm512_loadu_si512(words);
    const I b = _mm512_loadu_si512(words + 8);
    first = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), b);
    second = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), b);
  }
  // out[2l] = even lane l, out[2l + 1] = odd lane l.
  MARROWFIN_AVX512_TARGET static void store_interleaved(double* out, D even, D odd) {
    _mm512_storeu_pd(
        out, _mm512_permutex2var_pd(even, _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11), odd));
    _mm512_storeu_pd(
        out + 8, _mm512_permutex2var_pd(even, _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15), odd));
  }
  // Each lane rounded to float32, stored to out[0..8).
  MARROWFIN_AVX512_TARGET static void store_floats(float* out, D v) {
    _mm256_storeu_ps(out, _mm512_cvtpd_ps(v));
  }

 private:
  MARROWFIN_AVX512_TARGET static M first_lanes(std::size_t count) {
    return static_cast<M>((1u << count) - 1u);
  }
};

}  // namespace marrowfin::simd
