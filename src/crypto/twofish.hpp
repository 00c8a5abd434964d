// Twofish block cipher (1998 definition): 128-bit blocks, keys of 0 to 32
// bytes zero-padded to 128, 192 or 256 bits, full keying.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelno {

using Twofish_Byte = std::uint8_t;
using Twofish_UInt32 = std::uint32_t;

struct TwofishKey {
    std::array<std::array<Twofish_UInt32, 256>, 4> keyed_sbox;  // S-boxes merged with MDS
    std::array<Twofish_UInt32, 40> subkey;                      // K0..K39
};

// Builds the tables and runs the whole self-test; every fault ends the run
// through fail_internal. May be called any number of times.
void Twofish_start();
// length 0..32; needs Twofish_start first.
void Twofish_prepare_key(const Twofish_Byte* key, int length, TwofishKey& expanded_key);
// in and out may be the same 16 bytes.
void Twofish_encrypt_block(const TwofishKey& expanded_key, const Twofish_Byte* in, Twofish_Byte* out);
void Twofish_decrypt_block(const TwofishKey& expanded_key, const Twofish_Byte* in, Twofish_Byte* out);

// CBC over `count` consecutive 16-byte blocks; `chain` holds the previous
// ciphertext block (the vector at first) and is updated. Encryption reads
// `in` and writes `out`, which may be the same bytes; decryption works in
// place. Identical bytes to chaining the single-block operations by hand.
void Twofish_cbc_encrypt(const TwofishKey& expanded_key, Twofish_Byte* chain, const Twofish_Byte* in, Twofish_Byte* out,
                         std::size_t count);
void Twofish_cbc_decrypt(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data, std::size_t count);

}  // namespace zelno
