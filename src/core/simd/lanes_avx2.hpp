// Four binary64 lanes with AVX2 (Level::Avx2): the vector operations the
// kernels of every family are written in. Masks are whole lanes of ones or
// zeros. Every function carries MARROWFIN_AVX2_TARGET and so must its
// callers; the rest of the library stays baseline x86-64, so only the
// per-level translation units (`*_avx2.cpp`, `*_avx512.cpp`) include this.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define MARROWFIN_AVX2_TARGET __attribute__((target("avx2")))

namespace marrowfin::simd {

struct Avx2Lanes {
  using D = __m256d;  // four doubles
  using I = __m256i;  // four 64-bit integers
  using M = __m256i;  // all ones or all zeros per lane
  static constexpr std::size_t width = 4;

  MARROWFIN_AVX2_TARGET static D zero() { return _mm256_setzero_pd(); }
  MARROWFIN_AVX2_TARGET static D set1(double v) { return _mm256_set1_pd(v); }
  MARROWFIN_AVX2_TARGET static D load(const double* p) { return _mm256_loadu_pd(p); }
  MARROWFIN_AVX2_TARGET static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
  // The first `count` lanes; the others read as zero and are never touched in memory.
  MARROWFIN_AVX2_TARGET static D load_part(const double* p, std::size_t count) {
    return _mm256_maskload_pd(p, first_lanes(count));
  }
  MARROWFIN_AVX2_TARGET static void store_part(double* p, D v, std::size_t count) {
    _mm256_maskstore_pd(p, first_lanes(count), v);
  }
  MARROWFIN_AVX2_TARGET static D add(D a, D b) { return _mm256_add_pd(a, b); }
  MARROWFIN_AVX2_TARGET static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  MARROWFIN_AVX2_TARGET static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  MARROWFIN_AVX2_TARGET static D div(D a, D b) { return _mm256_div_pd(a, b); }
  MARROWFIN_AVX2_TARGET static D sqrt(D a) { return _mm256_sqrt_pd(a); }
  MARROWFIN_AVX2_TARGET static D neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  MARROWFIN_AVX2_TARGET static M is_nan(D a) { return casti(_mm256_cmp_pd(a, a, _CMP_UNORD_Q)); }

  MARROWFIN_AVX2_TARGET static I set1i(std::int64_t v) { return _mm256_set1_epi64x(v); }
  MARROWFIN_AVX2_TARGET static I addi(I a, I b) { return _mm256_add_epi64(a, b); }
  MARROWFIN_AVX2_TARGET static I subi(I a, I b) { return _mm256_sub_epi64(a, b); }
  MARROWFIN_AVX2_TARGET static I andi(I a, I b) { return _mm256_and_si256(a, b); }
  MARROWFIN_AVX2_TARGET static I ori(I a, I b) { return _mm256_or_si256(a, b); }
  template <int S>
  MARROWFIN_AVX2_TARGET static I srli(I a) {
    return _mm256_srli_epi64(a, S);
  }
  template <int S>
  MARROWFIN_AVX2_TARGET static I slli(I a) {
    return _mm256_slli_epi64(a, S);
  }
  MARROWFIN_AVX2_TARGET static D castd(I a) { return _mm256_castsi256_pd(a); }
  MARROWFIN_AVX2_TARGET static I casti(D a) { return _mm256_castpd_si256(a); }
  // Exact for values below 2^53: both 32-bit halves convert exactly through
  // the exponent trick and their sum is representable.
  MARROWFIN_AVX2_TARGET static D u53_to_double(I a) {
    const D low = _mm256_sub_pd(
        castd(_mm256_or_si256(_mm256_and_si256(a, set1i(0xffffffff)), set1i(0x4330000000000000))),
        _mm256_set1_pd(0x1p52));
    const D high =
        _mm256_sub_pd(castd(_mm256_or_si256(_mm256_srli_epi64(a, 32), set1i(0x4530000000000000))),
                      _mm256_set1_pd(0x1p84));
    return _mm256_add_pd(high, low);
  }
  // Exact for |a| below 2^51.
  MARROWFIN_AVX2_TARGET static D small_int_to_double(I a) {
    return _mm256_sub_pd(castd(_mm256_add_epi64(a, set1i(0x4338000000000000))),
                         _mm256_set1_pd(0x1.8p52));
  }

  MARROWFIN_AVX2_TARGET static M le(I a, I b) { return mnot(_mm256_cmpgt_epi64(a, b)); }
  MARROWFIN_AVX2_TARGET static M lt(I a, I b) { return _mm256_cmpgt_epi64(b, a); }
  MARROWFIN_AVX2_TARGET static M eq(I a, I b) { return _mm256_cmpeq_epi64(a, b); }
  MARROWFIN_AVX2_TARGET static M mand(M a, M b) { return _mm256_and_si256(a, b); }
  MARROWFIN_AVX2_TARGET static M mor(M a, M b) { return _mm256_or_si256(a, b); }
  MARROWFIN_AVX2_TARGET static M mnot(M a) { return _mm256_xor_si256(a, _mm256_set1_epi64x(-1)); }
  // b and not a.
  MARROWFIN_AVX2_TARGET static M andnot(M a, M b) { return _mm256_andnot_si256(a, b); }
  // Lanes of `mask` take if_set, the others keep if_clear.
  MARROWFIN_AVX2_TARGET static D blend(M mask, D if_clear, D if_set) {
    return _mm256_blendv_pd(if_clear, if_set, castd(mask));
  }
  MARROWFIN_AVX2_TARGET static unsigned bits(M mask) {
    return static_cast<unsigned>(_mm256_movemask_pd(castd(mask)));
  }

  // Lane l of `first` = words[2l], of `second` = words[2l + 1].
  MARROWFIN_AVX2_TARGET static void load_pairs(const std::uint64_t* words, I& first, I& second) {
    const I a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));      // w0 w1 w2 w3
    const I b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 4));  // w4 w5 w6 w7
    // The unpacks give w0 w4 w2 w6 / w1 w5 w3 w7; the permute restores pair order.
    first = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xd8);
    second = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), 0xd8);
  }
  // out[2l] = even lane l, out[2l + 1] = odd lane l.
  MARROWFIN_AVX2_TARGET static void store_interleaved(double* out, D even, D odd) {
    const D low = _mm256_unpacklo_pd(even, odd);   // e0 o0 e2 o2
    const D high = _mm256_unpackhi_pd(even, odd);  // e1 o1 e3 o3
    _mm256_storeu_pd(out, _mm256_permute2f128_pd(low, high, 0x20));
    _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(low, high, 0x31));
  }
  // Each lane rounded to float32, stored to out[0..4).
  MARROWFIN_AVX2_TARGET static void store_floats(float* out, D v) {
    _mm_storeu_ps(out, _mm256_cvtpd_ps(v));
  }

 private:
  MARROWFIN_AVX2_TARGET static I first_lanes(std::size_t count) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<std::int64_t>(count)),
                              _mm256_setr_epi64x(0, 1, 2, 3));
  }
};

}  // namespace marrowfin::simd
