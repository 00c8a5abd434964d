#include "crypto/aes_sha1.hpp"

#include "crypto/fast_paths.hpp"

namespace zelno {

bool aes_sha1_stitched(int rounds) { return aes_rounds_valid(rounds) && cpu_has_stitched_aes_sha1(); }

void aes_cbc_encrypt_digest(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                            std::uint8_t* out, std::size_t count, DigestState& digest) {
    constexpr std::size_t blocks_per_group = 4;  // one 64-byte digest block
    const std::size_t groups = digest.pending == 0 && aes_sha1_stitched(rounds) ? count / blocks_per_group : 0;
    if (groups > 0) {
        digest_count_blocks(digest, in, 64 * groups);
        aes_cbc_encrypt_sha1_hw(key, rounds, chain, in, out, groups, digest.chaining);
        in += 64 * groups;
        out += 64 * groups;
        count -= blocks_per_group * groups;
    }
    digest_add_bytes(digest, in, 16 * count);
    aes_cbc_encrypt(key, rounds, chain, in, out, count);
}

}  // namespace zelno
