#include "imaging/processor_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

#if defined(__x86_64__) || defined(__i386__)
// F16C is read from the processor directly: not every compiler names it to
// __builtin_cpu_supports. CPUID leaf 1, ECX bit 29.
bool has_f16c() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & (1u << 29)) != 0;
}

bool runs_sse4() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
           __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul") &&
           __builtin_cpu_supports("aes");
}

bool runs_avx2() {
    return runs_sse4() && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("fma") && has_f16c();
}

bool runs_avx3() {
    return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#endif

}  // namespace

bool processor_runs(VectorBuild build) {
#if defined(__x86_64__) || defined(__i386__)
    // Each answer is computed once, on first use (thread-safe static initialisation).
    static const bool sse4 = runs_sse4();
    static const bool avx2 = runs_avx2();
    static const bool avx3 = runs_avx3();
    switch (build) {
        case VectorBuild::sse4:
            return sse4;
        case VectorBuild::avx2:
            return avx2;
        case VectorBuild::avx3:
            return avx3;
    }
#else
    (void)build;
#endif
    return false;
}
