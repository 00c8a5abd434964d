// AES lookup tables on big-endian column words, built at compile time from
// the S-box rule (multiplicative inverse in GF(2^8), then the affine map).
#pragma once

#include <array>
#include <cstdint>

namespace zelno {

namespace aes_build {

using Table = std::array<std::uint32_t, 256>;

constexpr std::uint8_t xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t r = 0;
    while (b != 0) {
        if ((b & 1) != 0) r = static_cast<std::uint8_t>(r ^ a);
        a = xtime(a);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return r;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int n) { return static_cast<std::uint8_t>((x << n) | (x >> (8 - n))); }

struct Sboxes {
    std::array<std::uint8_t, 256> forward{};
    std::array<std::uint8_t, 256> inverse{};
};

constexpr Sboxes make_sboxes() {
    // Powers of the generator 3 give the inverse of v as 3^(255 - log v).
    std::array<std::uint8_t, 256> power{};
    std::array<int, 256> log{};
    std::uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = x;
        log[x] = i;
        x = gf_mul(x, 3);
    }
    Sboxes boxes;
    for (int v = 0; v < 256; ++v) {
        const std::uint8_t inv = v == 0 ? 0 : power[(255 - log[v]) % 255];
        const auto s =
            static_cast<std::uint8_t>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
        boxes.forward[v] = s;
        boxes.inverse[s] = static_cast<std::uint8_t>(v);
    }
    return boxes;
}

inline constexpr Sboxes sboxes = make_sboxes();

constexpr std::uint32_t word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8) | b3;
}

constexpr std::uint32_t rotr(std::uint32_t w, int n) { return n == 0 ? w : (w >> n) | (w << (32 - n)); }

// Column of MixColumns (m0..m3 = 2,1,1,3) or InvMixColumns (14,9,13,11) for
// one substituted byte, rotated for row k.
constexpr std::array<Table, 4> make_round_tables(const std::array<std::uint8_t, 256>& box, std::uint8_t m0,
                                                 std::uint8_t m1, std::uint8_t m2, std::uint8_t m3) {
    std::array<Table, 4> t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = box[x];
        const std::uint32_t w = word(gf_mul(m0, s), gf_mul(m1, s), gf_mul(m2, s), gf_mul(m3, s));
        for (int k = 0; k < 4; ++k) t[k][x] = rotr(w, 8 * k);
    }
    return t;
}

constexpr Table make_spread(const std::array<std::uint8_t, 256>& box) {
    Table t{};
    for (int x = 0; x < 256; ++x) t[x] = word(box[x], box[x], box[x], box[x]);
    return t;
}

}  // namespace aes_build

// Round tables: substitution and MixColumns in one lookup per byte.
inline constexpr std::array<aes_build::Table, 4> aes_enc_table =
    aes_build::make_round_tables(aes_build::sboxes.forward, 2, 1, 1, 3);
inline constexpr std::array<aes_build::Table, 4> aes_dec_table =
    aes_build::make_round_tables(aes_build::sboxes.inverse, 14, 9, 13, 11);
// S-box and inverse S-box value in all four bytes, for the last round and
// the key schedule (masked to the byte needed).
inline constexpr aes_build::Table aes_sbox_word = aes_build::make_spread(aes_build::sboxes.forward);
inline constexpr aes_build::Table aes_inv_sbox_word = aes_build::make_spread(aes_build::sboxes.inverse);

inline constexpr std::array<std::uint32_t, 10> aes_round_constant = {
    0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
    0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000,
};

static_assert(aes_enc_table[0][0] == 0xC66363A5);
static_assert(aes_dec_table[0][0] == 0x51F4A750);
static_assert(aes_sbox_word[0x53] == 0xEDEDEDED);
static_assert(aes_inv_sbox_word[0xED] == 0x53535353);

}  // namespace zelno
