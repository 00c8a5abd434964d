// SHA-1 compression on the processor's SHA instructions. Each SHA1RNDS4
// runs four rounds; the message schedule advances four words at a time with
// SHA1MSG1, XOR and SHA1MSG2; SHA1NEXTE derives E from the A of four rounds
// earlier. Only this file's functions are compiled for the SHA extensions.
#include "crypto/fast_paths.hpp"

#include <immintrin.h>

#define ZELNO_SHA_TARGET __attribute__((target("sha,sse4.1")))

namespace zelno {

namespace {

// Four-round group G (0..19). m[G % 4] holds the schedule words 4G..4G+3
// once computed; prev is ABCD before the previous group.
template <int G>
ZELNO_SHA_TARGET __attribute__((always_inline)) inline void groups(__m128i& abcd, __m128i& prev, __m128i e0,
                                                                   __m128i (&m)[4]) {
    if constexpr (G >= 4) {
        const __m128i x = _mm_xor_si128(_mm_sha1msg1_epu32(m[G % 4], m[(G + 1) % 4]), m[(G + 2) % 4]);
        m[G % 4] = _mm_sha1msg2_epu32(x, m[(G + 3) % 4]);
    }
    __m128i wk;
    if constexpr (G == 0) {
        wk = _mm_add_epi32(e0, m[0]);
    } else {
        wk = _mm_sha1nexte_epu32(prev, m[G % 4]);
    }
    prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, wk, G / 5);
    if constexpr (G < 19) groups<G + 1>(abcd, prev, e0, m);
}

}  // namespace

ZELNO_SHA_TARGET void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks,
                                       std::size_t count) {
    // Big-endian words of the block, word 0 in the top lane.
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chaining.data()));
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    __m128i e = _mm_set_epi32(static_cast<int>(chaining[4]), 0, 0, 0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abcd_saved = abcd;
        const __m128i e_saved = e;
        __m128i m[4];
        for (int i = 0; i < 4; ++i) {
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), reverse);
        }
        __m128i prev = abcd;
        groups<0>(abcd, prev, e, m);
        e = _mm_sha1nexte_epu32(prev, e_saved);
        abcd = _mm_add_epi32(abcd, abcd_saved);
    }

    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chaining.data()), abcd);
    chaining[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e, 3));
}

}  // namespace zelno
