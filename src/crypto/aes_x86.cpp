// AES CBC on the processor's AES instructions. The round keys are the words
// of the same AesKey, byte-swapped into instruction order; the decryption
// schedule (reversed, InvMixColumns on the inner keys) is the one AESDEC
// expects. Only these functions are compiled for AES-NI.
#include "crypto/fast_paths.hpp"
#include "crypto/wipe.hpp"

#include <immintrin.h>

#include "crypto/aes_wide_x86.hpp"
#include "crypto/sha1_x86.hpp"

#define ZELNO_AES_TARGET __attribute__((target("aes,sse4.1")))
#define ZELNO_AES_SHA_TARGET __attribute__((target("aes,sha,sse4.1")))
#define ZELNO_AES_SHA_INLINE ZELNO_AES_SHA_TARGET __attribute__((always_inline)) inline

namespace zelno {

namespace {

// Round keys 0..rounds as 16-byte blocks in FIPS-197 byte order.
ZELNO_AES_TARGET inline void load_round_keys(const AesKey& key, int rounds, __m128i* rk) {
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    for (int r = 0; r <= rounds; ++r) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data() + 4 * r));
        rk[r] = _mm_shuffle_epi8(w, swap);
    }
}

ZELNO_AES_TARGET inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

ZELNO_AES_TARGET inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// CBC encryption is one chain of AESENC from the first block to the last, so
// only its latency counts. The next block's plaintext and first round key
// are folded into the last round key off the chain: AESENCLAST with them
// yields the next block's state after its first round key directly, and the
// ciphertext comes from a second AESENCLAST beside it.
template <int Rounds>
ZELNO_AES_TARGET void cbc_encrypt(const AesKey& key, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                                  std::size_t count) {
    if (count == 0) return;
    __m128i rk[Rounds + 1];
    load_round_keys(key, Rounds, rk);
    const __m128i first_and_last = _mm_xor_si128(rk[0], rk[Rounds]);
    __m128i state = _mm_xor_si128(_mm_xor_si128(load(in), rk[0]), load(chain));
    __m128i c;
    for (;;) {
        for (int r = 1; r < Rounds; ++r) state = _mm_aesenc_si128(state, rk[r]);
        c = _mm_aesenclast_si128(state, rk[Rounds]);
        if (--count == 0) break;
        in += 16;
        const __m128i next = _mm_xor_si128(load(in), first_and_last);
        state = _mm_aesenclast_si128(state, next);
        store(out, c);
        out += 16;
    }
    store(out, c);
    store(chain, c);
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

// The stitched form: the same chain, and the SHA-1 of the plaintext 64 bytes
// (four blocks) at a time. The digest's rounds depend on nothing of the
// chain's, so spread among its AESENCs they run in the time the chain waits
// for its own results; five of the digest block's twenty groups go with
// each cipher block.
template <int Rounds, int Quarter, int R = 1>
ZELNO_AES_SHA_INLINE void rounds_with_groups(const __m128i* rk, __m128i& state, sha1_x86::Lanes& lanes,
                                             sha1_x86::Block& b) {
    if constexpr (R < Rounds) {
        state = _mm_aesenc_si128(state, rk[R]);
        constexpr int spacing = (Rounds - 1) / 5;
        if constexpr ((R - 1) % spacing == 0 && (R - 1) / spacing < 5) {
            sha1_x86::group<5 * Quarter + (R - 1) / spacing>(lanes, b);
        }
        rounds_with_groups<Rounds, Quarter, R + 1>(rk, state, lanes, b);
    }
}

template <int Rounds, int Quarter = 0>
ZELNO_AES_SHA_INLINE void quarters(const __m128i* rk, __m128i first_and_last, __m128i& state, __m128i& c,
                                   const std::uint8_t* in, std::uint8_t* out, bool more, sha1_x86::Lanes& lanes,
                                   sha1_x86::Block& b) {
    if constexpr (Quarter < 4) {
        rounds_with_groups<Rounds, Quarter>(rk, state, lanes, b);
        c = _mm_aesenclast_si128(state, rk[Rounds]);
        store(out + 16 * Quarter, c);
        if (Quarter < 3 || more) {
            state = _mm_aesenclast_si128(state, _mm_xor_si128(load(in + 16 * (Quarter + 1)), first_and_last));
        }
        quarters<Rounds, Quarter + 1>(rk, first_and_last, state, c, in, out, more, lanes, b);
    }
}

// `in` may be `out`: each group's plaintext is read before its ciphertext
// is stored.
template <int Rounds>
ZELNO_AES_SHA_TARGET void cbc_encrypt_sha1(const AesKey& key, std::uint8_t* chain, const std::uint8_t* in,
                                           std::uint8_t* out, std::size_t groups,
                                           std::array<std::uint32_t, 5>& chaining) {
    if (groups == 0) return;
    __m128i rk[Rounds + 1];
    load_round_keys(key, Rounds, rk);
    const __m128i first_and_last = _mm_xor_si128(rk[0], rk[Rounds]);
    __m128i state = _mm_xor_si128(_mm_xor_si128(load(in), rk[0]), load(chain));
    __m128i c;
    sha1_x86::Lanes lanes = sha1_x86::load_chaining(chaining);
    for (; groups > 0; --groups, in += 64, out += 64) {
        sha1_x86::Block b = sha1_x86::begin_block(lanes, in);
        quarters<Rounds>(rk, first_and_last, state, c, in, out, groups > 1, lanes, b);
        sha1_x86::end_block(lanes, b);
    }
    sha1_x86::store_chaining(chaining, lanes);
    store(chain, c);
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

// Decrypts N blocks side by side; the chain is the ciphertext before them.
template <int Rounds, int N>
ZELNO_AES_TARGET inline void decrypt_group(const __m128i* rk, __m128i& chain, std::uint8_t* data) {
    __m128i in[N];
    __m128i s[N];
    for (int j = 0; j < N; ++j) {
        in[j] = load(data + 16 * j);
        s[j] = _mm_xor_si128(in[j], rk[0]);
    }
    for (int r = 1; r < Rounds; ++r) {
        for (int j = 0; j < N; ++j) s[j] = _mm_aesdec_si128(s[j], rk[r]);
    }
    for (int j = 0; j < N; ++j) s[j] = _mm_aesdeclast_si128(s[j], rk[Rounds]);
    store(data, _mm_xor_si128(s[0], chain));
    for (int j = 1; j < N; ++j) store(data + 16 * j, _mm_xor_si128(s[j], in[j - 1]));
    chain = in[N - 1];
}

template <int Rounds>
ZELNO_AES_TARGET void cbc_decrypt(const AesKey& key, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    __m128i rk[Rounds + 1];
    load_round_keys(key, Rounds, rk);
    __m128i c = load(chain);
    if (count >= 16 && cpu_has_wide_aes_instructions()) aes_cbc_decrypt_wide(rk, Rounds, c, data, count);
    for (; count >= 8; count -= 8, data += 128) decrypt_group<Rounds, 8>(rk, c, data);
    if (count >= 4) {
        decrypt_group<Rounds, 4>(rk, c, data);
        count -= 4;
        data += 64;
    }
    for (; count > 0; --count, data += 16) decrypt_group<Rounds, 1>(rk, c, data);
    store(chain, c);
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

}  // namespace
}  // namespace zelno

#include "crypto/aes_hw_entries.hpp"

namespace zelno {

void aes_cbc_encrypt_sha1_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t groups, std::array<std::uint32_t, 5>& chaining) {
    with_round_count(rounds, [&](auto r) { cbc_encrypt_sha1<r()>(key, chain, in, out, groups, chaining); });
}

}  // namespace zelno
