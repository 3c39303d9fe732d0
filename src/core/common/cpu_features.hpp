// The instruction-set extensions the kernels dispatch on, queried once for
// the whole process. All false off x86-64.
#pragma once

namespace marrowfin {

struct CpuFeatures {
  bool avx2 = false;
  bool f16c = false;
  bool avx512f = false;
  bool avx512dq = false;
  bool avx512vl = false;
};

[[nodiscard]] const CpuFeatures& cpu_features() noexcept;

}  // namespace marrowfin
