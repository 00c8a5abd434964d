// AES block cipher (FIPS-197): 128-bit blocks, 128/192/256-bit keys.
// Block and key bytes map to big-endian column words on every platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelno {

// Expanded key: 4 * (rounds + 1) words in use (44, 52 or 60).
using AesKey = std::array<std::uint32_t, 60>;

// Both return the round count (10, 12, 14), or 0 for any other key_bits;
// they read only key_bits / 8 bytes of key and write only the words in use.
int aes_expand_encrypt_key(AesKey& key, const std::uint8_t* key_bytes, int key_bits);
// Equivalent inverse cipher schedule: round keys reversed, InvMixColumns
// applied to the inner ones.
int aes_expand_decrypt_key(AesKey& key, const std::uint8_t* key_bytes, int key_bits);

// in and out may be the same 16 bytes.
void aes_encrypt_block(const AesKey& key, int rounds, const std::uint8_t* in, std::uint8_t* out);
void aes_decrypt_block(const AesKey& key, int rounds, const std::uint8_t* in, std::uint8_t* out);

// CBC over `count` consecutive 16-byte blocks; `chain` holds the previous
// ciphertext block (the vector at first) and is updated. Encryption reads
// `in` and writes `out`, which may be the same bytes; decryption works in
// place. Identical bytes to chaining aes_encrypt_block / aes_decrypt_block
// by hand; uses the processor's AES instructions when it has them.
void aes_cbc_encrypt(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t count);
void aes_cbc_decrypt(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count);

}  // namespace zelno
