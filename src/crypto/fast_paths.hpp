// The two implementations behind the AES CBC, Twofish CBC decryption and
// SHA-1 entry points: the portable one and the one on the processor's own
// instructions. The entry points choose at run time; tests and benchmarks
// call both.
//
// The processor paths live in one set of files per processor family
// (*_x86.cpp, *_arm.cpp); the build compiles the set that fits the target,
// or processor_paths_none.cpp where none fits or the portable build asks for
// none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "crypto/aes.hpp"
#include "crypto/twofish.hpp"

namespace zelno {

// True when the processor has the instructions (x86: AES-NI and the SHA
// extensions, each with SSE4.1; ARMv8: the AES and SHA1 instructions);
// always false in a build without processor paths.
bool cpu_has_aes_instructions();
bool cpu_has_sha_instructions();
// x86: AVX-512 with byte permutes (VBMI) and GF(2^8) affine transforms
// (GFNI), and a system that saves the AVX-512 registers; none on ARMv8 yet.
bool cpu_has_twofish_vector_instructions();
// x86: AES on whole AVX-512 registers, four blocks an instruction (VAES),
// with a system that saves them; never on ARMv8.
bool cpu_has_wide_aes_instructions();
// True where AES CBC encryption and SHA-1 run stitched into one loop on the
// processor's instructions (x86 with both; not on ARMv8 yet).
bool cpu_has_stitched_aes_sha1();

// True for the round counts an expansion returns: 10, 12 and 14.
constexpr bool aes_rounds_valid(int rounds) { return rounds == 10 || rounds == 12 || rounds == 14; }

// Calls `f` with the round count as a compile-time constant
// (std::integral_constant) for 10, 12 and 14, so that the processor paths
// unroll their rounds; false, without calling it, for any other count.
template <class F>
bool with_round_count(int rounds, F f) {
    switch (rounds) {
        case 10: f(std::integral_constant<int, 10>{}); return true;
        case 12: f(std::integral_constant<int, 12>{}); return true;
        case 14: f(std::integral_constant<int, 14>{}); return true;
        default: return false;
    }
}

void aes_cbc_encrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                              std::uint8_t* out, std::size_t count);
void aes_cbc_decrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);

void Twofish_cbc_decrypt_portable(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data,
                                  std::size_t count);

// Compresses `count` consecutive 64-byte blocks into the chaining value.
void sha1_compress_portable(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count);

// On the processor's instructions: only where the matching cpu_has_* is
// true, and for AES only with a round count that aes_rounds_valid accepts.
void aes_cbc_encrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count);
void aes_cbc_decrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count);
void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count);
// AES CBC encryption of `groups` times four blocks and SHA-1 compression of
// their plaintext into `chaining` in one pass; where the processor has no
// stitched form, the two one after the other. `in` may be `out`.
void aes_cbc_encrypt_sha1_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t groups, std::array<std::uint32_t, 5>& chaining);
void Twofish_cbc_decrypt_hw(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data, std::size_t count);

}  // namespace zelno
