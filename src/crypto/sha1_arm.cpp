// SHA-1 compression on the ARMv8 SHA1 instructions. Each of SHA1C, SHA1P
// and SHA1M runs four rounds of its function; the message schedule advances
// four words at a time with SHA1SU0 and SHA1SU1; SHA1H gives the E of the
// next four rounds from the A before them. Only this file's functions are
// compiled for the SHA instructions.
#include <arm_neon.h>

#include "crypto/fast_paths.hpp"

#define ZELNO_SHA_TARGET __attribute__((target("+crypto")))

namespace zelno {
namespace {

constexpr std::array<std::uint32_t, 4> round_constants = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};

// Four-round groups G to 19. m[G % 4] holds the schedule words 4G..4G+3
// once computed; e is the E of group G. Returns the E after the last group.
template <int G>
ZELNO_SHA_TARGET __attribute__((always_inline)) inline std::uint32_t groups(uint32x4_t& abcd, std::uint32_t e,
                                                                            uint32x4_t (&m)[4]) {
    if constexpr (G >= 4) {
        m[G % 4] = vsha1su1q_u32(vsha1su0q_u32(m[G % 4], m[(G + 1) % 4], m[(G + 2) % 4]), m[(G + 3) % 4]);
    }
    const uint32x4_t wk = vaddq_u32(m[G % 4], vdupq_n_u32(round_constants[G / 5]));
    const std::uint32_t next_e = vsha1h_u32(vgetq_lane_u32(abcd, 0));
    if constexpr (G < 5) {
        abcd = vsha1cq_u32(abcd, e, wk);
    } else if constexpr (G >= 10 && G < 15) {
        abcd = vsha1mq_u32(abcd, e, wk);
    } else {
        abcd = vsha1pq_u32(abcd, e, wk);
    }
    if constexpr (G < 19) {
        return groups<G + 1>(abcd, next_e, m);
    } else {
        return next_e;
    }
}

}  // namespace

ZELNO_SHA_TARGET void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks,
                                       std::size_t count) {
    uint32x4_t abcd = vld1q_u32(chaining.data());
    std::uint32_t e = chaining[4];
    for (; count > 0; --count, blocks += 64) {
        uint32x4_t m[4];
        // Big-endian words of the block.
        for (int i = 0; i < 4; ++i) m[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 16 * i)));
        const uint32x4_t abcd_saved = abcd;
        e += groups<0>(abcd, e, m);
        abcd = vaddq_u32(abcd, abcd_saved);
    }
    vst1q_u32(chaining.data(), abcd);
    chaining[4] = e;
}

}  // namespace zelno
