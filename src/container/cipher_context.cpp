#include "container/cipher_context.hpp"

#include <algorithm>
#include <cstring>

#include "container/program.hpp"
#include "container/slots.hpp"
#include "crypto/aes_sha1.hpp"
#include "crypto/wipe.hpp"

namespace zelno {
void cipher_setup(CipherContext& c, const char* key, std::uint8_t flags, bool encrypting) {
    c.algorithm = flags & FLAG_ALG_MASK;
    if (c.algorithm != ALG_TWOFISH && c.algorithm != ALG_AES) fail_message("infile version error.");

    // The key string itself is the key material: its first 32 bytes,
    // zero-padded. No hashing or stretching takes place.
    std::size_t length = strnlen(key, KEY_MAX_LEN);
    c.key_length = static_cast<int>(length);
    c.key_bytes.fill(0);
    std::memcpy(c.key_bytes.data(), key, length);

    if (c.algorithm == ALG_TWOFISH) {
        Twofish_start();
        c.twofish_key = {};
        Twofish_prepare_key(c.key_bytes.data(), c.key_length, c.twofish_key);
    } else {
        // 0 to 16 bytes: 128 bits, 17 to 24: 192, 25 to 32: 256.
        int key_bits = 64 * std::max(2, (c.key_length + 7) / 8);
        c.aes_key.fill(0);
        c.aes_rounds = encrypting ? aes_expand_encrypt_key(c.aes_key, c.key_bytes.data(), key_bits)
                                  : aes_expand_decrypt_key(c.aes_key, c.key_bytes.data(), key_bits);
    }
    wipe_stack_below();
}

void iv_setup(CipherContext& c, std::uint8_t flags) {
    c.chain.fill(0);
    c.scratch.fill(0);
    for (std::size_t i = 0; i < c.chain.size(); ++i) {
        if (flags & FLAG_IV_SERIES) c.chain[i] = static_cast<std::uint8_t>(IV_SERIES_BASE - i);
        if (flags & FLAG_IV_SHIFT) c.chain[i] = static_cast<std::uint8_t>(c.chain[i] >> (i % 3 + 1));
    }
}

void cbc_encrypt_block(CipherContext& c, std::uint8_t* block) {
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) block[i] ^= c.chain[i];
    if (c.algorithm == ALG_TWOFISH) {
        Twofish_encrypt_block(c.twofish_key, block, c.chain.data());
    } else {
        aes_encrypt_block(c.aes_key, c.aes_rounds, block, c.chain.data());
    }
    std::memcpy(block, c.chain.data(), BLOCK_SIZE);
}

void cbc_decrypt_block(CipherContext& c, std::uint8_t* block) {
    if (c.algorithm == ALG_TWOFISH) {
        Twofish_decrypt_block(c.twofish_key, block, c.scratch.data());
    } else {
        aes_decrypt_block(c.aes_key, c.aes_rounds, block, c.scratch.data());
    }
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) c.scratch[i] ^= c.chain[i];
    std::memcpy(c.chain.data(), block, BLOCK_SIZE);
    std::memcpy(block, c.scratch.data(), BLOCK_SIZE);
}

void cbc_encrypt_blocks(CipherContext& c, const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
    if (c.algorithm == ALG_TWOFISH) {
        Twofish_cbc_encrypt(c.twofish_key, c.chain.data(), in, out, count);
    } else {
        aes_cbc_encrypt(c.aes_key, c.aes_rounds, c.chain.data(), in, out, count);
    }
    wipe_stack_below();
}

bool cbc_digest_rides_along(const CipherContext& c) {
    return c.algorithm == ALG_AES && aes_sha1_stitched(c.aes_rounds);
}

void cbc_encrypt_digest_blocks(CipherContext& c, DigestState& digest, const std::uint8_t* in, std::uint8_t* out,
                               std::size_t count) {
    if (c.algorithm == ALG_AES) {
        aes_cbc_encrypt_digest(c.aes_key, c.aes_rounds, c.chain.data(), in, out, count, digest);
        wipe_stack_below();
        return;
    }
    digest_add_bytes(digest, in, count * BLOCK_SIZE);
    cbc_encrypt_blocks(c, in, out, count);
}

void cbc_decrypt_blocks(CipherContext& c, std::uint8_t* data, std::size_t count) {
    cbc_decrypt_blocks_with(c, c.chain.data(), data, count);
}

void cbc_decrypt_blocks_with(const CipherContext& c, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    if (c.algorithm == ALG_TWOFISH) {
        Twofish_cbc_decrypt(c.twofish_key, chain, data, count);
    } else {
        aes_cbc_decrypt(c.aes_key, c.aes_rounds, chain, data, count);
    }
    wipe_stack_below();
}

}  // namespace zelno
