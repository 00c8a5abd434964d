#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "container/cipher_context.hpp"
#include "container/run_state.hpp"
#include "crypto_test_support.hpp"

namespace zelno {
namespace {

using test::Bytes;

// Runs the context over `plain` with the given flags, key and direction.
Bytes run_cbc(std::uint8_t flags, const std::string& key, Mode mode, Bytes data, bool multi_block) {
    const bool encrypt = mode == Mode::Encrypt || mode == Mode::MakeSelfDecrypt;
    CipherContext c;
    cipher_setup(c, key.c_str(), flags, encrypt);
    iv_setup(c, flags);
    if (multi_block) {
        if (encrypt)
            cbc_encrypt_blocks(c, data.data(), data.data(), data.size() / BLOCK_SIZE);
        else
            cbc_decrypt_blocks(c, data.data(), data.size() / BLOCK_SIZE);
    } else {
        for (std::size_t i = 0; i < data.size(); i += BLOCK_SIZE) {
            if (encrypt)
                cbc_encrypt_block(c, &data[i]);
            else
                cbc_decrypt_block(c, &data[i]);
        }
    }
    return data;
}

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    return test::random_bytes(rng, n);
}

TEST(CipherContext, VectorFollowsTheFlags) {
    const std::pair<std::uint8_t, std::array<std::uint8_t, 16>> cases[] = {
        {0x02, {}},
        {0x22, {}},
        {0x06, {0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0xA0, 0x9F, 0x9E, 0x9D, 0x9C, 0x9B, 0x9A, 0x99, 0x98}},
        {0x26, {0x53, 0x29, 0x14, 0x52, 0x28, 0x14, 0x50, 0x28, 0x13, 0x4F, 0x27, 0x13, 0x4D, 0x26, 0x13, 0x4C}},
    };
    for (const auto& [flags, expected] : cases) {
        CipherContext c;
        iv_setup(c, flags);
        EXPECT_EQ(c.chain, expected) << int(flags);
    }
}

TEST(CipherContext, AlgorithmBitsZeroAndThreeAreRefused) {
    for (std::uint8_t flags : {0x34, 0x37}) {
        EXPECT_EXIT(
            {
                CipherContext c;
                cipher_setup(c, "k", flags, true);
            },
            ::testing::ExitedWithCode(3), "")
            << int(flags);
    }
}

TEST(CipherContext, RoundTripsForBothCiphersAndEveryFlagCombination) {
    const Bytes plain = random_bytes(16 * 37, 1);
    for (std::uint8_t alg : {1, 2}) {
        for (std::uint8_t iv_bits : {0x00, 0x04, 0x20, 0x24}) {
            const std::uint8_t flags = static_cast<std::uint8_t>(alg | iv_bits | 0x10);
            for (const std::string& key :
                 std::vector<std::string>{"", "k", std::string(16, 'a'), std::string(17, 'b'), std::string(32, 'c')}) {
                Bytes single = run_cbc(flags, key, Mode::Encrypt, plain, false);
                Bytes multi = run_cbc(flags, key, Mode::Encrypt, plain, true);
                EXPECT_EQ(single, multi);
                EXPECT_NE(single, plain);
                EXPECT_EQ(run_cbc(flags, key, Mode::Decrypt, single, false), plain);
                EXPECT_EQ(run_cbc(flags, key, Mode::Decrypt, single, true), plain);
            }
        }
    }
}

TEST(CipherContext, KeyStringIsZeroPaddedAndCutAt32Bytes) {
    const Bytes plain = random_bytes(64, 2);
    // An empty key is the all-zero 128-bit key: with a zero vector the first
    // block of zeros encrypts to the published zero-key values.
    const Bytes aes_zero = {0x66, 0xe9, 0x4b, 0xd4, 0xef, 0x8a, 0x2c, 0x3b,
                            0x88, 0x4c, 0xfa, 0x59, 0xca, 0x34, 0x2b, 0x2e};
    const Bytes twofish_zero = {0x9f, 0x58, 0x9f, 0x5c, 0xf6, 0x12, 0x2c, 0x32,
                                0xb6, 0xbf, 0xec, 0x2f, 0x2a, 0xe8, 0xc3, 0x5a};
    EXPECT_EQ(run_cbc(0x02, "", Mode::Encrypt, Bytes(16), true), aes_zero);
    EXPECT_EQ(run_cbc(0x01, "", Mode::Encrypt, Bytes(16), true), twofish_zero);
    EXPECT_EQ(run_cbc(0x02, "", Mode::Decrypt, aes_zero, false), Bytes(16));
    EXPECT_EQ(run_cbc(0x01, "", Mode::Decrypt, twofish_zero, false), Bytes(16));
    for (std::uint8_t flags : {0x35, 0x36}) {
        const std::string forty(40, 'x');
        EXPECT_EQ(run_cbc(flags, forty, Mode::Encrypt, plain, true),
                  run_cbc(flags, forty.substr(0, 32), Mode::Encrypt, plain, true));
        // 16 and 17 bytes select different key sizes, not just different keys.
        EXPECT_NE(run_cbc(flags, std::string(16, 'y'), Mode::Encrypt, plain, true),
                  run_cbc(flags, std::string(16, 'y') + "z", Mode::Encrypt, plain, true));
    }
}

TEST(CipherContext, EqualBlocksGiveDifferentCiphertext) {
    const Bytes plain(32, 0x41);
    for (std::uint8_t flags : {0x35, 0x36}) {
        Bytes c = run_cbc(flags, "k", Mode::Encrypt, plain, false);
        EXPECT_NE(Bytes(c.begin(), c.begin() + 16), Bytes(c.begin() + 16, c.end()));
    }
}

TEST(CipherContext, AesKeySizeFollowsTheKeyLength) {
    for (auto [length, rounds] : {std::pair{0, 10}, {16, 10}, {17, 12}, {24, 12}, {25, 14}, {32, 14}, {40, 14}}) {
        CipherContext c;
        cipher_setup(c, std::string(static_cast<std::size_t>(length), 'q').c_str(), 0x36, true);
        EXPECT_EQ(c.aes_rounds, rounds) << length;
    }
}

}  // namespace
}  // namespace zelno
