// Run-time detection of the x86 AES, SHA and AVX-512 instructions.
#include <cpuid.h>
#include <immintrin.h>

#include "crypto/fast_paths.hpp"

namespace zelno {
namespace {

struct CpuFeatures {
    bool aes = false;
    bool sha = false;
    bool twofish_vector = false;
    bool wide_aes = false;
};

// The system saves the AVX-512 registers (the upper halves of all 32, the
// mask registers) with the rest of a thread's state: XCR0 bits 1, 2, 5, 6, 7.
__attribute__((target("xsave"))) bool system_saves_avx512_state() {
    constexpr unsigned long long avx512_state = 0xE6;
    return (_xgetbv(0) & avx512_state) == avx512_state;
}

CpuFeatures detect() {
    CpuFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    f.aes = sse41 && (c & bit_AES) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return f;
    f.sha = sse41 && (b & bit_SHA) != 0;
    const bool avx512 = (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0;
    const bool avx512_usable = avx512 && osxsave && system_saves_avx512_state();
    f.twofish_vector = avx512_usable && (c & bit_AVX512VBMI) != 0 && (c & bit_GFNI) != 0;
    f.wide_aes = f.aes && avx512_usable && (c & bit_VAES) != 0;
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
bool cpu_has_twofish_vector_instructions() { return features().twofish_vector; }
bool cpu_has_stitched_aes_sha1() { return features().aes && features().sha; }
bool cpu_has_wide_aes_instructions() { return features().wide_aes; }

}  // namespace zelno
