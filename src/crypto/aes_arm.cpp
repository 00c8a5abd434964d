// AES CBC on the ARMv8 AES instructions. The round keys are the words of the
// same AesKey, byte-swapped into instruction order. AESE adds the round key
// before SubBytes and ShiftRows, so each round key moves one step earlier
// than in the table code and the last one is added on its own. The
// decryption schedule (reversed, InvMixColumns on the inner keys) is the one
// AESD with AESIMC expects. Only these functions are compiled for the AES
// instructions.
#include <arm_neon.h>

#include "crypto/fast_paths.hpp"
#include "crypto/wipe.hpp"

#define ZELNO_AES_TARGET __attribute__((target("+crypto")))

namespace zelno {
namespace {

// Round keys 0..rounds as 16-byte blocks in FIPS-197 byte order.
ZELNO_AES_TARGET inline void load_round_keys(const AesKey& key, int rounds, uint8x16_t* rk) {
    for (int r = 0; r <= rounds; ++r) {
        rk[r] = vrev32q_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(key.data() + 4 * r)));
    }
}

template <int Rounds>
ZELNO_AES_TARGET inline uint8x16_t decrypt(const uint8x16_t* rk, uint8x16_t s) {
    for (int r = 0; r < Rounds - 1; ++r) s = vaesimcq_u8(vaesdq_u8(s, rk[r]));
    return veorq_u8(vaesdq_u8(s, rk[Rounds - 1]), rk[Rounds]);
}

// CBC encryption is one chain of AESE and AESMC from the first block to the
// last, so only its latency counts. The block's plaintext, its first round
// key and the previous block's last round key are folded into one key off
// the chain: the first AESE of a block takes the previous block's state
// before that last key, and the ciphertext is made beside the chain.
template <int Rounds>
ZELNO_AES_TARGET void cbc_encrypt(const AesKey& key, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                  std::size_t count) {
    uint8x16_t rk[Rounds + 1];
    load_round_keys(key, Rounds, rk);
    const uint8x16_t first_and_last = veorq_u8(rk[0], rk[Rounds]);
    // The chain as a state before the last round key: the ciphertext XOR it.
    uint8x16_t state = veorq_u8(vld1q_u8(chain), rk[Rounds]);
    for (std::size_t i = 0; i < count; ++i, in += 16, out += 16) {
        state = vaesmcq_u8(vaeseq_u8(state, veorq_u8(vld1q_u8(in), first_and_last)));
        for (int r = 1; r < Rounds - 1; ++r) state = vaesmcq_u8(vaeseq_u8(state, rk[r]));
        state = vaeseq_u8(state, rk[Rounds - 1]);
        vst1q_u8(out, veorq_u8(state, rk[Rounds]));
    }
    vst1q_u8(chain, veorq_u8(state, rk[Rounds]));
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

// Decrypts N blocks side by side; the chain is the ciphertext before them.
template <int Rounds, int N>
ZELNO_AES_TARGET inline void decrypt_group(const uint8x16_t* rk, uint8x16_t& chain, std::uint8_t* data) {
    uint8x16_t in[N];
    uint8x16_t s[N];
    for (int j = 0; j < N; ++j) in[j] = vld1q_u8(data + 16 * j);
    for (int j = 0; j < N; ++j) s[j] = decrypt<Rounds>(rk, in[j]);
    vst1q_u8(data, veorq_u8(s[0], chain));
    for (int j = 1; j < N; ++j) vst1q_u8(data + 16 * j, veorq_u8(s[j], in[j - 1]));
    chain = in[N - 1];
}

template <int Rounds>
ZELNO_AES_TARGET void cbc_decrypt(const AesKey& key, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    uint8x16_t rk[Rounds + 1];
    load_round_keys(key, Rounds, rk);
    uint8x16_t c = vld1q_u8(chain);
    for (; count >= 4; count -= 4, data += 64) decrypt_group<Rounds, 4>(rk, c, data);
    for (; count > 0; --count, data += 16) decrypt_group<Rounds, 1>(rk, c, data);
    vst1q_u8(chain, c);
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

}  // namespace
}  // namespace zelno

#include "crypto/aes_hw_entries.hpp"

namespace zelno {

// Not stitched here yet: the digest, then the chain.
void aes_cbc_encrypt_sha1_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t groups, std::array<std::uint32_t, 5>& chaining) {
    sha1_compress_hw(chaining, in, groups);
    aes_cbc_encrypt_hw(key, rounds, chain, in, out, 4 * groups);
}

}  // namespace zelno
