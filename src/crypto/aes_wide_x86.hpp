// AES CBC decryption on whole AVX-512 registers (VAES), for the x86 AES
// path; only where cpu_has_wide_aes_instructions().
#pragma once

#include <cstddef>
#include <cstdint>
#include <immintrin.h>

namespace zelno {

// Decrypts the blocks at `data` in place 16 at a time, as many as `count`
// allows, with the round keys 0..rounds in instruction order; `chain` is the
// ciphertext block before them and is updated, and `data` and `count` move
// past what was done.
void aes_cbc_decrypt_wide(const __m128i* rk, int rounds, __m128i& chain, std::uint8_t*& data, std::size_t& count);

}  // namespace zelno
