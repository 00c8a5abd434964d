// Twofish CBC decryption on AVX-512, 64 blocks at a time. The words of the
// blocks sit 16 to a register; for g they are cut into byte planes (byte j
// of one word of all 64 blocks in one register), where S-box j of the key is
// a 256-byte table looked up with two byte permutes (VBMI), and the MDS
// multiplication is a GF(2^8) affine transform (GFNI) per entry other than
// 01, and XORs. The additions of the round go back to whole words. Only this
// file's functions are compiled for these instructions.

// GCC 12's AVX-512 headers make their "undefined" registers out of
// themselves, which -Wuninitialized (and, in the sanitizer builds,
// -Wmaybe-uninitialized, a warning clang does not know) reports where they
// are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <array>
#include <cstdint>

#include "crypto/fast_paths.hpp"
#include "crypto/twofish_internal.hpp"
#include "crypto/wipe.hpp"

#define ZELNO_TWOFISH_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))
#define ZELNO_TWOFISH_INLINE ZELNO_TWOFISH_TARGET __attribute__((always_inline)) inline

namespace zelno {
namespace {

using namespace twofish_internal;

constexpr std::size_t GROUP_BLOCKS = 64;

// GF2P8AFFINEQB's matrix of a map that is linear over GF(2): byte 7 - i
// holds the input bits whose sum is output bit i.
constexpr std::uint64_t affine_matrix(unsigned (*map)(unsigned)) {
    std::uint64_t matrix = 0;
    for (int i = 0; i < 8; ++i) {
        std::uint64_t row = 0;
        for (int k = 0; k < 8; ++k) row |= ((map(1u << k) >> i) & 1u) << k;
        matrix |= row << (8 * (7 - i));
    }
    return matrix;
}

// Column j of MDS has its 01 in row 0, 3, 2, 1: that byte of keyed_sbox[j]
// is S-box j alone.
constexpr std::array<int, 4> plain_row{0, 3, 2, 1};

// Four registers: a word of the 64 blocks, 16 to a register, or its four
// byte planes. (A std::array would drop the vector type's alignment.)
struct Quad {
    __m512i v[4];
};
using Words = Quad;
using Planes = Quad;

struct Tables {
    Quad sbox[4];  // S-box j, bytes 64q to 64q + 63 in sbox[j].v[q]
    __m512i times_5b;
    __m512i times_ef;
};

// Plane j, lane L, byte 4m + i: byte j of word i of lane L of x[m].
ZELNO_TWOFISH_INLINE Planes to_planes(const Words& x) {
    const __m512i bytes_by_plane = _mm512_set4_epi32(0x0f0b0703, 0x0e0a0602, 0x0d090501, 0x0c080400);
    const __m512i y0 = _mm512_shuffle_epi8(x.v[0], bytes_by_plane), y1 = _mm512_shuffle_epi8(x.v[1], bytes_by_plane);
    const __m512i y2 = _mm512_shuffle_epi8(x.v[2], bytes_by_plane), y3 = _mm512_shuffle_epi8(x.v[3], bytes_by_plane);
    const __m512i t0 = _mm512_unpacklo_epi32(y0, y1), t1 = _mm512_unpackhi_epi32(y0, y1);
    const __m512i t2 = _mm512_unpacklo_epi32(y2, y3), t3 = _mm512_unpackhi_epi32(y2, y3);
    return {{_mm512_unpacklo_epi64(t0, t2), _mm512_unpackhi_epi64(t0, t2), _mm512_unpacklo_epi64(t1, t3),
             _mm512_unpackhi_epi64(t1, t3)}};
}

// The inverse of to_planes.
ZELNO_TWOFISH_INLINE Words to_words(const Planes& p) {
    const __m512i lo01 = _mm512_unpacklo_epi8(p.v[0], p.v[1]), hi01 = _mm512_unpackhi_epi8(p.v[0], p.v[1]);
    const __m512i lo23 = _mm512_unpacklo_epi8(p.v[2], p.v[3]), hi23 = _mm512_unpackhi_epi8(p.v[2], p.v[3]);
    return {{_mm512_unpacklo_epi16(lo01, lo23), _mm512_unpackhi_epi16(lo01, lo23), _mm512_unpacklo_epi16(hi01, hi23),
             _mm512_unpackhi_epi16(hi01, hi23)}};
}

// S-box j on a plane: the low half of the table for bytes below 0x80, the
// high half for the others.
ZELNO_TWOFISH_INLINE __m512i sbox(const Tables& t, int j, __m512i x) {
    const __m512i* s = t.sbox[j].v;
    const __m512i low = _mm512_permutex2var_epi8(s[0], x, s[1]);
    const __m512i high = _mm512_permutex2var_epi8(s[2], x, s[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

// g of the word whose plane j is p[(j + Shift) % 4]: Shift 0 for the word
// itself, 3 for the word rotated left by 8.
template <int Shift>
ZELNO_TWOFISH_INLINE Planes g(const Tables& t, const Planes& p) {
    __m512i y[4], f[4], e[4];  // S-box outputs, times 5B, times EF
    for (int j = 0; j < 4; ++j) {
        y[j] = sbox(t, j, p.v[(j + Shift) % 4]);
        f[j] = _mm512_gf2p8affine_epi64_epi8(y[j], t.times_5b, 0);
        e[j] = _mm512_gf2p8affine_epi64_epi8(y[j], t.times_ef, 0);
    }
    // MDS rows: 01 EF 5B 5B / 5B EF EF 01 / EF 5B 01 EF / EF 01 EF 5B.
    constexpr int XOR3 = 0x96;
    return {{_mm512_xor_si512(_mm512_ternarylogic_epi32(y[0], e[1], f[2], XOR3), f[3]),
             _mm512_xor_si512(_mm512_ternarylogic_epi32(f[0], e[1], e[2], XOR3), y[3]),
             _mm512_xor_si512(_mm512_ternarylogic_epi32(e[0], f[1], y[2], XOR3), e[3]),
             _mm512_xor_si512(_mm512_ternarylogic_epi32(e[0], y[1], e[2], XOR3), f[3])}};
}

// Decryption round R: a, b feed F; c, d take it (the roles alternate as in
// the portable code).
template <int R>
ZELNO_TWOFISH_INLINE void decrypt_round(const Tables& t, const TwofishKey& key, const Words& a, const Words& b,
                                        Words& c, Words& d) {
    const Words t0 = to_words(g<0>(t, to_planes(a)));
    const Words t1 = to_words(g<3>(t, to_planes(b)));
    const __m512i k0 = _mm512_set1_epi32(static_cast<int>(key.subkey[8 + 2 * R]));
    const __m512i k1 = _mm512_set1_epi32(static_cast<int>(key.subkey[9 + 2 * R]));
    for (int m = 0; m < 4; ++m) {
        const __m512i sum = _mm512_add_epi32(t0.v[m], t1.v[m]);
        c.v[m] = _mm512_xor_si512(_mm512_rol_epi32(c.v[m], 1), _mm512_add_epi32(sum, k0));
        d.v[m] = _mm512_ror_epi32(_mm512_xor_si512(d.v[m], _mm512_add_epi32(_mm512_add_epi32(sum, t1.v[m]), k1)), 1);
    }
}

// Four registers of four blocks each become the four words of those 16
// blocks, and back: the transposition is its own inverse.
ZELNO_TWOFISH_INLINE void transpose(__m512i& w0, __m512i& w1, __m512i& w2, __m512i& w3) {
    const __m512i t0 = _mm512_unpacklo_epi32(w0, w1), t1 = _mm512_unpackhi_epi32(w0, w1);
    const __m512i t2 = _mm512_unpacklo_epi32(w2, w3), t3 = _mm512_unpackhi_epi32(w2, w3);
    w0 = _mm512_unpacklo_epi64(t0, t2);
    w1 = _mm512_unpackhi_epi64(t0, t2);
    w2 = _mm512_unpacklo_epi64(t1, t3);
    w3 = _mm512_unpackhi_epi64(t1, t3);
}

ZELNO_TWOFISH_INLINE __m512i whitened(__m512i w, Twofish_UInt32 subkey) {
    return _mm512_xor_si512(w, _mm512_set1_epi32(static_cast<int>(subkey)));
}

// CBC decryption of 64 blocks in place; `previous` holds the ciphertext
// block before them in its top lane, and then their last one.
ZELNO_TWOFISH_TARGET void decrypt_group(const Tables& t, const TwofishKey& key, __m512i& previous, Twofish_Byte* data) {
    const auto& s = key.subkey;
    Words a, b, c, d;
    for (int m = 0; m < 4; ++m) {
        const Twofish_Byte* blocks = data + 256 * m;
        __m512i& wa = a.v[m];
        __m512i& wb = b.v[m];
        __m512i& wc = c.v[m];
        __m512i& wd = d.v[m];
        wa = _mm512_loadu_si512(blocks);
        wb = _mm512_loadu_si512(blocks + 64);
        wc = _mm512_loadu_si512(blocks + 128);
        wd = _mm512_loadu_si512(blocks + 192);
        transpose(wa, wb, wc, wd);
        wa = whitened(wa, s[4]);
        wb = whitened(wb, s[5]);
        wc = whitened(wc, s[6]);
        wd = whitened(wd, s[7]);
    }
    decrypt_round<15>(t, key, a, b, c, d);
    decrypt_round<14>(t, key, c, d, a, b);
    decrypt_round<13>(t, key, a, b, c, d);
    decrypt_round<12>(t, key, c, d, a, b);
    decrypt_round<11>(t, key, a, b, c, d);
    decrypt_round<10>(t, key, c, d, a, b);
    decrypt_round<9>(t, key, a, b, c, d);
    decrypt_round<8>(t, key, c, d, a, b);
    decrypt_round<7>(t, key, a, b, c, d);
    decrypt_round<6>(t, key, c, d, a, b);
    decrypt_round<5>(t, key, a, b, c, d);
    decrypt_round<4>(t, key, c, d, a, b);
    decrypt_round<3>(t, key, a, b, c, d);
    decrypt_round<2>(t, key, c, d, a, b);
    decrypt_round<1>(t, key, a, b, c, d);
    decrypt_round<0>(t, key, c, d, a, b);
    for (int m = 0; m < 4; ++m) {
        __m512i plain[4] = {whitened(c.v[m], s[0]), whitened(d.v[m], s[1]), whitened(a.v[m], s[2]),
                            whitened(b.v[m], s[3])};
        transpose(plain[0], plain[1], plain[2], plain[3]);
        // Each block takes the ciphertext block before it, read before its
        // own register of blocks is overwritten.
        for (int i = 0; i < 4; ++i) {
            Twofish_Byte* blocks = data + 256 * m + 64 * i;
            const __m512i cipher = _mm512_loadu_si512(blocks);
            _mm512_storeu_si512(blocks, _mm512_xor_si512(plain[i], _mm512_alignr_epi32(cipher, previous, 12)));
            previous = cipher;
        }
    }
}

ZELNO_TWOFISH_TARGET void decrypt_groups(const TwofishKey& key, Twofish_Byte* chain, Twofish_Byte* data,
                                         std::size_t groups) {
    alignas(64) std::array<std::array<Twofish_Byte, 256>, 4> sbox_bytes;
    for (int j = 0; j < 4; ++j) {
        for (unsigned x = 0; x < 256; ++x) {
            sbox_bytes[j][x] = static_cast<Twofish_Byte>(key.keyed_sbox[j][x] >> (8 * plain_row[j]));
        }
    }
    Tables t;
    for (int j = 0; j < 4; ++j) {
        for (int q = 0; q < 4; ++q) t.sbox[j].v[q] = _mm512_load_si512(sbox_bytes[j].data() + 64 * q);
    }
    t.times_5b = _mm512_set1_epi64(static_cast<long long>(affine_matrix(mds_times_5b)));
    t.times_ef = _mm512_set1_epi64(static_cast<long long>(affine_matrix(mds_times_ef)));

    __m512i previous =
        _mm512_inserti32x4(_mm512_setzero_si512(), _mm_loadu_si128(reinterpret_cast<__m128i*>(chain)), 3);
    for (; groups > 0; --groups, data += 16 * GROUP_BLOCKS) decrypt_group(t, key, previous, data);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm512_extracti32x4_epi32(previous, 3));
    wipe(sbox_bytes.data(), sizeof sbox_bytes);  // the key's S-boxes
    wipe(&t, sizeof t);
}

}  // namespace

void Twofish_cbc_decrypt_hw(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data,
                            std::size_t count) {
    const std::size_t groups = count / GROUP_BLOCKS;
    if (groups > 0) decrypt_groups(expanded_key, chain, data, groups);
    Twofish_cbc_decrypt_portable(expanded_key, chain, data + 16 * GROUP_BLOCKS * groups, count % GROUP_BLOCKS);
}

}  // namespace zelno
