// Internals of the Twofish module: word helpers, the shared tables, the
// key-schedule pieces and the self-test checks. Only twofish*.cpp and the
// unit tests include this.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "crypto/byte_order.hpp"
#include "crypto/twofish.hpp"

namespace zelno::twofish_internal {

// Block words are little-endian on every platform.
inline Twofish_UInt32 GET32(const Twofish_Byte* p) { return load_le32(p); }
inline void PUT32(Twofish_UInt32 v, Twofish_Byte* p) { store_le32(p, v); }
constexpr Twofish_UInt32 ROL(Twofish_UInt32 x, int n) { return std::rotl(x, n); }
constexpr Twofish_UInt32 ROR(Twofish_UInt32 x, int n) { return std::rotr(x, n); }
constexpr Twofish_UInt32 BSWAP(Twofish_UInt32 x) {
    return (x >> 24) | ((x >> 8) & 0x0000FF00u) | ((x << 8) & 0x00FF0000u) | (x << 24);
}
// Byte i of x, byte 0 the least significant.
constexpr unsigned SELECT_BYTE(Twofish_UInt32 x, int i) { return (x >> (8 * i)) & 0xFFu; }

// The 4-bit permutations t0..t3 that build q0 (index 0) and q1 (index 1).
inline constexpr std::array<std::array<std::array<Twofish_Byte, 16>, 4>, 2> q_nibbles{{
    {{{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
      {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
      {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
      {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}}},
    {{{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
      {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
      {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
      {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}},
}};

// MDS field GF(2^8) mod 0x169: dividing by alpha shifts right and folds in
// 0x169 >> 1 when a one bit falls out.
inline constexpr Twofish_UInt32 MDS_POLY = 0x169;
inline constexpr std::array<Twofish_Byte, 2> mds_div_alpha{0, MDS_POLY >> 1};
constexpr unsigned mds_div(unsigned y) { return (y >> 1) ^ mds_div_alpha[y & 1]; }
// The two MDS entries other than 01: 5B = 1 + 1/alpha^2, EF = 1 + 1/alpha + 1/alpha^2.
constexpr unsigned mds_times_5b(unsigned y) { return y ^ mds_div(mds_div(y)); }
constexpr unsigned mds_times_ef(unsigned y) { return y ^ mds_div(y) ^ mds_div(mds_div(y)); }
// RS field GF(2^8) mod 0x14D.
inline constexpr Twofish_UInt32 RS_POLY = 0x14D;
inline constexpr std::array<Twofish_Byte, 2> rs_mul_alpha{0, RS_POLY & 0xFF};
inline constexpr std::array<Twofish_Byte, 2> rs_div_alpha{0, RS_POLY >> 1};

using Table256 = std::array<Twofish_UInt32, 256>;

// Built by Twofish_start; zero until then.
extern std::array<Table256, 2> q_perm;      // q0, q1
extern std::array<Table256, 4> mds_column;  // MDS column j times q(x)
extern bool started;

void build_q_perms();
void build_mds_columns();

// The h function for the word whose four bytes are x. L holds k words
// (k = 2, 3 or 4) that lie 8 bytes apart.
Twofish_UInt32 h(unsigned x, const Twofish_Byte* L, int k);
// keyed_sbox of expanded_key from the list S (k words, 8 bytes apart).
void fill_keyed_sboxes(const Twofish_Byte* S, int k, TwofishKey& expanded_key);
// RS code of one 8-byte key chunk: s0..s3 as bytes 0..3 of the word.
Twofish_UInt32 rs_remainder(const Twofish_Byte* chunk);

// Working areas of one key preparation; wiped before it returns.
struct KeyWork {
    std::array<Twofish_Byte, 32> key;     // key bytes, zero-padded
    std::array<Twofish_Byte, 32> s_list;  // S words, 8 bytes apart
};
void prepare_key_using(const Twofish_Byte* key, int length, TwofishKey& expanded_key, KeyWork& work);

void check_platform();
void check_known_answers();
void check_iterated_chain(int key_length);
void check_short_keys();

}  // namespace zelno::twofish_internal
