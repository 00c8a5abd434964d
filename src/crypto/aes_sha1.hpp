// AES CBC encryption and the SHA-1 of the same plaintext in one pass, where
// the processor runs the two stitched into one loop for about the price of
// the encryption alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/aes.hpp"
#include "crypto/sha1.hpp"

namespace zelno {

// Whether aes_cbc_encrypt_digest costs about what aes_cbc_encrypt does.
bool aes_sha1_stitched(int rounds);

// digest_add of the `count` blocks at `in`, then aes_cbc_encrypt of them:
// identical digest state and bytes. `in` may be `out`.
void aes_cbc_encrypt_digest(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                            std::uint8_t* out, std::size_t count, DigestState& digest);

}  // namespace zelno
