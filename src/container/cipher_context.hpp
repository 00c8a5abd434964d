// The run's cipher: key setup from the key string and the format flags, the
// initialisation vector, and CBC over 16-byte blocks with one chain per
// container.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "container/format.hpp"
#include "crypto/aes.hpp"
#include "crypto/sha1.hpp"
#include "crypto/twofish.hpp"

namespace zelno {

// Base of the descending initialisation-vector series. Containers travel only
// between builds that share it.
inline constexpr std::uint8_t IV_SERIES_BASE = 0xA7;
// The most key bytes the cipher takes from a key string, and the most
// characters one typed entry holds.
inline constexpr int KEY_MAX_LEN = 32;

struct CipherContext {
    int algorithm = 0;  // ALG_TWOFISH or ALG_AES
    std::array<std::uint8_t, KEY_MAX_LEN> key_bytes{};
    int key_length = 0;
    TwofishKey twofish_key{};
    AesKey aes_key{};
    int aes_rounds = 0;
    std::array<std::uint8_t, BLOCK_SIZE> chain{};    // vector, then the last ciphertext block
    std::array<std::uint8_t, BLOCK_SIZE> scratch{};  // decryption's working block
};

// Sets up `ctx` for a container of the format `flags`: the key schedule of
// its algorithm ("infile version error." unless it is 1 or 2) for the
// direction asked. The key string is the key material: its first 32 bytes,
// zero-padded.
void cipher_setup(CipherContext& ctx, const char* key, std::uint8_t flags, bool encrypting);
// The initialisation vector the flags call for, as the chain.
void iv_setup(CipherContext& ctx, std::uint8_t flags);
// One block in place. The pipelines use the forms over many blocks below;
// these serve the unit tests as the block-by-block reference.
void cbc_encrypt_block(CipherContext& ctx, std::uint8_t* block);
void cbc_decrypt_block(CipherContext& ctx, std::uint8_t* block);
// The same over `count` consecutive blocks, identical bytes to calling the
// single-block forms in order. Encryption reads `in` and writes `out`, which
// may be the same bytes; decryption works in place.
void cbc_encrypt_blocks(CipherContext& ctx, const std::uint8_t* in, std::uint8_t* out, std::size_t count);
void cbc_decrypt_blocks(CipherContext& ctx, std::uint8_t* data, std::size_t count);
// digest_add of the blocks' plaintext and cbc_encrypt_blocks of them, in one
// pass where the processor stitches the two: then cbc_digest_rides_along,
// and the digest costs next to nothing beside the chain.
bool cbc_digest_rides_along(const CipherContext& ctx);
void cbc_encrypt_digest_blocks(CipherContext& ctx, DigestState& digest, const std::uint8_t* in, std::uint8_t* out,
                               std::size_t count);
// CBC decryption in place on a chain of the caller's (the ciphertext block
// before `data`, updated), with the context's key: CBC decryption has no
// chain between blocks, so the second thread can decrypt one part of a piece
// while the pipeline decrypts the rest.
void cbc_decrypt_blocks_with(const CipherContext& ctx, std::uint8_t* chain, std::uint8_t* data, std::size_t count);

}  // namespace zelno
