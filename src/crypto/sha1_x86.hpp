// The SHA-1 rounds on the processor's SHA instructions, for the files that
// compress blocks with them: the digest alone, and beside the AES chain.
// Each SHA1RNDS4 runs four rounds; the message schedule advances four words
// at a time with SHA1MSG1, XOR and SHA1MSG2; SHA1NEXTE derives E from the A
// of four rounds earlier.
#pragma once

#include <array>
#include <cstdint>
#include <immintrin.h>

#define ZELNO_SHA_TARGET __attribute__((target("sha,sse4.1")))
#define ZELNO_SHA_INLINE ZELNO_SHA_TARGET __attribute__((always_inline)) inline

namespace zelno::sha1_x86 {

// The chaining value in the instructions' order (A in the top lane) and the
// working state of one block.
struct Lanes {
    __m128i abcd;
    __m128i e;
};

struct Block {
    __m128i m[4];    // m[G % 4]: the schedule words 4G..4G+3 of group G
    __m128i prev;    // ABCD before the previous group
    Lanes at_start;  // the chaining value the block starts from and adds to
};

ZELNO_SHA_INLINE Lanes load_chaining(const std::array<std::uint32_t, 5>& chaining) {
    const __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chaining.data()));
    return {_mm_shuffle_epi32(abcd, 0x1B), _mm_set_epi32(static_cast<int>(chaining[4]), 0, 0, 0)};
}

ZELNO_SHA_INLINE void store_chaining(std::array<std::uint32_t, 5>& chaining, Lanes lanes) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chaining.data()), _mm_shuffle_epi32(lanes.abcd, 0x1B));
    chaining[4] = static_cast<std::uint32_t>(_mm_extract_epi32(lanes.e, 3));
}

// Reads the block's big-endian words (word 0 in the top lane).
ZELNO_SHA_INLINE Block begin_block(Lanes lanes, const std::uint8_t* block) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    Block b{.m = {}, .prev = lanes.abcd, .at_start = lanes};
    for (int i = 0; i < 4; ++i) {
        b.m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), reverse);
    }
    return b;
}

// Four-round group G (0..19) of the block.
template <int G>
ZELNO_SHA_INLINE void group(Lanes& lanes, Block& b) {
    if constexpr (G >= 4) {
        const __m128i x = _mm_xor_si128(_mm_sha1msg1_epu32(b.m[G % 4], b.m[(G + 1) % 4]), b.m[(G + 2) % 4]);
        b.m[G % 4] = _mm_sha1msg2_epu32(x, b.m[(G + 3) % 4]);
    }
    __m128i wk;
    if constexpr (G == 0) {
        wk = _mm_add_epi32(b.at_start.e, b.m[0]);
    } else {
        wk = _mm_sha1nexte_epu32(b.prev, b.m[G % 4]);
    }
    b.prev = lanes.abcd;
    lanes.abcd = _mm_sha1rnds4_epu32(lanes.abcd, wk, G / 5);
}

// After group 19: the block's result added to the chaining value.
ZELNO_SHA_INLINE void end_block(Lanes& lanes, const Block& b) {
    lanes.e = _mm_sha1nexte_epu32(b.prev, b.at_start.e);
    lanes.abcd = _mm_add_epi32(lanes.abcd, b.at_start.abcd);
}

}  // namespace zelno::sha1_x86
