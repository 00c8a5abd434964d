// SHA-1 digest (FIPS 180-1) over one running state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelno {

struct DigestState {
    std::array<std::uint32_t, 5> chaining{};
    std::uint32_t bit_count_high = 0;
    std::uint32_t bit_count_low = 0;
    std::int32_t pending = 0;  // bytes waiting in message_block, 0..63
    std::array<std::uint8_t, 64> message_block{};
};

void digest_begin(DigestState& state);
// A length of 0 or less adds nothing.
void digest_add(DigestState& state, const std::uint8_t* data, std::int32_t length);
// digest_add of any number of bytes, in parts it takes.
void digest_add_bytes(DigestState& state, const std::uint8_t* data, std::size_t length);
// For a caller that compresses whole blocks into `chaining` itself, with
// nothing pending: counts the `length` bytes at `data` (a multiple of 64, at
// least 64) as digest_add would, before they change.
void digest_count_blocks(DigestState& state, const std::uint8_t* data, std::size_t length);
// Pads the spent state and writes the 20-byte digest; needs digest_begin again after.
void digest_finish(DigestState& state, std::uint8_t* out);
// One 64-byte block into the chaining value.
void digest_compress(DigestState& state, const std::uint8_t* block);

}  // namespace zelno
