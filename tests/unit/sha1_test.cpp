#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <string>

#include "crypto/fast_paths.hpp"
#include "crypto/sha1.hpp"
#include "crypto_test_support.hpp"

namespace zelno {
namespace {

using test::Bytes;
using test::to_hex;

// Digest of `message` added in pieces of the given sizes, taken in turn.
std::string digest_of(const Bytes& message, std::vector<std::size_t> pieces, DigestState* before_finish = nullptr) {
    DigestState state{};
    digest_begin(state);
    for (std::size_t at = 0, i = 0; at < message.size(); ++i) {
        const std::size_t n = std::min(pieces[i % pieces.size()], message.size() - at);
        digest_add(state, message.data() + at, static_cast<std::int32_t>(n));
        at += n;
    }
    if (before_finish != nullptr) *before_finish = state;
    std::uint8_t out[20];
    digest_finish(state, out);
    EXPECT_EQ(state.pending, 0);
    return to_hex(out, 20);
}

void expect_same_state(const DigestState& a, const DigestState& b) {
    EXPECT_EQ(a.chaining, b.chaining);
    EXPECT_EQ(a.bit_count_high, b.bit_count_high);
    EXPECT_EQ(a.bit_count_low, b.bit_count_low);
    EXPECT_EQ(a.pending, b.pending);
    EXPECT_EQ(a.message_block, b.message_block);
}

// The vectors of one kind in tests/vectors/sha1.txt.
std::vector<test::Vector> vectors(const std::string& kind) {
    return test::vectors(test::sha1_vectors, {{"message", 2}, {"run", 2}, {"padding", 2}}, kind);
}

TEST(Sha1KnownAnswer, Fips180Examples) {
    for (const auto& v : vectors("message")) {
        const Bytes message = v.bytes(0);
        EXPECT_EQ(digest_of(message, {message.size()}), to_hex(v.bytes(1))) << v.where;
    }
    for (const auto& v : vectors("run")) {
        const Bytes run(v.number(0), 'a');
        EXPECT_EQ(digest_of(run, {run.size()}), to_hex(v.bytes(1))) << v.where;
        EXPECT_EQ(digest_of(run, {16}), to_hex(v.bytes(1))) << v.where;
    }
}

TEST(Sha1KnownAnswer, PaddingAroundBlockEnds) {
    for (const auto& v : vectors("padding")) {
        const Bytes run(v.number(0), 'a');
        const std::string expected = to_hex(v.bytes(1));
        DigestState waiting;
        EXPECT_EQ(digest_of(run, {run.size()}, &waiting), expected) << v.where;
        EXPECT_EQ(waiting.pending, static_cast<std::int32_t>(run.size() % 64)) << v.where;
        EXPECT_EQ(digest_of(run, {1}), expected) << v.where;
    }
}

TEST(Sha1Add, EverySplitGivesSameDigestAndState) {
    std::mt19937 rng(180);
    for (std::size_t length : {0, 1, 63, 64, 65, 128, 1000, 4133}) {
        const Bytes message = test::random_bytes(rng, length);
        // One byte per call is the reference, for the state as well.
        DigestState bytewise, state;
        const std::string expected = digest_of(message, {1}, &bytewise);
        const std::vector<std::vector<std::size_t>> splits = {
            {16}, {63}, {64}, {65}, {std::max<std::size_t>(length, 1)}, {3, 200, 1, 64, 130, 7}};
        for (const auto& pieces : splits) {
            SCOPED_TRACE(testing::Message() << length << " bytes, first piece " << pieces[0]);
            EXPECT_EQ(digest_of(message, pieces, &state), expected);
            expect_same_state(state, bytewise);
        }
    }
}

TEST(Sha1Add, NonPositiveLengthChangesNothing) {
    DigestState state{};
    digest_begin(state);
    const Bytes some(70, 0x3C);
    digest_add(state, some.data(), 70);
    const DigestState before = state;
    for (std::int32_t n : {0, -1, -64, INT32_MIN}) digest_add(state, some.data(), n);
    digest_add(state, nullptr, 0);
    digest_add(state, nullptr, -5);
    expect_same_state(state, before);
}

TEST(Sha1Add, BitCountCarriesIntoHighWord) {
    const Bytes data(200, 0x11);
    // Small pieces, whole blocks straight to the compression, and a partial
    // block filled first all carry alike.
    for (std::int32_t n : {1, 40, 64, 200}) {
        DigestState state{};
        digest_begin(state);
        state.bit_count_high = 7;
        state.bit_count_low = 0xFFFFFFF8u;
        digest_add(state, data.data(), n);
        EXPECT_EQ(state.bit_count_high, 8u) << n;
        EXPECT_EQ(state.bit_count_low, static_cast<std::uint32_t>(8 * n - 8)) << n;
    }
    DigestState state{};
    digest_begin(state);
    state.bit_count_low = 0xFFFFFE00u;
    digest_add(state, data.data(), 63);
    EXPECT_EQ(state.bit_count_high, 0u);
    EXPECT_EQ(state.bit_count_low, 0xFFFFFFF8u);
    digest_add(state, data.data(), 1);
    EXPECT_EQ(state.bit_count_high, 1u);
    EXPECT_EQ(state.bit_count_low, 0u);
    // Modulo 2^64.
    state.bit_count_high = 0xFFFFFFFFu;
    state.bit_count_low = 0xFFFFFFF8u;
    digest_add(state, data.data(), 2);
    EXPECT_EQ(state.bit_count_high, 0u);
    EXPECT_EQ(state.bit_count_low, 8u);
}

TEST(Sha1Compress, EachPathGivesTheKnownDigestOfAbc) {
    std::array<std::uint8_t, 64> block{'a', 'b', 'c', 0x80};  // "abc" padded by hand
    block[63] = 24;
    const std::array<std::uint32_t, 5> initial = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const std::array<std::uint32_t, 5> expected = {0xa9993e36, 0x4706816a, 0xba3e2571, 0x7850c26c, 0x9cd0d89d};
    auto portable = initial;
    sha1_compress_portable(portable, block.data(), 1);
    EXPECT_EQ(portable, expected);
    if (cpu_has_sha_instructions()) {
        auto fast = initial;
        sha1_compress_hw(fast, block.data(), 1);
        EXPECT_EQ(fast, expected);
    }
}

TEST(Sha1Compress, FastPathMatchesPortable) {
#ifdef ZELNO_PORTABLE_ONLY
    EXPECT_FALSE(cpu_has_sha_instructions());
#endif
    if (!cpu_has_sha_instructions()) GTEST_SKIP() << "no SHA instructions on this processor, or none built";
    std::mt19937 rng(1995);
    for (std::size_t blocks : {1, 2, 3, 7, 16, 33}) {
        for (int trial = 0; trial < 20; ++trial) {
            const Bytes data = test::random_bytes(rng, 64 * blocks + 1);  // odd address
            std::array<std::uint32_t, 5> fast, portable;
            for (auto& w : fast) w = static_cast<std::uint32_t>(rng());
            portable = fast;
            sha1_compress_hw(fast, data.data() + 1, blocks);
            sha1_compress_portable(portable, data.data() + 1, blocks);
            ASSERT_EQ(fast, portable) << blocks << " blocks";
        }
    }
}

TEST(Sha1Openssl, RandomMessagesMatch) {
    if (!test::openssl_on_path()) GTEST_SKIP() << "openssl not on PATH";
    test::ScratchDir dir;
    std::mt19937 rng(1);
    const std::size_t lengths[] = {0, 1, 19, 55, 56, 64, 127, 1000, 4097, 100003};
    std::string cmd = "openssl dgst -sha1 -r";
    for (std::size_t length : lengths) {
        test::write_file(dir.file(std::to_string(length)), test::random_bytes(rng, length));
        cmd.append(1, ' ').append(dir.file(std::to_string(length)));
    }
    // One line per file: the digest, a space, "*" and the name.
    std::FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) output += buf;
    ASSERT_EQ(pclose(pipe), 0);
    std::istringstream lines(output);
    for (std::size_t length : lengths) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << "openssl gave too few lines";
        const Bytes message = test::read_file(dir.file(std::to_string(length)));
        EXPECT_EQ(digest_of(message, {97}), line.substr(0, 40)) << length << " bytes";
    }
}

}  // namespace
}  // namespace zelno
