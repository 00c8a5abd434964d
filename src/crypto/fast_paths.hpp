// The portable AES CBC implementation behind the aes_cbc_* entry points,
// callable directly by tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/aes.hpp"

namespace zelno {

// True for the round counts an expansion returns: 10, 12 and 14.
constexpr bool aes_rounds_valid(int rounds) { return rounds == 10 || rounds == 12 || rounds == 14; }

void aes_cbc_encrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);
void aes_cbc_decrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count);

}  // namespace zelno
