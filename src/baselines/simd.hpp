// Four-lane double vectors (GCC's vector extensions) and the elementary
// functions the baselines need, exp, log and log2, written once for them.
//
// Every function here is a fixed sequence of IEEE operations without fused
// multiply-adds, so the same source gives the same bits wherever it is
// compiled: in a function built for the baseline x86-64 (where a vector is
// two SSE2 registers) and in one built with target("avx2") (one register),
// which is how the kernels choose their code path at run time. Nothing is
// gathered from memory and no operation lacks an AVX2 instruction. exp
// reduces by eighths of ln 2 with a table of eight entries; log and log2
// follow fdlibm (Sun Microsystems), log(1 + f) split into a high and a low
// part as its log2 does.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The vectors are passed between always-inlined functions only, never across
// an ABI boundary: GCC's note on the AVX calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#define VELMORA_ALWAYS_INLINE inline __attribute__((always_inline))

namespace velmora::baselines::simd {

using f64x4 = double __attribute__((vector_size(32)));
using i64x4 = std::int64_t __attribute__((vector_size(32)));
using u64x4 = std::uint64_t __attribute__((vector_size(32)));
using f32x4 = float __attribute__((vector_size(16)));

VELMORA_ALWAYS_INLINE f64x4 splat(double v) {
  return f64x4{v, v, v, v};
}
VELMORA_ALWAYS_INLINE i64x4 splat_i(std::int64_t v) {
  return i64x4{v, v, v, v};
}

template <class V, class T>
VELMORA_ALWAYS_INLINE V load(const T* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V, class T>
VELMORA_ALWAYS_INLINE void store(T* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

VELMORA_ALWAYS_INLINE i64x4 bits(f64x4 v) {
  return std::bit_cast<i64x4>(v);
}
VELMORA_ALWAYS_INLINE f64x4 from_bits(i64x4 v) {
  return std::bit_cast<f64x4>(v);
}
// Lane-wise a where mask (all ones) else b.
VELMORA_ALWAYS_INLINE f64x4 select(i64x4 mask, f64x4 a, f64x4 b) {
  return from_bits((bits(a) & mask) | (bits(b) & ~mask));
}
VELMORA_ALWAYS_INLINE f64x4 max(f64x4 a, f64x4 b) {
  return a > b ? a : b;
}
VELMORA_ALWAYS_INLINE f64x4 abs(f64x4 v) {
  return from_bits(bits(v) & static_cast<std::int64_t>(0x7fffffffffffffffULL));
}

// 2^(j/8) for j < 8: the double nearest to it, and the rest.
inline constexpr double kExp2Hi[8] = {
    0x1.0000000000000p+0, 0x1.172b83c7d517bp+0, 0x1.306fe0a31b715p+0, 0x1.4bfdad5362a27p+0,
    0x1.6a09e667f3bcdp+0, 0x1.8ace5422aa0dbp+0, 0x1.ae89f995ad3adp+0, 0x1.d5818dcfba487p+0};
inline constexpr double kExp2Lo[8] = {0x0.0p+0,
                                      -0x1.19041b9d78a76p-55,
                                      0x1.6f46ad23182e4p-55,
                                      0x1.d4397afec42e2p-56,
                                      -0x1.bdd3413b26456p-54,
                                      0x1.6e9f156864b27p-54,
                                      0x1.7a1cd345dcc81p-54,
                                      0x1.2ed02d75b3707p-55};

// table[j] for the three low bits j of each lane, by a tree of selects
// (no gather).
VELMORA_ALWAYS_INLINE f64x4 pick8(const double* table, i64x4 j) {
  const i64x4 b0 = (j & 1) != 0, b1 = (j & 2) != 0, b2 = (j & 4) != 0;
  const f64x4 t01 = b0 ? splat(table[1]) : splat(table[0]);
  const f64x4 t23 = b0 ? splat(table[3]) : splat(table[2]);
  const f64x4 t45 = b0 ? splat(table[5]) : splat(table[4]);
  const f64x4 t67 = b0 ? splat(table[7]) : splat(table[6]);
  const f64x4 t03 = b1 ? t23 : t01;
  const f64x4 t47 = b1 ? t67 : t45;
  return b2 ? t47 : t03;
}

// exp(x) for each lane, with an error of about half an ulp: +inf above
// 709.78, 0 below -745.13, NaN for NaN. x = (8 m + j) ln2/8 + r with
// |r| <= ln2/16; e^x = 2^m 2^(j/8) e^r, e^r - 1 by its Taylor polynomial of
// degree 8.
VELMORA_ALWAYS_INLINE f64x4 exp(f64x4 x) {
  constexpr double kInvLn2N = 0x1.71547652b82fep+3;  // 8 / ln 2
  constexpr double kLn2NHi = 0x1.62e42fee00000p-4;   // ln 2 / 8, 32 bits: k * it is exact
  constexpr double kLn2NLo = 0x1.a39ef35793c76p-36;  // the rest of ln 2 / 8
  constexpr double kShift = 0x1.8p52;                // v + kShift - kShift rounds v to an integer
  const f64x4 shift = splat(kShift);
  f64x4 kd = x * kInvLn2N + shift;
  // Lane arithmetic on the integers is done unsigned: it wraps, and the
  // lanes that a select discards below may hold any bits (x = +-inf, NaN).
  const i64x4 k = (i64x4)((u64x4)bits(kd) - (u64x4)bits(shift));
  kd = kd - shift;
  const f64x4 r = (x - kd * kLn2NHi) - kd * kLn2NLo;
  const f64x4 poly =
      0x1.0000000000000p-1 +
      r * (0x1.5555555555555p-3 +
           r * (0x1.5555555555555p-5 +
                r * (0x1.1111111111111p-7 +
                     r * (0x1.6c16c16c16c17p-10 +
                          r * (0x1.a01a01a01a01ap-13 + r * 0x1.a01a01a01a01ap-16)))));
  const f64x4 p = r + (r * r) * poly;
  // m = floor(k / 8), by a logical shift of k moved into the positive range
  // (AVX2 has no arithmetic shift of 64-bit lanes).
  const i64x4 j = k & 7;
  const i64x4 m = (i64x4)((((u64x4)k + (1 << 20)) >> 3) - (1 << 17));
  const f64x4 hi = pick8(kExp2Hi, j), lo = pick8(kExp2Lo, j);
  const f64x4 y = hi + (lo + hi * p);  // 2^(j/8) e^r, in [0.95, 1.9)
  // y * 2^m: by the exponent field, or in two steps where the result is
  // subnormal.
  const i64x4 normal = m >= -1020;
  const u64x4 ym = (u64x4)bits(y), mu = (u64x4)m;
  const f64x4 scaled = from_bits((i64x4)(ym + ((mu - 1) << 52))) * 2.0;  // m = 1024 included
  const f64x4 tiny = from_bits((i64x4)(ym + ((mu + 1000) << 52))) * 0x1p-1000;
  f64x4 result = select(normal, scaled, tiny);
  result = select(x > 7.09782712893383973096e+02, splat(__builtin_inf()), result);
  result = select(x < -7.45133219101941108420e+02, splat(0.0), result);
  return select(x != x, x, result);
}

// The reduction shared by log and log2: x = 2^k (1 + f) with
// sqrt(2)/2 <= 1 + f < sqrt(2), for positive finite x.
struct LogParts {
  f64x4 k;
  f64x4 f;
};

template <bool Subnormals = true>
VELMORA_ALWAYS_INLINE LogParts log_reduce(f64x4 x) {
  // Subnormals are first scaled into the normal range. Shifts are logical
  // (the sign bit of a valid x is clear; AVX2 has no arithmetic 64-bit shift).
  i64x4 subnormal{};
  if constexpr (Subnormals) {
    subnormal = x < 0x1p-1022;
    x = select(subnormal, x * 0x1p54, x);
  }
  const u64x4 b = (u64x4)(bits(x));
  u64x4 hx = b >> 32;
  const i64x4 k0 = (i64x4)(hx >> 20) - 1023 - (subnormal & 54);
  hx &= 0x000fffff;
  const u64x4 i = (hx + 0x95f64) & 0x100000;  // set when the mantissa is above sqrt(2)
  const u64x4 normed = ((hx | (i ^ 0x3ff00000)) << 32) | (b & 0xffffffff);
  const i64x4 k = k0 + (i64x4)(i >> 20);
  // k as a double, exactly, through the bits of 1.5 * 2^52 + k.
  const f64x4 shift = splat(0x1.8p52);
  return {from_bits(bits(shift) + k) - shift, from_bits((i64x4)(normed)) - 1.0};
}

// The special values of log and log2: -inf at 0, NaN below 0 and for NaN,
// +inf at +inf.
VELMORA_ALWAYS_INLINE f64x4 log_specials(f64x4 x, f64x4 result) {
  result = select(x == 0.0, splat(-__builtin_inf()), result);
  result = select(x == __builtin_inf(), x, result);
  return select(x < 0.0 || x != x, splat(__builtin_nan("")), result);
}

// s = f / (2 + f) and R(s^2) of fdlibm's log: log(1 + f) = f - hfsq +
// s (hfsq + R) with hfsq = f^2 / 2.
struct Log1pParts {
  f64x4 s;
  f64x4 R;
};

VELMORA_ALWAYS_INLINE Log1pParts log1p_parts(f64x4 f) {
  constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                   Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                   Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                   Lg7 = 1.479819860511658591e-01;
  const f64x4 s = f / (2.0 + f);
  const f64x4 z = s * s;
  const f64x4 w = z * z;
  const f64x4 t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
  const f64x4 t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
  return {s, t2 + t1};
}

// log(1 + f) = hi + lo for the f of log_reduce: hi = f - f^2 / 2 cut to its
// leading 21 bits (so that its products with 32-bit constants are exact),
// lo the rest with fdlibm's s (f^2 / 2 + R).
struct Log1pSplit {
  f64x4 hi;
  f64x4 lo;
};

VELMORA_ALWAYS_INLINE Log1pSplit log1p_split(f64x4 f) {
  const Log1pParts q = log1p_parts(f);
  const f64x4 hfsq = 0.5 * f * f;
  const f64x4 r = q.s * (hfsq + q.R);
  const f64x4 hi = from_bits(bits(f - hfsq) & static_cast<std::int64_t>(0xffffffff00000000ULL));
  return {hi, (f - hi) - hfsq + r};
}

// The natural logarithm, with an error of about half an ulp: k ln 2 +
// log(1 + f), both split into a high part whose sum is exact and the rest.
// With Checked false, for positive normal finite x only: the same values
// without the work for the other cases.
template <bool Checked = true>
VELMORA_ALWAYS_INLINE f64x4 log(f64x4 x) {
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 32 trailing zero bits
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  const LogParts p = log_reduce<Checked>(x);
  const Log1pSplit v = log1p_split(p.f);
  const f64x4 a = p.k * kLn2Hi;
  const f64x4 w = a + v.hi;
  const f64x4 rest = ((a - w) + v.hi) + (v.lo + p.k * kLn2Lo);
  if constexpr (!Checked) return w + rest;
  return log_specials(x, w + rest);
}

// The base-2 logarithm: k + log(1 + f) / ln 2 from the same split, as
// fdlibm's log2 computes it.
VELMORA_ALWAYS_INLINE f64x4 log2(f64x4 x) {
  constexpr double kInvLn2Hi = 1.44269504072144627571e+00;  // 32 trailing zero bits
  constexpr double kInvLn2Lo = 1.67517131648865118353e-10;
  const LogParts p = log_reduce(x);
  const Log1pSplit v = log1p_split(p.f);
  const f64x4 val_hi = v.hi * kInvLn2Hi;
  f64x4 val_lo = (v.lo + v.hi) * kInvLn2Lo + v.lo * kInvLn2Hi;
  const f64x4 w = p.k + val_hi;
  val_lo += (p.k - w) + val_hi;
  return log_specials(x, val_lo + w);
}

// Scalar forms: lane 0 of the vector functions.
VELMORA_ALWAYS_INLINE double exp(double x) {
  return exp(splat(x))[0];
}
VELMORA_ALWAYS_INLINE double log(double x) {
  return log(splat(x))[0];
}
VELMORA_ALWAYS_INLINE double log2(double x) {
  return log2(splat(x))[0];
}

}  // namespace velmora::baselines::simd
