// The two implementations behind the AES CBC and SHA-1 entry points: the
// portable one and the one on the processor's own AES and SHA instructions.
// The entry points choose at run time; tests and benchmarks call both.
//
// The processor paths live in one set of files per processor family
// (*_x86.cpp, *_arm.cpp); the build compiles the set that fits the target,
// or processor_paths_none.cpp where none fits or the portable build asks for
// none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/aes.hpp"

namespace zelno {

// True when the processor has the instructions (x86: AES-NI and the SHA
// extensions, each with SSE4.1; ARMv8: the AES and SHA1 instructions);
// always false in a build without processor paths.
bool cpu_has_aes_instructions();
bool cpu_has_sha_instructions();

// True for the round counts an expansion returns: 10, 12 and 14.
constexpr bool aes_rounds_valid(int rounds) { return rounds == 10 || rounds == 12 || rounds == 14; }

void aes_cbc_encrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                              std::uint8_t* out, std::size_t count);
void aes_cbc_decrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);

// Compresses `count` consecutive 64-byte blocks into the chaining value.
void sha1_compress_portable(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count);

// On the processor's instructions: only where the matching cpu_has_* is
// true. A round count other than 10, 12 or 14 takes the portable code.
void aes_cbc_encrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count);
void aes_cbc_decrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count);
void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count);

}  // namespace zelno
