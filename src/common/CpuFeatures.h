#pragma once
// Instruction-set extensions that the build does not assume but fast paths may use when the
// processor has them (code for them is compiled with a target attribute and chosen at run time).
// SetCpuExtensionsEnabled(false) makes every query answer false, so that tests can run the
// baseline code, the one processors without the extensions run, on the same machine.

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#define KIV_HAVE_X86_SIMD 1
#endif

inline std::atomic<bool> cpuExtensionsEnabled{true};

inline void SetCpuExtensionsEnabled(bool enabled) {
    cpuExtensionsEnabled.store(enabled, std::memory_order_relaxed);
}

// Whether an extension the processor has may be used now.
inline bool CpuExtensionUsable(bool processorHasIt) {
    return processorHasIt && cpuExtensionsEnabled.load(std::memory_order_relaxed);
}

// Every x86-64 processor has SSE2, so the build assumes it; the query lets tests turn the paths
// that use it off as well, and run the portable code that processors without it (ARM) run.
inline bool CpuHasSSE2() {
#if defined(__SSE2__)
    return CpuExtensionUsable(true);
#else
    return false;
#endif
}

inline bool CpuHasSSSE3() {
#if defined(KIV_HAVE_X86_SIMD)
    static const bool have = __builtin_cpu_supports("ssse3");
    return CpuExtensionUsable(have);
#else
    return false;
#endif
}

inline bool CpuHasAVX2() {
#if defined(KIV_HAVE_X86_SIMD)
    static const bool have = __builtin_cpu_supports("avx2");
    return CpuExtensionUsable(have);
#else
    return false;
#endif
}
