// Run-time detection of the processor's AES and SHA instructions.
#include "crypto/fast_paths.hpp"

#if ZELNO_X86_FAST_PATHS
#include <cpuid.h>
#endif

namespace zelno {

namespace {

#if ZELNO_X86_FAST_PATHS
struct CpuFeatures {
    bool aes = false;
    bool sha = false;
};

CpuFeatures detect() {
    CpuFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    f.aes = sse41 && (c & bit_AES) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) != 0) f.sha = sse41 && (b & bit_SHA) != 0;
    return f;
}

// Asked once: cpuid is slow under a hypervisor.
const CpuFeatures& features() {
    static const CpuFeatures f = detect();
    return f;
}
#endif

}  // namespace

bool cpu_has_aes_instructions() {
#if ZELNO_X86_FAST_PATHS
    return features().aes;
#else
    return false;
#endif
}

bool cpu_has_sha_instructions() {
#if ZELNO_X86_FAST_PATHS
    return features().sha;
#else
    return false;
#endif
}

}  // namespace zelno
