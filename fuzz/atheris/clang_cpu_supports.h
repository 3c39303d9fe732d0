// Forced into every source of the fuzzing build (clang -include): clang before
// 16 rejects __builtin_cpu_supports("f16c"), which GCC accepts. This answers
// that one feature from CPUID leaf 1 (ECX bit 29) and passes the others on.
#pragma once

#include <cpuid.h>
#include <string.h>

static inline int marrowfin_fuzz_cpu_supports(const char* feature) {
  if (strcmp(feature, "f16c") == 0) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
  }
  if (strcmp(feature, "avx2") == 0) return __builtin_cpu_supports("avx2");
  if (strcmp(feature, "avx512f") == 0) return __builtin_cpu_supports("avx512f");
  if (strcmp(feature, "avx512dq") == 0) return __builtin_cpu_supports("avx512dq");
  if (strcmp(feature, "avx512vl") == 0) return __builtin_cpu_supports("avx512vl");
  return 0;
}

#define __builtin_cpu_supports(feature) marrowfin_fuzz_cpu_supports(feature)
