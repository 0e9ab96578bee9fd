#pragma once
// Instruction-set extensions that the build does not assume but fast paths may use when the
// processor has them (code for them is compiled with a target attribute and chosen at run time).

#if defined(__x86_64__) || defined(__i386__)
#define KIV_HAVE_X86_SIMD 1
#endif

inline bool CpuHasSSSE3() {
#if defined(KIV_HAVE_X86_SIMD)
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
#else
    return false;
#endif
}
