// The AES CBC entry points of a processor path: each processor's file
// defines its cbc_encrypt<Rounds> and cbc_decrypt<Rounds> and includes this
// file after them, once.
#pragma once

#include "crypto/fast_paths.hpp"

namespace zelno {

void aes_cbc_encrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count) {
    with_round_count(rounds, [&](auto r) { cbc_encrypt<r()>(key, chain, in, out, count); });
}

void aes_cbc_decrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    with_round_count(rounds, [&](auto r) { cbc_decrypt<r()>(key, chain, data, count); });
}

}  // namespace zelno
