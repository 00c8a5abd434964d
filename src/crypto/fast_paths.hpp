// The two implementations behind the AES CBC and SHA-1 entry points: the
// portable one and the one on the processor's AES and SHA instructions.
// The entry points choose at run time; tests and benchmarks call both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/aes.hpp"

#if !defined(ZELNO_PORTABLE_ONLY) && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZELNO_X86_FAST_PATHS 1
#else
#define ZELNO_X86_FAST_PATHS 0
#endif

namespace zelno {

// True when the processor has the instructions (AES-NI with SSE4.1, SHA
// extensions with SSE4.1); always false when the fast paths are compiled out.
bool cpu_has_aes_instructions();
bool cpu_has_sha_instructions();

// True for the round counts an expansion returns: 10, 12 and 14.
constexpr bool aes_rounds_valid(int rounds) { return rounds == 10 || rounds == 12 || rounds == 14; }

void aes_cbc_encrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);
void aes_cbc_decrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);

// Compresses `count` consecutive 64-byte blocks into the chaining value.
void sha1_compress_portable(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks,
                            std::size_t count);

#if ZELNO_X86_FAST_PATHS
// Only where the matching cpu_has_* is true, and with a valid round count.
void aes_cbc_encrypt_ni(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                        std::size_t count);
void aes_cbc_decrypt_ni(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                        std::size_t count);
void sha1_compress_ni(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks,
                      std::size_t count);
#endif

}  // namespace zelno
