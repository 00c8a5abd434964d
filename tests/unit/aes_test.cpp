#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto/aes.hpp"
#include "crypto/aes_sha1.hpp"
#include "crypto/fast_paths.hpp"
#include "crypto_test_support.hpp"

namespace zelno {
namespace {

using test::Bytes;
using test::to_hex;
using Expand = int (*)(AesKey&, const std::uint8_t*, int);
using Cbc = void (*)(const AesKey&, int, std::uint8_t*, std::uint8_t*, std::size_t);

// The vectors of one kind in tests/vectors/aes.txt.
std::vector<test::Vector> vectors(const std::string& kind) {
    return test::vectors(test::aes_vectors, {{"block", 3}, {"expansion", 4}}, kind);
}

// The loader of every data file: a slip there would pass over vectors.
TEST(VectorText, AnythingUnexpectedThrows) {
    auto first = [](std::string_view text, const std::string& kind) {
        return test::vectors({"t.txt", text}, {{"pair", 2}, {"one", 1}}, kind).at(0);
    };
    EXPECT_EQ(first("# note\n\none -\npair 0a0B 120  # end\n", "pair").bytes(0), (Bytes{0x0a, 0x0b}));
    EXPECT_EQ(first("pair 0a0B 120\n", "pair").number(1), 120u);
    EXPECT_EQ(first("one -\n", "one").bytes(0), Bytes{});
    for (std::string_view text :
         {"pair 00\n", "pair 00 11 22\n", "pair 00 11\nPair 00 11\n", "pair 00 11\nother 00\n", "one 00\n"})
        EXPECT_THROW(first(text, "pair"), std::runtime_error) << text;
    for (std::string_view text : {"one 0\n", "one 0g\n", "one 0x00\n"})
        EXPECT_THROW(first(text, "one").bytes(0), std::runtime_error) << text;
    for (std::string_view text : {"pair 00 -\n", "pair 00 1a\n", "pair 00 +1\n"})
        EXPECT_THROW(first(text, "pair").number(1), std::runtime_error) << text;
}

TEST(AesKnownAnswer, Fips197ExamplesBothDirections) {
    for (const auto& v : vectors("block")) {
        SCOPED_TRACE(v.where);
        const Bytes key = v.bytes(0), plain = v.bytes(1);
        ASSERT_EQ(plain.size(), 16u);
        const int bits = static_cast<int>(key.size() * 8);
        AesKey enc{}, dec{};
        Bytes out(16), back(16);
        aes_encrypt_block(enc, aes_expand_encrypt_key(enc, key.data(), bits), plain.data(), out.data());
        aes_decrypt_block(dec, aes_expand_decrypt_key(dec, key.data(), bits), out.data(), back.data());
        EXPECT_EQ(to_hex(out), to_hex(v.bytes(2)));
        EXPECT_EQ(back, plain);
    }
}

TEST(AesKeyExpansion, Fips197AppendixAWords) {
    auto big_endian = [](std::uint32_t w) {
        return Bytes{std::uint8_t(w >> 24), std::uint8_t(w >> 16), std::uint8_t(w >> 8), std::uint8_t(w)};
    };
    for (const auto& v : vectors("expansion")) {
        SCOPED_TRACE(v.where);
        const Bytes key = v.bytes(0);
        const int key_words = static_cast<int>(key.size() / 4);
        AesKey k{};
        const int rounds = aes_expand_encrypt_key(k, key.data(), static_cast<int>(key.size() * 8));
        ASSERT_EQ(rounds, key_words + 6);
        for (int i = 0; i < key_words; ++i)
            EXPECT_EQ(big_endian(k[i]), Bytes(key.begin() + 4 * i, key.begin() + 4 * i + 4));
        EXPECT_EQ(big_endian(k[key_words]), v.bytes(1));
        EXPECT_EQ(big_endian(k[4 * rounds + 2]), v.bytes(2));
        EXPECT_EQ(big_endian(k[4 * rounds + 3]), v.bytes(3));
    }
}

TEST(AesKeyExpansion, RefusesOtherKeySizes) {
    const std::array<std::uint8_t, 64> key{};
    for (int bits : {0, 64, 127, 129, 160, 255, 257, 512, -128}) {
        AesKey k{};
        EXPECT_EQ(aes_expand_encrypt_key(k, key.data(), bits), 0) << bits;
        EXPECT_EQ(aes_expand_decrypt_key(k, key.data(), bits), 0) << bits;
    }
}

TEST(AesKeyExpansion, TouchesOnlyTheKeySizeAndTheWordsInUse) {
    std::array<std::uint8_t, 32> key{}, other{};
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    AesKey cleared{};
    ASSERT_EQ(aes_expand_encrypt_key(cleared, key.data(), 128), 10);
    for (int i = 44; i < 60; ++i) EXPECT_EQ(cleared[i], 0u) << i;

    for (int bits : {128, 192, 256}) {
        for (int i = 0; i < 32; ++i) other[i] = i < bits / 8 ? key[i] : static_cast<std::uint8_t>(~key[i]);
        // An exact-size heap copy: reading past it shows under AddressSanitizer.
        const Bytes exact(key.begin(), key.begin() + bits / 8);
        for (Expand expand : {aes_expand_encrypt_key, aes_expand_decrypt_key}) {
            AesKey a;
            a.fill(0xA5A5A5A5u);
            AesKey b = a, c = a;
            ASSERT_NE(expand(a, key.data(), bits), 0);
            expand(b, other.data(), bits);
            expand(c, exact.data(), bits);
            for (int i = 4 * (bits / 32 + 7); i < 60; ++i) EXPECT_EQ(a[i], 0xA5A5A5A5u) << bits << "/" << i;
            EXPECT_EQ(a, b) << bits;
            EXPECT_EQ(a, c) << bits;
        }
    }
}

TEST(AesBlock, InPlaceMatchesSeparateBuffersAndRoundTrips) {
    std::mt19937 rng(197);
    for (int bits : {128, 192, 256}) {
        for (int trial = 0; trial < 20; ++trial) {
            const Bytes key = test::random_bytes(rng, 32), plain = test::random_bytes(rng, 16);
            AesKey enc{}, dec{};
            const int rounds = aes_expand_encrypt_key(enc, key.data(), bits);
            ASSERT_EQ(rounds, bits / 32 + 6);
            ASSERT_EQ(aes_expand_decrypt_key(dec, key.data(), bits), rounds);

            Bytes cipher(16), in_place = plain;
            aes_encrypt_block(enc, rounds, plain.data(), cipher.data());
            aes_encrypt_block(enc, rounds, in_place.data(), in_place.data());
            EXPECT_EQ(in_place, cipher);
            EXPECT_NE(cipher, plain);

            Bytes back(16);
            aes_decrypt_block(dec, rounds, cipher.data(), back.data());
            aes_decrypt_block(dec, rounds, in_place.data(), in_place.data());
            EXPECT_EQ(back, plain);
            EXPECT_EQ(in_place, plain);
        }
    }
}

TEST(AesBlock, InvalidRoundCountGivesZeroBlock) {
    const std::array<std::uint8_t, 32> key_bytes{};
    AesKey key{};
    ASSERT_EQ(aes_expand_encrypt_key(key, key_bytes.data(), 256), 14);
    const Bytes zero(64, 0);
    for (int rounds : {0, -2, 1, 2, 9, 11, 13, 15, 16, 30, 1000}) {
        Bytes a(16, 0x5C), b(16, 0x5C), c(64, 0x5C), chain(16, 0);
        aes_encrypt_block(key, rounds, a.data(), a.data());
        aes_decrypt_block(key, rounds, b.data(), b.data());
        aes_cbc_encrypt(key, rounds, chain.data(), c.data(), c.data(), 4);  // no plaintext gets through
        EXPECT_EQ(a, Bytes(16, 0)) << rounds;
        EXPECT_EQ(b, Bytes(16, 0)) << rounds;
        EXPECT_EQ(c, zero) << rounds;
    }
}

// An encryption entry point in the in-place shape of the others.
template <auto Encrypt>
void in_place(const AesKey& k, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    Encrypt(k, rounds, chain, data, data, count);
}

// The same reading one buffer and writing another, as the pipeline calls
// it; the buffer written holds other bytes before.
template <auto Encrypt>
void out_of_place(const AesKey& k, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    const Bytes in(data, data + 16 * count);
    std::fill(data, data + 16 * count, std::uint8_t{0xA5});
    Encrypt(k, rounds, chain, in.data(), data, count);
}

// CBC by hand from the single-block operations.
void chain_encrypt(const AesKey& k, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    for (; count > 0; --count, data += 16) {
        for (int j = 0; j < 16; ++j) data[j] ^= chain[j];
        aes_encrypt_block(k, rounds, data, data);
        std::memcpy(chain, data, 16);
    }
}

void chain_decrypt(const AesKey& k, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    for (; count > 0; --count, data += 16) {
        std::uint8_t c[16];
        std::memcpy(c, data, 16);
        aes_decrypt_block(k, rounds, data, data);
        for (int j = 0; j < 16; ++j) data[j] ^= chain[j];
        std::memcpy(chain, c, 16);
    }
}

// Same random input through both for every key size and many block counts,
// at an odd address; data and chain must come out identical.
void expect_same_cbc(Cbc candidate, Cbc reference, Expand expand) {
    std::mt19937 rng(2001);
    std::vector<std::size_t> counts = {63, 64, 65, 100, 257};
    for (std::size_t n = 0; n <= 33; ++n) counts.push_back(n);
    for (int bits : {128, 192, 256}) {
        const Bytes key = test::random_bytes(rng, 32);
        AesKey k{};
        const int rounds = expand(k, key.data(), bits);
        for (std::size_t n : counts) {
            const Bytes iv = test::random_bytes(rng, 16), input = test::random_bytes(rng, 16 * n + 1);
            Bytes a = input, b = input, chain_a = iv, chain_b = iv;
            candidate(k, rounds, chain_a.data(), a.data() + 1, n);
            reference(k, rounds, chain_b.data(), b.data() + 1, n);
            ASSERT_EQ(a, b) << bits << " bits, " << n << " blocks";
            ASSERT_EQ(chain_a, chain_b) << bits << " bits, " << n << " blocks";
        }
    }
}

TEST(AesCbc, EntryPointsMatchChainedBlocks) {
    expect_same_cbc(in_place<aes_cbc_encrypt>, chain_encrypt, aes_expand_encrypt_key);
    expect_same_cbc(aes_cbc_decrypt, chain_decrypt, aes_expand_decrypt_key);
    expect_same_cbc(in_place<aes_cbc_encrypt_portable>, chain_encrypt, aes_expand_encrypt_key);
    expect_same_cbc(aes_cbc_decrypt_portable, chain_decrypt, aes_expand_decrypt_key);
    expect_same_cbc(out_of_place<aes_cbc_encrypt>, chain_encrypt, aes_expand_encrypt_key);
    expect_same_cbc(out_of_place<aes_cbc_encrypt_portable>, chain_encrypt, aes_expand_encrypt_key);
}

TEST(AesCbc, FastPathMatchesPortable) {
#ifdef ZELNO_PORTABLE_ONLY
    EXPECT_FALSE(cpu_has_aes_instructions());
#endif
    if (!cpu_has_aes_instructions()) GTEST_SKIP() << "no AES instructions on this processor, or none built";
    expect_same_cbc(in_place<aes_cbc_encrypt_hw>, in_place<aes_cbc_encrypt_portable>, aes_expand_encrypt_key);
    expect_same_cbc(out_of_place<aes_cbc_encrypt_hw>, in_place<aes_cbc_encrypt_portable>, aes_expand_encrypt_key);
    expect_same_cbc(aes_cbc_decrypt_hw, aes_cbc_decrypt_portable, aes_expand_decrypt_key);
}

// Encryption with the digest on the way (stitched where the processor runs
// it so) against the digest and then the encryption: the same ciphertext,
// chain and digest state, in place and not, with and without bytes already
// waiting in the digest.
TEST(AesCbc, EncryptAndDigestMatchesTheTwoInTurn) {
    std::mt19937 rng(3011);
    for (int bits : {128, 192, 256}) {
        const Bytes key = test::random_bytes(rng, 32);
        AesKey k{};
        const int rounds = aes_expand_encrypt_key(k, key.data(), bits);
        for (std::size_t n : {0, 1, 3, 4, 5, 8, 11, 16, 17, 64, 257}) {
            for (std::size_t before : {0, 5, 64}) {
                for (bool in_place : {true, false}) {
                    SCOPED_TRACE(testing::Message() << bits << " bits, " << n << " blocks, " << before
                                                    << " bytes before, in place " << in_place);
                    const Bytes iv = test::random_bytes(rng, 16), input = test::random_bytes(rng, 16 * n + 1);
                    DigestState a{}, b{};
                    digest_begin(a);
                    digest_add(a, input.data(), static_cast<std::int32_t>(std::min(before, input.size())));
                    b = a;
                    Bytes out_a = input, out_b = input, chain_a = iv, chain_b = iv;
                    const std::uint8_t* from = in_place ? out_a.data() + 1 : input.data() + 1;
                    if (!in_place) std::fill(out_a.begin(), out_a.end(), std::uint8_t{0xA5});
                    aes_cbc_encrypt_digest(k, rounds, chain_a.data(), from, out_a.data() + 1, n, a);
                    digest_add(b, out_b.data() + 1, static_cast<std::int32_t>(16 * n));
                    aes_cbc_encrypt(k, rounds, chain_b.data(), out_b.data() + 1, out_b.data() + 1, n);
                    if (!in_place) out_a[0] = out_b[0];
                    ASSERT_EQ(out_a, out_b);
                    ASSERT_EQ(chain_a, chain_b);
                    ASSERT_EQ(a.chaining, b.chaining);
                    ASSERT_EQ(a.bit_count_low, b.bit_count_low);
                    ASSERT_EQ(a.pending, b.pending);
                    ASSERT_EQ(a.message_block, b.message_block);
                }
            }
        }
    }
}

TEST(AesOpenssl, RandomKeysAndBlocksMatch) {
    if (!test::openssl_on_path()) GTEST_SKIP() << "openssl not on PATH";
    std::mt19937 rng(4242);
    for (int bits : {128, 192, 256}) {
        SCOPED_TRACE(bits);
        const Bytes key = test::random_bytes(rng, static_cast<std::size_t>(bits / 8));
        const Bytes blocks = test::random_bytes(rng, 16 * 64), iv = test::random_bytes(rng, 16);
        const std::string cipher = " -nopad -K " + to_hex(key) + " -aes-" + std::to_string(bits);
        AesKey enc{}, dec{};
        const int rounds = aes_expand_encrypt_key(enc, key.data(), bits);
        aes_expand_decrypt_key(dec, key.data(), bits);

        Bytes ours_enc = blocks, ours_dec = blocks, ours_cbc(blocks.size()), chain = iv;
        for (std::size_t i = 0; i < blocks.size(); i += 16) {
            aes_encrypt_block(enc, rounds, &ours_enc[i], &ours_enc[i]);
            aes_decrypt_block(dec, rounds, &ours_dec[i], &ours_dec[i]);
        }
        aes_cbc_encrypt(enc, rounds, chain.data(), blocks.data(), ours_cbc.data(), 64);  // out of place
        EXPECT_EQ(to_hex(ours_enc), to_hex(test::openssl_filter("enc" + cipher + "-ecb", blocks)));
        EXPECT_EQ(to_hex(ours_dec), to_hex(test::openssl_filter("enc -d" + cipher + "-ecb", blocks)));
        EXPECT_EQ(to_hex(ours_cbc), to_hex(test::openssl_filter("enc" + cipher + "-cbc -iv " + to_hex(iv), blocks)));
    }
}

}  // namespace
}  // namespace zelno
