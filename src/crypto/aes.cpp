// AES on 32-bit big-endian column words with the round tables of
// aes_tables.hpp; decryption by the equivalent inverse cipher.
#include "crypto/aes.hpp"

#include <cstring>

#include "crypto/aes_tables.hpp"
#include "crypto/byte_order.hpp"
#include "crypto/fast_paths.hpp"

namespace zelno {

namespace {

constexpr std::uint8_t byte0(std::uint32_t w) { return static_cast<std::uint8_t>(w >> 24); }
constexpr std::uint8_t byte1(std::uint32_t w) { return static_cast<std::uint8_t>(w >> 16); }
constexpr std::uint8_t byte2(std::uint32_t w) { return static_cast<std::uint8_t>(w >> 8); }
constexpr std::uint8_t byte3(std::uint32_t w) { return static_cast<std::uint8_t>(w); }

std::uint32_t sub_word(std::uint32_t w) {
    return (aes_sbox_word[byte0(w)] & 0xFF000000u) ^ (aes_sbox_word[byte1(w)] & 0x00FF0000u) ^
           (aes_sbox_word[byte2(w)] & 0x0000FF00u) ^ (aes_sbox_word[byte3(w)] & 0x000000FFu);
}

std::uint32_t rot_word(std::uint32_t w) { return (w << 8) | (w >> 24); }

// InvMixColumns of a round-key word; the S-box cancels the inverse S-box
// built into the decryption tables.
std::uint32_t inv_mix_column(std::uint32_t w) {
    return aes_dec_table[0][aes_sbox_word[byte0(w)] & 0xFF] ^ aes_dec_table[1][aes_sbox_word[byte1(w)] & 0xFF] ^
           aes_dec_table[2][aes_sbox_word[byte2(w)] & 0xFF] ^ aes_dec_table[3][aes_sbox_word[byte3(w)] & 0xFF];
}

// One inner encryption round from s into t with round key rk.
// The two directions differ only in their tables and in which column feeds
// byte k of column c: c + k when encrypting, c - k (that is c + 3k) when
// decrypting, the inverse row shift.
struct Forward {
    static constexpr const auto& round_table = aes_enc_table;
    static constexpr const auto& sbox_word = aes_sbox_word;
    static constexpr int shift = 1;
};
struct Inverse {
    static constexpr const auto& round_table = aes_dec_table;
    static constexpr const auto& sbox_word = aes_inv_sbox_word;
    static constexpr int shift = 3;
};

template <class D>
inline void inner_round(const std::uint32_t* s, std::uint32_t* t, const std::uint32_t* rk) {
    for (int c = 0; c < 4; ++c) {
        t[c] = D::round_table[0][byte0(s[c])] ^ D::round_table[1][byte1(s[(c + D::shift) & 3])] ^
               D::round_table[2][byte2(s[(c + 2 * D::shift) & 3])] ^
               D::round_table[3][byte3(s[(c + 3 * D::shift) & 3])] ^ rk[c];
    }
}

// A round count that no expansion returned would run the rounds off the end
// of the key; such a call yields a zero block instead.
template <class D>
void crypt_block(const AesKey& key, int rounds, const std::uint8_t* in, std::uint8_t* out) {
    if (!aes_rounds_valid(rounds)) {
        std::memset(out, 0, 16);
        return;
    }
    const std::uint32_t* rk = key.data();
    std::uint32_t s[4];
    std::uint32_t t[4];
    for (int c = 0; c < 4; ++c) s[c] = load_be32(in + 4 * c) ^ rk[c];
    // One inner round, then two per pass: s -> t -> s.
    rk += 4;
    inner_round<D>(s, t, rk);
    for (int pass = rounds / 2 - 1; pass > 0; --pass) {
        inner_round<D>(t, s, rk + 4);
        inner_round<D>(s, t, rk + 8);
        rk += 8;
    }
    rk += 4;
    for (int c = 0; c < 4; ++c) {
        s[c] = (D::sbox_word[byte0(t[c])] & 0xFF000000u) ^ (D::sbox_word[byte1(t[(c + D::shift) & 3])] & 0x00FF0000u) ^
               (D::sbox_word[byte2(t[(c + 2 * D::shift) & 3])] & 0x0000FF00u) ^
               (D::sbox_word[byte3(t[(c + 3 * D::shift) & 3])] & 0x000000FFu) ^ rk[c];
    }
    for (int c = 0; c < 4; ++c) store_be32(out + 4 * c, s[c]);
}

}  // namespace

int aes_expand_encrypt_key(AesKey& key, const std::uint8_t* key_bytes, int key_bits) {
    int nk = 0;
    int nr = 0;
    if (key_bits == 128) {
        nk = 4;
        nr = 10;
    } else if (key_bits == 192) {
        nk = 6;
        nr = 12;
    } else if (key_bits == 256) {
        nk = 8;
        nr = 14;
    } else {
        return 0;
    }
    std::uint32_t* w = key.data();
    for (int i = 0; i < nk; ++i) w[i] = load_be32(key_bytes + 4 * i);
    const int total = 4 * (nr + 1);
    for (int i = nk; i < total; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = sub_word(rot_word(temp)) ^ aes_round_constant[i / nk - 1];
        } else if (nk == 8 && i % 8 == 4) {
            temp = sub_word(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    return nr;
}

int aes_expand_decrypt_key(AesKey& key, const std::uint8_t* key_bytes, int key_bits) {
    const int nr = aes_expand_encrypt_key(key, key_bytes, key_bits);
    if (nr == 0) return 0;
    std::uint32_t* w = key.data();
    for (int r = 0; r < nr / 2; ++r) {
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t t = w[4 * r + c];
            w[4 * r + c] = w[4 * (nr - r) + c];
            w[4 * (nr - r) + c] = t;
        }
    }
    for (int i = 4; i < 4 * nr; ++i) w[i] = inv_mix_column(w[i]);
    return nr;
}

void aes_encrypt_block(const AesKey& key, int rounds, const std::uint8_t* in, std::uint8_t* out) {
    crypt_block<Forward>(key, rounds, in, out);
}

void aes_decrypt_block(const AesKey& key, int rounds, const std::uint8_t* in, std::uint8_t* out) {
    crypt_block<Inverse>(key, rounds, in, out);
}

void aes_cbc_encrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                              std::uint8_t* out, std::size_t count) {
    if (count == 0) return;
    std::uint8_t x[16];
    const std::uint8_t* prev = chain;
    for (std::size_t i = 0; i < count; ++i, in += 16, out += 16) {
        for (int j = 0; j < 16; ++j) x[j] = static_cast<std::uint8_t>(in[j] ^ prev[j]);
        aes_encrypt_block(key, rounds, x, out);
        prev = out;
    }
    std::memcpy(chain, prev, 16);
}

void aes_cbc_decrypt_portable(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data,
                              std::size_t count) {
    // Two ciphertext copies in turn: the block being decrypted and its predecessor.
    std::uint8_t saved[2][16];
    std::memcpy(saved[1], chain, 16);
    for (std::size_t i = 0; i < count; ++i, data += 16) {
        std::uint8_t* cipher = saved[i & 1];
        const std::uint8_t* prev = saved[(i + 1) & 1];
        std::memcpy(cipher, data, 16);
        aes_decrypt_block(key, rounds, cipher, data);
        for (int j = 0; j < 16; ++j) data[j] = static_cast<std::uint8_t>(data[j] ^ prev[j]);
    }
    std::memcpy(chain, saved[(count + 1) & 1], 16);
}

void aes_cbc_encrypt(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t count) {
    if (aes_rounds_valid(rounds) && cpu_has_aes_instructions()) {
        aes_cbc_encrypt_hw(key, rounds, chain, in, out, count);
        return;
    }
    aes_cbc_encrypt_portable(key, rounds, chain, in, out, count);
}

void aes_cbc_decrypt(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    if (aes_rounds_valid(rounds) && cpu_has_aes_instructions()) {
        aes_cbc_decrypt_hw(key, rounds, chain, data, count);
        return;
    }
    aes_cbc_decrypt_portable(key, rounds, chain, data, count);
}

}  // namespace zelno
