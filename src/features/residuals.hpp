// The rich model's residuals: the image under 30-odd linear filters in five
// families (first, second and third order, 3x3 and 5x5 SQUARE and EDGE),
// quantized with each family's steps and truncated to -2 ... 2, as codes
// 0 ... 4. The srm and maxsrm sets share them; they differ in how a value
// exactly halfway between two steps is rounded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::features::detail {

// A residual kernel: 5 x 5 weights centred on the pixel (row offsets -2 ... 2
// down, column offsets -2 ... 2 across).
using Kernel = std::array<std::array<std::int8_t, 5>, 5>;

struct ResidualFamily {
  const char* prefix;  // "s1", "s2", "s3", "s3x3", "s5x5"
  std::size_t crop;    // pixels left out at each edge
  std::span<const Kernel> bases;
  // Twice the quantization steps (the steps themselves may be halves), and
  // their names in the submodel names.
  std::array<int, 3> twice_q;
  std::array<const char*, 3> q_names;
  std::size_t q_count;
};

extern const ResidualFamily kResidualFamilies[5];

// How a quantized value exactly halfway between two integers is rounded:
// away from zero (the rich model's Matlab round), or down (maxSRM's C++
// release, which rounds x up only when x - floor(x) > 0.5).
enum class RoundTies { away, down };

// The quantized residuals of every base of `f` with step index `qi`, base
// after base, each (rows - 2 crop) x (cols - 2 crop) codes, into `out`; the
// image is `pixels`, row-major. `out` must be followed by kReadPadding bytes
// that the kernels may read.
void quantized_residuals(const std::int16_t* pixels, std::size_t rows, std::size_t cols,
                         const ResidualFamily& f, std::size_t qi, RoundTies ties,
                         std::uint8_t* out);

}  // namespace velmora::features::detail
