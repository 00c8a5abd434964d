// Run-time detection of the ARMv8 AES and SHA1 instructions, from the
// capabilities the kernel reports for this processor.
#include <asm/hwcap.h>
#include <sys/auxv.h>

#include "crypto/fast_paths.hpp"

namespace zelno {

bool cpu_has_aes_instructions() { return (getauxval(AT_HWCAP) & HWCAP_AES) != 0; }
bool cpu_has_sha_instructions() { return (getauxval(AT_HWCAP) & HWCAP_SHA1) != 0; }
bool cpu_has_stitched_aes_sha1() { return false; }
bool cpu_has_wide_aes_instructions() { return false; }

}  // namespace zelno
