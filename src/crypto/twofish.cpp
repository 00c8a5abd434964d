// Twofish: table construction, key preparation and the block operations.
// The start-up self-test lives in twofish_selftest.cpp.
#include <algorithm>
#include <array>
#include <cstddef>

#include "crypto/fast_paths.hpp"
#include "crypto/internal_failure.hpp"
#include "crypto/twofish.hpp"
#include "crypto/twofish_internal.hpp"
#include "crypto/wipe.hpp"

#define TWOFISH_INLINE [[gnu::always_inline]] inline

namespace zelno {
namespace twofish_internal {

std::array<Table256, 2> q_perm{};
std::array<Table256, 4> mds_column{};
bool started = false;

namespace {

// Rotate a 4-bit value right by one.
constexpr unsigned ror4(unsigned v) { return ((v >> 1) | (v << 3)) & 0xFu; }

// Which q (0 or 1) each byte position j applies before XORing word c of L,
// for c = 0..3; the look-up after word 0 is inside mds_column[j].
constexpr int path_q[4][4] = {
    {0, 0, 1, 1},
    {0, 1, 1, 0},
    {1, 0, 0, 0},
    {1, 1, 0, 1},
};

// Byte position J of h: x through the path keyed with l[c] (byte J of word c).
template <int K, int J>
TWOFISH_INLINE Twofish_UInt32 h_path(unsigned x, const unsigned (&l)[4]) {
    unsigned v = x;
    if constexpr (K == 4) v = q_perm[path_q[J][3]][v] ^ l[3];
    if constexpr (K >= 3) v = q_perm[path_q[J][2]][v] ^ l[2];
    v = q_perm[path_q[J][1]][v] ^ l[1];
    v = q_perm[path_q[J][0]][v] ^ l[0];
    return mds_column[J][v];
}

// Byte J of each of the K words of L, the words 8 bytes apart.
template <int K, int J>
TWOFISH_INLINE void key_bytes(const Twofish_Byte* L, unsigned (&l)[4]) {
    for (int c = 0; c < 4; ++c) l[c] = c < K ? L[8 * c + J] : 0u;
}

template <int K>
Twofish_UInt32 h_k(unsigned x, const Twofish_Byte* L) {
    unsigned l0[4], l1[4], l2[4], l3[4];
    key_bytes<K, 0>(L, l0);
    key_bytes<K, 1>(L, l1);
    key_bytes<K, 2>(L, l2);
    key_bytes<K, 3>(L, l3);
    return h_path<K, 0>(x, l0) ^ h_path<K, 1>(x, l1) ^ h_path<K, 2>(x, l2) ^ h_path<K, 3>(x, l3);
}

template <int K, int J>
TWOFISH_INLINE void fill_column(const Twofish_Byte* S, Table256& column) {
    unsigned l[4];
    key_bytes<K, J>(S, l);
    for (unsigned x = 0; x < 256; ++x) column[x] = h_path<K, J>(x, l);
}

template <int K>
void fill_k(const Twofish_Byte* S, TwofishKey& expanded_key) {
    fill_column<K, 0>(S, expanded_key.keyed_sbox[0]);
    fill_column<K, 1>(S, expanded_key.keyed_sbox[1]);
    fill_column<K, 2>(S, expanded_key.keyed_sbox[2]);
    fill_column<K, 3>(S, expanded_key.keyed_sbox[3]);
}

}  // namespace

void build_q_perms() {
    for (int which = 0; which < 2; ++which) {
        const auto& t = q_nibbles[which];
        for (unsigned x = 0; x < 256; ++x) {
            unsigned a0 = x / 16, b0 = x % 16;
            unsigned a1 = a0 ^ b0, b1 = a0 ^ ror4(b0) ^ ((8 * a0) % 16);
            unsigned a2 = t[0][a1], b2 = t[1][b1];
            unsigned a3 = a2 ^ b2, b3 = a2 ^ ror4(b2) ^ ((8 * a2) % 16);
            unsigned a4 = t[2][a3], b4 = t[3][b3];
            q_perm[which][x] = 16 * b4 + a4;
        }
    }
}

void build_mds_columns() {
    for (unsigned v = 0; v < 256; ++v) {
        for (int which = 0; which < 2; ++which) {
            Twofish_UInt32 y = q_perm[which][v];
            Twofish_UInt32 m5b = mds_times_5b(y);
            Twofish_UInt32 mef = mds_times_ef(y);
            if (which == 1) {
                mds_column[0][v] = y | m5b << 8 | mef << 16 | mef << 24;
                mds_column[2][v] = m5b | mef << 8 | y << 16 | mef << 24;
            } else {
                mds_column[1][v] = mef | mef << 8 | m5b << 16 | y << 24;
                mds_column[3][v] = m5b | y << 8 | mef << 16 | m5b << 24;
            }
        }
    }
}

Twofish_UInt32 h(unsigned x, const Twofish_Byte* L, int k) {
    switch (k) {
        case 2: return h_k<2>(x & 0xFF, L);
        case 3: return h_k<3>(x & 0xFF, L);
        case 4: return h_k<4>(x & 0xFF, L);
        default: fail_internal("Twofish h(): Illegal argument");
    }
}

void fill_keyed_sboxes(const Twofish_Byte* S, int k, TwofishKey& expanded_key) {
    switch (k) {
        case 2: fill_k<2>(S, expanded_key); break;
        case 3: fill_k<3>(S, expanded_key); break;
        case 4: fill_k<4>(S, expanded_key); break;
        default: fail_internal("Twofish fill_keyed_sboxes(): Illegal argument");
    }
}

Twofish_UInt32 rs_remainder(const Twofish_Byte* chunk) {
    // Long division of chunk(x) * x^4 by the RS generator, highest term first.
    Twofish_Byte w[12] = {};
    std::copy_n(chunk, 8, w + 4);
    for (int p = 11; p >= 4; --p) {
        unsigned b = w[p];
        unsigned u = ((b << 1) & 0xFF) ^ rs_mul_alpha[b >> 7];
        unsigned v = (b >> 1) ^ rs_div_alpha[b & 1] ^ u;
        w[p - 4] ^= static_cast<Twofish_Byte>(b);
        w[p - 3] ^= static_cast<Twofish_Byte>(v);
        w[p - 2] ^= static_cast<Twofish_Byte>(u);
        w[p - 1] ^= static_cast<Twofish_Byte>(v);
    }
    Twofish_UInt32 s = GET32(w);
    wipe(w, sizeof w);
    return s;
}

void prepare_key_using(const Twofish_Byte* key, int length, TwofishKey& expanded_key, KeyWork& work) {
    if (!started) fail_internal("Twofish implementation was not initialised.");
    if (static_cast<unsigned>(length) > 32) fail_internal("Twofish_prepare_key: illegal key length");

    work.key.fill(0);
    if (length > 0) std::copy_n(key, length, work.key.begin());
    const int k = std::max((length + 7) / 8, 2);
    const Twofish_Byte* m = work.key.data();

    // Me are the even key words (from byte 0), Mo the odd ones (from byte 4).
    for (unsigned i = 0; i < 20; ++i) {
        Twofish_UInt32 a = h(2 * i, m, k);
        Twofish_UInt32 b = ROL(h(2 * i + 1, m + 4, k), 8);
        expanded_key.subkey[2 * i] = a + b;
        expanded_key.subkey[2 * i + 1] = ROL(a + 2 * b, 9);
    }

    // S list in the standard's order: S(k-1) first, S0 last.
    work.s_list.fill(0);
    for (int c = 0; c < k; ++c) PUT32(rs_remainder(m + 8 * c), work.s_list.data() + 8 * (k - 1 - c));
    fill_keyed_sboxes(work.s_list.data(), k, expanded_key);

    // Key material stays nowhere but in the record.
    wipe(work.key.data(), work.key.size());
    wipe(work.s_list.data(), work.s_list.size());
}

namespace {

// N independent blocks side by side, word i of block n in w[i][n], so that
// the rounds of different blocks can overlap in the processor.
template <int N>
using Lanes = std::array<Twofish_UInt32, N>;

TWOFISH_INLINE Twofish_UInt32 g(const TwofishKey& key, Twofish_UInt32 x) {
    return key.keyed_sbox[0][SELECT_BYTE(x, 0)] ^ key.keyed_sbox[1][SELECT_BYTE(x, 1)] ^
           key.keyed_sbox[2][SELECT_BYTE(x, 2)] ^ key.keyed_sbox[3][SELECT_BYTE(x, 3)];
}

// g(ROL(x, 8)), reading the bytes of x in their rotated order instead of
// rotating first: one step less on the path from a round's output to the
// next round, which is all CBC encryption can go on.
TWOFISH_INLINE Twofish_UInt32 g_rol8(const TwofishKey& key, Twofish_UInt32 x) {
    return key.keyed_sbox[0][SELECT_BYTE(x, 3)] ^ key.keyed_sbox[1][SELECT_BYTE(x, 0)] ^
           key.keyed_sbox[2][SELECT_BYTE(x, 1)] ^ key.keyed_sbox[3][SELECT_BYTE(x, 2)];
}

// Round R of encryption: a, b feed F; c, d take it. The halves are not
// swapped; the callers alternate the roles instead.
template <int R, int N>
TWOFISH_INLINE void encrypt_round(const TwofishKey& key, const Lanes<N>& a, const Lanes<N>& b, Lanes<N>& c,
                                  Lanes<N>& d) {
    for (int n = 0; n < N; ++n) {
        Twofish_UInt32 t0 = g(key, a[n]);
        Twofish_UInt32 t1 = g_rol8(key, b[n]);
        c[n] = ROR(c[n] ^ (t0 + t1 + key.subkey[8 + 2 * R]), 1);
        d[n] = ROL(d[n], 1) ^ (t0 + 2 * t1 + key.subkey[9 + 2 * R]);
    }
}

template <int R, int N>
TWOFISH_INLINE void decrypt_round(const TwofishKey& key, const Lanes<N>& a, const Lanes<N>& b, Lanes<N>& c,
                                  Lanes<N>& d) {
    for (int n = 0; n < N; ++n) {
        Twofish_UInt32 t0 = g(key, a[n]);
        Twofish_UInt32 t1 = g_rol8(key, b[n]);
        c[n] = ROL(c[n], 1) ^ (t0 + t1 + key.subkey[8 + 2 * R]);
        d[n] = ROR(d[n] ^ (t0 + 2 * t1 + key.subkey[9 + 2 * R]), 1);
    }
}

// Whitening, 16 rounds and whitening; w holds the block words in and out.
template <int N>
TWOFISH_INLINE void encrypt_lanes(const TwofishKey& key, std::array<Lanes<N>, 4>& w) {
    auto& s = key.subkey;
    Lanes<N> a, b, c, d;
    for (int n = 0; n < N; ++n) {
        a[n] = w[0][n] ^ s[0];
        b[n] = w[1][n] ^ s[1];
        c[n] = w[2][n] ^ s[2];
        d[n] = w[3][n] ^ s[3];
    }
    encrypt_round<0, N>(key, a, b, c, d);
    encrypt_round<1, N>(key, c, d, a, b);
    encrypt_round<2, N>(key, a, b, c, d);
    encrypt_round<3, N>(key, c, d, a, b);
    encrypt_round<4, N>(key, a, b, c, d);
    encrypt_round<5, N>(key, c, d, a, b);
    encrypt_round<6, N>(key, a, b, c, d);
    encrypt_round<7, N>(key, c, d, a, b);
    encrypt_round<8, N>(key, a, b, c, d);
    encrypt_round<9, N>(key, c, d, a, b);
    encrypt_round<10, N>(key, a, b, c, d);
    encrypt_round<11, N>(key, c, d, a, b);
    encrypt_round<12, N>(key, a, b, c, d);
    encrypt_round<13, N>(key, c, d, a, b);
    encrypt_round<14, N>(key, a, b, c, d);
    encrypt_round<15, N>(key, c, d, a, b);
    // The last round has no swap: its outputs c, d lead.
    for (int n = 0; n < N; ++n) {
        w[0][n] = c[n] ^ s[4];
        w[1][n] = d[n] ^ s[5];
        w[2][n] = a[n] ^ s[6];
        w[3][n] = b[n] ^ s[7];
    }
}

template <int N>
TWOFISH_INLINE void decrypt_lanes(const TwofishKey& key, std::array<Lanes<N>, 4>& w) {
    auto& s = key.subkey;
    Lanes<N> a, b, c, d;
    for (int n = 0; n < N; ++n) {
        a[n] = w[0][n] ^ s[4];
        b[n] = w[1][n] ^ s[5];
        c[n] = w[2][n] ^ s[6];
        d[n] = w[3][n] ^ s[7];
    }
    decrypt_round<15, N>(key, a, b, c, d);
    decrypt_round<14, N>(key, c, d, a, b);
    decrypt_round<13, N>(key, a, b, c, d);
    decrypt_round<12, N>(key, c, d, a, b);
    decrypt_round<11, N>(key, a, b, c, d);
    decrypt_round<10, N>(key, c, d, a, b);
    decrypt_round<9, N>(key, a, b, c, d);
    decrypt_round<8, N>(key, c, d, a, b);
    decrypt_round<7, N>(key, a, b, c, d);
    decrypt_round<6, N>(key, c, d, a, b);
    decrypt_round<5, N>(key, a, b, c, d);
    decrypt_round<4, N>(key, c, d, a, b);
    decrypt_round<3, N>(key, a, b, c, d);
    decrypt_round<2, N>(key, c, d, a, b);
    decrypt_round<1, N>(key, a, b, c, d);
    decrypt_round<0, N>(key, c, d, a, b);
    for (int n = 0; n < N; ++n) {
        w[0][n] = c[n] ^ s[0];
        w[1][n] = d[n] ^ s[1];
        w[2][n] = a[n] ^ s[2];
        w[3][n] = b[n] ^ s[3];
    }
}

template <int N>
TWOFISH_INLINE void load_lanes(const Twofish_Byte* in, std::array<Lanes<N>, 4>& w) {
    for (int n = 0; n < N; ++n)
        for (int i = 0; i < 4; ++i) w[i][n] = GET32(in + 16 * n + 4 * i);
}

template <int N>
TWOFISH_INLINE void store_lanes(const std::array<Lanes<N>, 4>& w, Twofish_Byte* out) {
    for (int n = 0; n < N; ++n)
        for (int i = 0; i < 4; ++i) PUT32(w[i][n], out + 16 * n + 4 * i);
}

// Blocks decrypted side by side in CBC decryption.
constexpr int DECRYPT_LANES = 4;

}  // namespace
}  // namespace twofish_internal

using namespace twofish_internal;

void Twofish_prepare_key(const Twofish_Byte* key, int length, TwofishKey& expanded_key) {
    KeyWork work;
    prepare_key_using(key, length, expanded_key, work);
}

void Twofish_encrypt_block(const TwofishKey& expanded_key, const Twofish_Byte* in, Twofish_Byte* out) {
    std::array<Lanes<1>, 4> w;
    load_lanes<1>(in, w);
    encrypt_lanes<1>(expanded_key, w);
    store_lanes<1>(w, out);
}

void Twofish_decrypt_block(const TwofishKey& expanded_key, const Twofish_Byte* in, Twofish_Byte* out) {
    std::array<Lanes<1>, 4> w;
    load_lanes<1>(in, w);
    decrypt_lanes<1>(expanded_key, w);
    store_lanes<1>(w, out);
}

void Twofish_cbc_encrypt(const TwofishKey& expanded_key, Twofish_Byte* chain, const Twofish_Byte* in, Twofish_Byte* out,
                         std::size_t count) {
    std::array<Lanes<1>, 4> prev;
    load_lanes<1>(chain, prev);
    for (; count > 0; --count, in += 16, out += 16) {
        std::array<Lanes<1>, 4> w;
        load_lanes<1>(in, w);
        for (int i = 0; i < 4; ++i) w[i][0] ^= prev[i][0];
        encrypt_lanes<1>(expanded_key, w);
        store_lanes<1>(w, out);
        prev = w;
    }
    store_lanes<1>(prev, chain);
}

namespace {

// CBC decryption of N blocks at data; prev holds the ciphertext before them
// and becomes their last ciphertext block.
template <int N>
TWOFISH_INLINE void cbc_decrypt_group(const TwofishKey& key, std::array<Lanes<1>, 4>& prev, Twofish_Byte* data) {
    std::array<Lanes<N>, 4> cipher;
    load_lanes<N>(data, cipher);
    std::array<Lanes<N>, 4> w = cipher;
    decrypt_lanes<N>(key, w);
    for (int i = 0; i < 4; ++i) {
        w[i][0] ^= prev[i][0];
        for (int n = 1; n < N; ++n) w[i][n] ^= cipher[i][n - 1];
        prev[i][0] = cipher[i][N - 1];
    }
    store_lanes<N>(w, data);
}

}  // namespace

void Twofish_cbc_decrypt_portable(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data,
                                  std::size_t count) {
    std::array<Lanes<1>, 4> prev;
    load_lanes<1>(chain, prev);
    for (; count >= DECRYPT_LANES; count -= DECRYPT_LANES, data += 16 * DECRYPT_LANES)
        cbc_decrypt_group<DECRYPT_LANES>(expanded_key, prev, data);
    for (; count > 0; --count, data += 16) cbc_decrypt_group<1>(expanded_key, prev, data);
    store_lanes<1>(prev, chain);
}

void Twofish_cbc_decrypt(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data, std::size_t count) {
    if (cpu_has_twofish_vector_instructions()) {
        Twofish_cbc_decrypt_hw(expanded_key, chain, data, count);
        return;
    }
    Twofish_cbc_decrypt_portable(expanded_key, chain, data, count);
}

}  // namespace zelno
