// The inner loops of the feature extractors, vectorized with GCC's vector
// extensions and compiled twice (AVX2 and the baseline), the faster one
// chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::features::detail {

// out[i] = 625 d[2i] + 125 d[2i+1] + 25 d[2i+2] + 5 d[2i+3] + d[2i+4] for
// i < n: the codes of the five-windows that start at even columns of a row
// of codes 0 ... 4 (which must hold 2n + 3 values).
//
// The arrays read by these functions must be followed by kReadPadding
// readable bytes.
void row_codes5(const std::uint8_t* d, std::size_t n, std::uint16_t* out);

// out[x] = 625 r[0][x] + 125 r[1][x] + 25 r[2][x] + 5 r[3][x] + r[4][x] for
// x < n: the codes of the five-windows down the columns of rows r[0 ... 4].
void column_codes5(const std::uint8_t* const r[5], std::size_t n, std::uint16_t* out);

// out[x] = 125 r[0][x] + 25 r[1][x] + 5 r[2][x] + r[3][x] for x < n: the
// codes of four-windows whose values are the rows r[0 ... 3] (rows of an
// array for windows down its columns, one row at offsets 0 ... 3 for windows
// along it).
void codes4(const std::uint8_t* const r[4], std::size_t n, std::uint16_t* out);

// lo[x] = the min and hi[x] = the max of src[k][x] over k < count (1 <= count
// <= 8); either output may be null.
void min_max_rows(const std::uint8_t* const* src, std::size_t count, std::size_t n,
                  std::uint8_t* lo, std::uint8_t* hi);

// The thresholds of a residual's quantization to codes 0 ... 4: code 2 +
// [r >= up1] + [r >= up2] - [r <= -down1] - [r <= -down2], for 1 <= up1 <=
// up2 and 1 <= down1 <= down2 (the same both ways for rounding half away
// from zero).
struct Thresholds {
  std::int16_t up1, up2, down1, down2;
};

// The quantized residual row: r[x] = sum over t < taps of weights[t] *
// src[t][x] in 16-bit arithmetic (residuals never leave it), stored as its
// code under `t`.
void residual_codes(const std::int16_t* const* src, const std::int16_t* weights, std::size_t taps,
                    std::size_t n, Thresholds t, std::uint8_t* out);

// Whether the kernels may use AVX2 instructions on a CPU that has them (the
// default). The engine's tests turn it off to compare both paths.
void allow_avx2(bool allowed);

// Bytes that every array the kernels read must have after its last element
// (the vector loops may read, but never use, a little beyond it).
constexpr std::size_t kReadPadding = 64;

}  // namespace velmora::features::detail
