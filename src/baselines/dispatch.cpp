#include "baselines/dispatch.hpp"

#include <atomic>

namespace velmora::baselines {

namespace detail {
namespace {
std::atomic<bool> avx2_allowed{true};
}  // namespace

void allow_avx2(bool allowed) {
  avx2_allowed.store(allowed, std::memory_order_relaxed);
}
}  // namespace detail

bool use_avx2(bool fma) {
#ifdef VELMORA_X86_KERNELS
  static const bool avx2 = __builtin_cpu_supports("avx2");
  static const bool with_fma = avx2 && __builtin_cpu_supports("fma");
  return (fma ? with_fma : avx2) && detail::avx2_allowed.load(std::memory_order_relaxed);
#else
  (void)fma;
  return false;
#endif
}

}  // namespace velmora::baselines
