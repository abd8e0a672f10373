#include "features/kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora::features::detail {

namespace {

// Sixteen-byte vectors: the baseline's SSE2 registers.
using u8x16 = std::uint8_t __attribute__((vector_size(16)));
using u8x8 = std::uint8_t __attribute__((vector_size(8)));
using u16x8 = std::uint16_t __attribute__((vector_size(16)));
using i16x8 = std::int16_t __attribute__((vector_size(16)));

template <class V>
inline V load(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
inline void store(void* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace

namespace {

void row_codes5_generic(const std::uint8_t* d, std::size_t n, std::uint16_t* out) {
  std::size_t i = 0;
  // Eight codes from 16-bit lanes that each hold an even and an odd column:
  // the loads at +2 and +4 bytes reach 2i + 19.
  for (; i + 8 <= n && 2 * i + 20 <= 2 * n + 3; i += 8) {
    const u16x8 v0 = load<u16x8>(d + 2 * i);
    const u16x8 v1 = load<u16x8>(d + 2 * i + 2);
    const u16x8 v2 = load<u16x8>(d + 2 * i + 4);
    const u16x8 code =
        625 * (v0 & 0xFF) + 125 * (v0 >> 8) + 25 * (v1 & 0xFF) + 5 * (v1 >> 8) + (v2 & 0xFF);
    store(out + i, code);
  }
  for (; i < n; ++i) {
    const std::uint8_t* p = d + 2 * i;
    out[i] = static_cast<std::uint16_t>(625 * p[0] + 125 * p[1] + 25 * p[2] + 5 * p[3] + p[4]);
  }
}

// out[x] = the base-5 number whose K digits are r[0][x] ... r[K - 1][x],
// the first the most significant.
template <std::size_t K>
void column_codes(const std::uint8_t* const r[K], std::size_t n, std::uint16_t* out) {
  std::size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    u16x8 code = __builtin_convertvector(load<u8x8>(r[0] + x), u16x8);
    for (std::size_t k = 1; k < K; ++k)
      code = 5 * code + __builtin_convertvector(load<u8x8>(r[k] + x), u16x8);
    store(out + x, code);
  }
  for (; x < n; ++x) {
    unsigned code = r[0][x];
    for (std::size_t k = 1; k < K; ++k)
      code = 5 * code + r[k][x];
    out[x] = static_cast<std::uint16_t>(code);
  }
}

void column_codes5_generic(const std::uint8_t* const r[5], std::size_t n, std::uint16_t* out) {
  column_codes<5>(r, n, out);
}

}  // namespace

void codes4(const std::uint8_t* const r[4], std::size_t n, std::uint16_t* out) {
  column_codes<4>(r, n, out);
}

namespace {

void min_max_rows_generic(const std::uint8_t* const* src, std::size_t count, std::size_t n,
                          std::uint8_t* lo, std::uint8_t* hi) {
  std::size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    u8x16 a = load<u8x16>(src[0] + x), b = a;
    for (std::size_t k = 1; k < count; ++k) {
      const u8x16 v = load<u8x16>(src[k] + x);
      a = v < a ? v : a;
      b = v > b ? v : b;
    }
    if (lo != nullptr) store(lo + x, a);
    if (hi != nullptr) store(hi + x, b);
  }
  for (; x < n; ++x) {
    std::uint8_t a = src[0][x], b = a;
    for (std::size_t k = 1; k < count; ++k) {
      a = std::min(a, src[k][x]);
      b = std::max(b, src[k][x]);
    }
    if (lo != nullptr) lo[x] = a;
    if (hi != nullptr) hi[x] = b;
  }
}

void residual_codes_generic(const std::int16_t* const* src, const std::int16_t* weights,
                            std::size_t taps, std::size_t n, Thresholds th, std::uint8_t* out) {
  const std::int16_t t1 = th.up1, t2 = th.up2;
  const auto nt1 = static_cast<std::int16_t>(-th.down1), nt2 = static_cast<std::int16_t>(-th.down2);
  std::size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    i16x8 r = weights[0] * load<i16x8>(src[0] + x);
    for (std::size_t t = 1; t < taps; ++t)
      r += weights[t] * load<i16x8>(src[t] + x);
    // Comparisons give -1 where they hold.
    const i16x8 code = 2 - (r >= t1) - (r >= t2) + (r <= nt1) + (r <= nt2);
    store(out + x, __builtin_convertvector(code, u8x8));
  }
  for (; x < n; ++x) {
    int r = 0;
    for (std::size_t t = 0; t < taps; ++t)
      r += weights[t] * src[t][x];
    out[x] = static_cast<std::uint8_t>(2 + (r >= t1) + (r >= t2) - (r <= nt1) - (r <= nt2));
  }
}

#ifdef VELMORA_X86_KERNELS

// The AVX2 loops handle a remainder by repeating the last full block at an
// overlap: every output is a function of its inputs alone, so writing it
// twice changes nothing.

// The same codes with byte arithmetic: a pair of codes a, b gives
// 5 a + b <= 24, and pmaddubsw multiplies and adds the two bytes of each
// 16-bit lane.
__attribute__((target("avx2"))) void row_codes5_avx2(const std::uint8_t* d, std::size_t n,
                                                     std::uint16_t* out) {
  const __m256i five_one = _mm256_set1_epi16(0x0105);  // low byte x 5 + high byte x 1
  const __m256i low_byte = _mm256_set1_epi16(0x00FF);
  const __m256i k125 = _mm256_set1_epi16(125), k5 = _mm256_set1_epi16(5);
  if (n < 16) return row_codes5_generic(d, n, out);
  // Sixteen codes at a time, the last block overlapping the one before; the
  // loads at +2 and +4 bytes reach 2i + 35, one byte past the row's values
  // for the last block (into the padding).
  for (std::size_t i = 0;; i += 16) {
    if (i + 16 > n) i = n - 16;
    const auto* p = reinterpret_cast<const __m256i*>(d + 2 * i);
    const __m256i pair0 = _mm256_maddubs_epi16(_mm256_loadu_si256(p), five_one);
    const __m256i pair1 = _mm256_maddubs_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + 2 * i + 2)), five_one);
    const __m256i last = _mm256_and_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + 2 * i + 4)), low_byte);
    const __m256i code = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(pair0, k125), _mm256_mullo_epi16(pair1, k5)), last);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), code);
    if (i + 16 == n) break;
  }
}

// 5 x for bytes below 64, whose left shift stays inside each byte.
__attribute__((target("avx2"))) inline __m256i times5(__m256i x) {
  return _mm256_add_epi8(_mm256_slli_epi16(x, 2), x);
}

__attribute__((target("avx2"))) void column_codes5_avx2(const std::uint8_t* const r[5],
                                                        std::size_t n, std::uint16_t* out) {
  if (n < 32) return column_codes5_generic(r, n, out);
  const __m256i one_125 = _mm256_set1_epi16(0x7D01);  // low byte x 1 + high byte x 125
  for (std::size_t x = 0;; x += 32) {
    if (x + 32 > n) x = n - 32;
    __m256i v[5];
    for (std::size_t k = 0; k < 5; ++k)
      v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r[k] + x));
    const __m256i high = _mm256_add_epi8(times5(v[0]), v[1]);  // 5 a + b
    const __m256i mid = _mm256_add_epi8(times5(v[2]), v[3]);   // 5 c + d
    const __m256i low = _mm256_add_epi8(times5(mid), v[4]);    // 25 c + 5 d + e
    const __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(low, high), one_125);
    const __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(low, high), one_125);
    // The unpacks work within 128-bit halves: lo holds columns 0-7 and
    // 16-23, hi 8-15 and 24-31.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + 16),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
    if (x + 32 == n) break;
  }
}

__attribute__((target("avx2"))) inline __m256i quantize16(__m256i r, __m256i t1m, __m256i t2m,
                                                          __m256i nt1p, __m256i nt2p) {
  // 2 + [r > t1 - 1] + [r > t2 - 1] - [1 - t1 > r] - [1 - t2 > r], the
  // comparisons giving -1 where they hold.
  __m256i code = _mm256_sub_epi16(_mm256_set1_epi16(2), _mm256_cmpgt_epi16(r, t1m));
  code = _mm256_sub_epi16(code, _mm256_cmpgt_epi16(r, t2m));
  code = _mm256_add_epi16(code, _mm256_cmpgt_epi16(nt1p, r));
  return _mm256_add_epi16(code, _mm256_cmpgt_epi16(nt2p, r));
}

__attribute__((target("avx2"))) inline __m256i residual16(const std::int16_t* const* src,
                                                          const std::int16_t* weights,
                                                          std::size_t taps, std::size_t x) {
  __m256i r = _mm256_setzero_si256();
  for (std::size_t t = 0; t < taps; ++t) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[t] + x));
    r = _mm256_add_epi16(r, _mm256_mullo_epi16(v, _mm256_set1_epi16(weights[t])));
  }
  return r;
}

__attribute__((target("avx2"))) void residual_codes_avx2(const std::int16_t* const* src,
                                                         const std::int16_t* weights,
                                                         std::size_t taps, std::size_t n,
                                                         Thresholds th, std::uint8_t* out) {
  if (n < 32) return residual_codes_generic(src, weights, taps, n, th, out);
  const __m256i t1m = _mm256_set1_epi16(static_cast<std::int16_t>(th.up1 - 1));
  const __m256i t2m = _mm256_set1_epi16(static_cast<std::int16_t>(th.up2 - 1));
  const __m256i nt1p = _mm256_set1_epi16(static_cast<std::int16_t>(1 - th.down1));
  const __m256i nt2p = _mm256_set1_epi16(static_cast<std::int16_t>(1 - th.down2));
  // Thirty-two pixels at a time; the last block overlaps the one before
  // rather than leaving a remainder (the codes are the same either way).
  for (std::size_t x = 0;; x += 32) {
    if (x + 32 > n) x = n - 32;
    const __m256i lo = quantize16(residual16(src, weights, taps, x), t1m, t2m, nt1p, nt2p);
    const __m256i hi = quantize16(residual16(src, weights, taps, x + 16), t1m, t2m, nt1p, nt2p);
    // packus interleaves the 128-bit halves; the permutation restores order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), packed);
    if (x + 32 == n) break;
  }
}

__attribute__((target("avx2"))) void min_max_rows_avx2(const std::uint8_t* const* src,
                                                       std::size_t count, std::size_t n,
                                                       std::uint8_t* lo, std::uint8_t* hi) {
  if (n < 32) return min_max_rows_generic(src, count, n, lo, hi);
  for (std::size_t x = 0;; x += 32) {
    if (x + 32 > n) x = n - 32;
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[0] + x)), b = a;
    for (std::size_t k = 1; k < count; ++k) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[k] + x));
      a = _mm256_min_epu8(a, v);
      b = _mm256_max_epu8(b, v);
    }
    if (lo != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo + x), a);
    if (hi != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(hi + x), b);
    if (x + 32 == n) break;
  }
}

std::atomic<bool> avx2_allowed{true};

bool have_avx2() {
  static const bool cpu = __builtin_cpu_supports("avx2");
  return cpu && avx2_allowed.load(std::memory_order_relaxed);
}

#endif

}  // namespace

void row_codes5(const std::uint8_t* d, std::size_t n, std::uint16_t* out) {
#ifdef VELMORA_X86_KERNELS
  if (have_avx2()) return row_codes5_avx2(d, n, out);
#endif
  row_codes5_generic(d, n, out);
}

void column_codes5(const std::uint8_t* const r[5], std::size_t n, std::uint16_t* out) {
#ifdef VELMORA_X86_KERNELS
  if (have_avx2()) return column_codes5_avx2(r, n, out);
#endif
  column_codes5_generic(r, n, out);
}

void allow_avx2(bool allowed) {
#ifdef VELMORA_X86_KERNELS
  avx2_allowed.store(allowed, std::memory_order_relaxed);
#else
  (void)allowed;
#endif
}

void min_max_rows(const std::uint8_t* const* src, std::size_t count, std::size_t n,
                  std::uint8_t* lo, std::uint8_t* hi) {
#ifdef VELMORA_X86_KERNELS
  if (have_avx2()) return min_max_rows_avx2(src, count, n, lo, hi);
#endif
  min_max_rows_generic(src, count, n, lo, hi);
}

void residual_codes(const std::int16_t* const* src, const std::int16_t* weights, std::size_t taps,
                    std::size_t n, Thresholds t, std::uint8_t* out) {
#ifdef VELMORA_X86_KERNELS
  if (have_avx2()) return residual_codes_avx2(src, weights, taps, n, t, out);
#endif
  residual_codes_generic(src, weights, taps, n, t, out);
}

}  // namespace velmora::features::detail
