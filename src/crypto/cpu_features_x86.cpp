// Run-time detection of the x86 AES and SHA instructions.
#include <cpuid.h>

#include "crypto/fast_paths.hpp"

namespace zelno {
namespace {

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

}  // namespace

bool cpu_has_aes_instructions() { return features().aes; }
bool cpu_has_sha_instructions() { return features().sha; }

}  // namespace zelno
