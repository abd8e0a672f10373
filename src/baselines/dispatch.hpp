// The run-time choice of the baselines' kernels: AVX2 (and FMA, for MiPOD's
// projection) where the CPU has them and they are allowed, the portable
// kernels otherwise. Both give the same bits; the engine's tests turn the
// vector kernels off to compare.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora::baselines {

namespace detail {
// Whether the baselines' kernels may use AVX2 (and FMA) on a CPU that has
// them (the default).
void allow_avx2(bool allowed);
}  // namespace detail

// Whether to run the AVX2 kernels now; with `fma`, the AVX2 and FMA ones.
bool use_avx2(bool fma = false);

}  // namespace velmora::baselines
