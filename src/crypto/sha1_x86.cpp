// SHA-1 compression on the processor's SHA instructions. Only this file's
// functions (and the stitched AES path's) are compiled for the SHA
// extensions.
#include "crypto/fast_paths.hpp"

#include <utility>

#include "crypto/sha1_x86.hpp"

namespace zelno {

namespace {

template <int... G>
ZELNO_SHA_INLINE void all_groups(sha1_x86::Lanes& lanes, sha1_x86::Block& b, std::integer_sequence<int, G...>) {
    (sha1_x86::group<G>(lanes, b), ...);
}

}  // namespace

ZELNO_SHA_TARGET void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks,
                                       std::size_t count) {
    sha1_x86::Lanes lanes = sha1_x86::load_chaining(chaining);
    for (; count > 0; --count, blocks += 64) {
        sha1_x86::Block b = sha1_x86::begin_block(lanes, blocks);
        all_groups(lanes, b, std::make_integer_sequence<int, 20>{});
        sha1_x86::end_block(lanes, b);
    }
    sha1_x86::store_chaining(chaining, lanes);
}

}  // namespace zelno
