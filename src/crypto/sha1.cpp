// SHA-1 (FIPS 180-1). digest_add behaves as if it stored one byte at a time;
// whole blocks that need no buffering go straight to the compression.
#include "crypto/sha1.hpp"

#include <cstring>

#include "crypto/fast_paths.hpp"
#include "crypto/byte_order.hpp"

namespace zelno {

namespace {

constexpr std::array<std::uint32_t, 5> initial_chaining = {
    0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u,
};

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr auto choose = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (~b & d); };
constexpr auto parity = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; };
constexpr auto majority = [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return ((b | c) & d) | (b & c); };

// One round with the variables renamed instead of moved: the new a lands
// in e's place and b takes its rotation, so five rounds bring every name back.
template <typename F>
inline void step(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d, std::uint32_t& e, std::uint32_t k,
                 std::uint32_t wt, F f) {
    e += rotl(a, 5) + f(b, c, d) + k + wt;
    b = rotl(b, 30);
}

template <typename F>
inline void five_steps(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d, std::uint32_t& e,
                       const std::uint32_t* w, std::uint32_t k, F f) {
    step(a, b, c, d, e, k, w[0], f);
    step(e, a, b, c, d, k, w[1], f);
    step(d, e, a, b, c, k, w[2], f);
    step(c, d, e, a, b, k, w[3], f);
    step(b, c, d, e, a, k, w[4], f);
}

void compress_blocks(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count) {
    if (cpu_has_sha_instructions()) {
        sha1_compress_hw(chaining, blocks, count);
        return;
    }
    sha1_compress_portable(chaining, blocks, count);
}

// The bit count as one 64-bit number, modulo 2^64.
void count_bits(DigestState& state, std::size_t bytes) {
    const std::uint64_t bits =
        ((std::uint64_t{state.bit_count_high} << 32) | state.bit_count_low) + (static_cast<std::uint64_t>(bytes) << 3);
    state.bit_count_high = static_cast<std::uint32_t>(bits >> 32);
    state.bit_count_low = static_cast<std::uint32_t>(bits);
}

// message_block ends as a byte-wise fill of whole blocks would leave it.
void keep_last_block(DigestState& state, const std::uint8_t* data, std::size_t length) {
    std::memcpy(state.message_block.data(), data + length - 64, 64);
}

}  // namespace

void sha1_compress_portable(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[80];
        for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks + 4 * t);
            // Unrolled: as a loop, narrow vector code for it is several times slower.
#pragma GCC unroll 64
        for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

        std::uint32_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3], e = chaining[4];
        for (int t = 0; t < 20; t += 5) five_steps(a, b, c, d, e, w + t, 0x5A827999u, choose);
        for (int t = 20; t < 40; t += 5) five_steps(a, b, c, d, e, w + t, 0x6ED9EBA1u, parity);
        for (int t = 40; t < 60; t += 5) five_steps(a, b, c, d, e, w + t, 0x8F1BBCDCu, majority);
        for (int t = 60; t < 80; t += 5) five_steps(a, b, c, d, e, w + t, 0xCA62C1D6u, parity);

        chaining[0] += a;
        chaining[1] += b;
        chaining[2] += c;
        chaining[3] += d;
        chaining[4] += e;
    }
}

void digest_begin(DigestState& state) {
    state.chaining = initial_chaining;
    state.bit_count_high = 0;
    state.bit_count_low = 0;
    state.pending = 0;
}

void digest_compress(DigestState& state, const std::uint8_t* block) { compress_blocks(state.chaining, block, 1); }

void digest_add(DigestState& state, const std::uint8_t* data, std::int32_t length) {
    if (length <= 0) return;
    auto n = static_cast<std::size_t>(length);
    count_bits(state, n);

    std::uint8_t* block = state.message_block.data();
    if (state.pending > 0) {
        const std::size_t room = 64 - static_cast<std::size_t>(state.pending);
        const std::size_t take = n < room ? n : room;
        std::memcpy(block + state.pending, data, take);
        state.pending += static_cast<std::int32_t>(take);
        data += take;
        n -= take;
        if (state.pending < 64) return;
        digest_compress(state, block);
        state.pending = 0;
    }
    if (n >= 64) {
        const std::size_t whole = n / 64;
        keep_last_block(state, data, 64 * whole);
        compress_blocks(state.chaining, data, whole);
        data += 64 * whole;
        n -= 64 * whole;
    }
    std::memcpy(block, data, n);
    state.pending = static_cast<std::int32_t>(n);
}

void digest_add_bytes(DigestState& state, const std::uint8_t* data, std::size_t length) {
    constexpr std::size_t most = INT32_MAX / 64 * 64;
    for (; length > most; data += most, length -= most) digest_add(state, data, static_cast<std::int32_t>(most));
    digest_add(state, data, static_cast<std::int32_t>(length));
}

void digest_count_blocks(DigestState& state, const std::uint8_t* data, std::size_t length) {
    count_bits(state, length);
    keep_last_block(state, data, length);
}

void digest_finish(DigestState& state, std::uint8_t* out) {
    std::uint8_t* block = state.message_block.data();
    block[state.pending++] = 0x80;
    std::memset(block + state.pending, 0, 64 - static_cast<std::size_t>(state.pending));
    if (state.pending > 56) {
        // No room left for the length: it goes into a block of its own.
        digest_compress(state, block);
        std::memset(block, 0, 64);
    }
    store_be32(block + 56, state.bit_count_high);
    store_be32(block + 60, state.bit_count_low);
    digest_compress(state, block);
    state.pending = 0;
    for (int i = 0; i < 5; ++i) store_be32(out + 4 * i, state.chaining[i]);
}

}  // namespace zelno
