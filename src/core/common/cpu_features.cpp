#include "core/common/cpu_features.hpp"

namespace marrowfin {

const CpuFeatures& cpu_features() noexcept {
  // __builtin_cpu_init makes the query safe even when it runs before the
  // runtime's own constructors (e.g. from another static initialiser).
  static const CpuFeatures features = [] {
    CpuFeatures found;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    found.avx2 = __builtin_cpu_supports("avx2") != 0;
    found.f16c = __builtin_cpu_supports("f16c") != 0;
    found.avx512f = __builtin_cpu_supports("avx512f") != 0;
    found.avx512dq = __builtin_cpu_supports("avx512dq") != 0;
    found.avx512vl = __builtin_cpu_supports("avx512vl") != 0;
#endif
    return found;
  }();
  return features;
}

}  // namespace marrowfin
