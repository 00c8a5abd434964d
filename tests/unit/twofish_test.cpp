#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "crypto/fast_paths.hpp"
#include "crypto/twofish.hpp"
#include "crypto/twofish_internal.hpp"
#include "crypto_test_support.hpp"

namespace zelno {
namespace {

namespace ti = twofish_internal;
using test::Bytes;
using test::from_hex;

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

TwofishKey prepared(const Bytes& key, int length) {
    TwofishKey k;
    Twofish_prepare_key(key.data(), length, k);
    return k;
}
TwofishKey prepared(const Bytes& key) { return prepared(key, static_cast<int>(key.size())); }
bool same_record(const TwofishKey& a, const TwofishKey& b) {
    return a.keyed_sbox == b.keyed_sbox && a.subkey == b.subkey;
}

// A data file's block of another size fails its comparison rather than
// being read past its end.
Bytes encrypt(const TwofishKey& k, Bytes block) {
    block.resize(16);
    Twofish_encrypt_block(k, block.data(), block.data());
    return block;
}
Bytes decrypt(const TwofishKey& k, Bytes block) {
    block.resize(16);
    Twofish_decrypt_block(k, block.data(), block.data());
    return block;
}

// Every test starts from a started module; each may run in its own process.
class Twofish : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Twofish_start(); }
};

// Walks the iterated chain for key length L: step i + 1 in steps[i], each
// checked to decrypt back.
struct Step {
    Bytes key, plain, cipher;
};
std::vector<Step> iterated_chain(std::size_t L) {
    std::vector<Step> steps;
    Bytes key = zeros(L), plain = zeros(16);
    for (int i = 0; i < 49; ++i) {
        TwofishKey k = prepared(key);
        Bytes cipher = encrypt(k, plain);
        EXPECT_EQ(decrypt(k, cipher), plain) << "step " << i + 1;
        steps.push_back({key, plain, cipher});
        key.insert(key.begin(), plain.begin(), plain.end());
        key.resize(L);
        plain = cipher;
    }
    return steps;
}

// The vectors of one kind in tests/vectors/twofish.txt.
std::vector<test::Vector> vectors(const std::string& kind) {
    return test::vectors(test::twofish_vectors, {{"iterated", 5}, {"zero_plaintext", 2}}, kind);
}

TEST_F(Twofish, PublishedIteratedTables) {
    std::map<std::size_t, std::vector<Step>> chains;  // by key length, each walked once
    for (const auto& r : vectors("iterated")) {
        SCOPED_TRACE(r.where);
        const std::size_t L = r.number(0);
        ASSERT_TRUE(L == 16 || L == 24 || L == 32) << "no key length of Twofish";
        if (chains.count(L) == 0) chains[L] = iterated_chain(L);
        const Step& s = chains[L].at(r.number(1) - 1);
        const Bytes key = r.bytes(2), plain = r.bytes(3), cipher = r.bytes(4);
        EXPECT_EQ(s.cipher, cipher);
        if (!plain.empty()) {
            EXPECT_EQ(s.plain, plain);
        }
        if (!key.empty()) {
            // Both directions straight from the published values.
            EXPECT_EQ(s.key, key);
            TwofishKey k = prepared(key);
            EXPECT_EQ(encrypt(k, plain), cipher);
            EXPECT_EQ(decrypt(k, cipher), plain);
        }
    }
}

TEST_F(Twofish, PublishedSingleBlocksZeroPlaintext) {
    for (const auto& r : vectors("zero_plaintext")) {
        TwofishKey k = prepared(r.bytes(0));
        EXPECT_EQ(encrypt(k, zeros(16)), r.bytes(1)) << r.where;
        EXPECT_EQ(decrypt(k, r.bytes(1)), zeros(16)) << r.where;
    }
}

// The first n bytes of key, zero-padded to size.
Bytes padded(const Bytes& key, int n, std::size_t size) {
    Bytes out(key.begin(), key.begin() + n);
    out.resize(size, 0);
    return out;
}

TEST_F(Twofish, ShortKeysPadToStandardSizes) {
    const Bytes key = from_hex("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff");
    const std::pair<int, std::size_t> sizes[] = {{0, 16}, {1, 16}, {16, 16}, {17, 24}, {24, 24}, {25, 32}};
    for (auto [n, size] : sizes) EXPECT_TRUE(same_record(prepared(key, n), prepared(padded(key, n, size)))) << n;
    TwofishKey empty;
    Twofish_prepare_key(nullptr, 0, empty);
    EXPECT_TRUE(same_record(empty, prepared(zeros(16))));
    // Whatever follows the length in the buffer is never read.
    for (int n = 0; n <= 32; ++n) EXPECT_TRUE(same_record(prepared(key, n), prepared(padded(key, n, 32), n))) << n;
    // The size follows the length, not the content.
    const Bytes key16 = padded(key, 16, 32);
    TwofishKey k16 = prepared(key16, 16), k24 = prepared(key16, 24), k32 = prepared(key16, 32);
    EXPECT_FALSE(same_record(k16, k24) || same_record(k16, k32) || same_record(k24, k32));
}

TEST_F(Twofish, InPlaceEqualsSeparateBuffers) {
    TwofishKey k = prepared(from_hex("d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f"));
    const Bytes plain = from_hex("90afe91bb288544f2c32dc239b2635e6");
    Bytes separate(16), block = plain;
    Twofish_encrypt_block(k, block.data(), separate.data());
    Twofish_encrypt_block(k, block.data(), block.data());
    EXPECT_EQ(block, separate);
    Twofish_decrypt_block(k, block.data(), separate.data());
    Twofish_decrypt_block(k, block.data(), block.data());
    EXPECT_EQ(block, separate);
    EXPECT_EQ(block, plain);
}

TEST_F(Twofish, SecondStartKeepsTables) {
    auto q = ti::q_perm;
    auto mds = ti::mds_column;
    const Bytes key = from_hex("0123456789abcdeffedcba98765432100011223344556677");
    TwofishKey before = prepared(key);
    Twofish_start();
    EXPECT_EQ(ti::q_perm, q);
    EXPECT_EQ(ti::mds_column, mds);
    EXPECT_TRUE(same_record(before, prepared(key)));
}

TEST_F(Twofish, KeyPreparationWipesItsWorkingAreas) {
    const Bytes key = from_hex("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff");
    ti::KeyWork work;
    std::memset(&work, 0x5A, sizeof work);
    TwofishKey k;
    ti::prepare_key_using(key.data(), 32, k, work);
    EXPECT_EQ(work.key, (std::array<Twofish_Byte, 32>{}));
    EXPECT_EQ(work.s_list, (std::array<Twofish_Byte, 32>{}));
    EXPECT_TRUE(same_record(k, prepared(key)));
}

TEST_F(Twofish, CbcMatchesChainedSingleBlocks) {
    std::mt19937 rng(7);
    auto random_bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<Twofish_Byte>(rng());
        return b;
    };
    for (std::size_t count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 16, 17, 31, 64, 103}) {
        TwofishKey k = prepared(random_bytes(32), static_cast<int>(count % 33));
        const Bytes iv = random_bytes(16), plain = random_bytes(16 * count);
        // By hand: C(i) = E(P(i) ^ C(i-1)).
        Bytes expected = plain, prev = iv;
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t j = 0; j < 16; ++j) prev[j] ^= plain[16 * i + j];
            prev = encrypt(k, prev);
            std::copy(prev.begin(), prev.end(), expected.begin() + static_cast<long>(16 * i));
        }
        // Encryption out of place: the plaintext stays as it was.
        Bytes data(plain.size()), chain = iv;
        Twofish_cbc_encrypt(k, chain.data(), plain.data(), data.data(), count);
        EXPECT_EQ(data, expected) << count;
        EXPECT_EQ(chain, prev) << count;
        chain = iv;
        Twofish_cbc_decrypt(k, chain.data(), data.data(), count);
        EXPECT_EQ(data, plain) << count;
        EXPECT_EQ(chain, prev) << count;
    }
}

// The child's standard error: the message and one line end, which the C
// runtime of Windows writes as CR LF.
class IsLine : public testing::MatcherInterface<const std::string&> {
public:
    explicit IsLine(std::string text) : text_(std::move(text)) {}
    bool MatchAndExplain(const std::string& out, testing::MatchResultListener*) const override {
        return out == text_ + "\n" || out == text_ + "\r\n";
    }
    void DescribeTo(std::ostream* os) const override { *os << "is the line \"" << text_ << "\""; }

private:
    std::string text_;
};

// Runs fn in a child process and expects it to print message alone on
// standard output and exit with code 4, as fail_internal does. The child's
// standard output goes to its standard error, which the death test reads.
void expect_fatal(void (*fn)(), const char* message) {
    std::fflush(nullptr);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            fn();
            std::fflush(stdout);
            _exit(0);
        },
        testing::ExitedWithCode(4), testing::Matcher<const std::string&>(new IsLine(message)))
        << message;
}

TwofishKey scratch_key;

TEST_F(Twofish, FatalConditions) {
    expect_fatal([] { Twofish_prepare_key(zeros(40).data(), 33, scratch_key); },
                 "Twofish_prepare_key: illegal key length");
    expect_fatal([] { Twofish_prepare_key(zeros(40).data(), -1, scratch_key); },
                 "Twofish_prepare_key: illegal key length");
    expect_fatal([] { ti::h(0, zeros(32).data(), 5); }, "Twofish h(): Illegal argument");
    expect_fatal([] { ti::fill_keyed_sboxes(zeros(32).data(), 1, scratch_key); },
                 "Twofish fill_keyed_sboxes(): Illegal argument");
    // As in a process where no start has run yet.
    expect_fatal(
        [] {
            ti::started = false;
            Twofish_prepare_key(zeros(16).data(), 16, scratch_key);
        },
        "Twofish implementation was not initialised.");
}

// The self-test notices tables that went wrong.
TEST_F(Twofish, SelfTestCatchesDamagedTables) {
    expect_fatal(
        [] {
            ti::mds_column[2][0x17] ^= 0x100;
            ti::check_known_answers();
        },
        "Twofish encryption failure");
    expect_fatal(
        [] {
            ti::q_perm[0][0x80] ^= 1;
            ti::check_iterated_chain(24);
        },
        "Twofish encryption failure in sequence");
}

// The vector path decrypts groups of 64 blocks and leaves the rest to the
// portable code: every remainder after none, one and several groups, at an
// odd address, must give the portable code's bytes and chain.
TEST_F(Twofish, FastPathDecryptionMatchesPortable) {
#ifdef ZELNO_PORTABLE_ONLY
    EXPECT_FALSE(cpu_has_twofish_vector_instructions());
#endif
    if (!cpu_has_twofish_vector_instructions())
        GTEST_SKIP() << "no Twofish vector path on this processor, or none built";
    std::mt19937 rng(23);
    std::vector<std::size_t> counts = {63, 64, 65, 127, 128, 129, 200, 255, 256, 257, 300, 1000};
    for (std::size_t n = 0; n <= 9; ++n) counts.push_back(n);
    for (int length : {16, 24, 32, 5}) {
        const TwofishKey k = prepared(test::random_bytes(rng, 32), length);
        for (std::size_t n : counts) {
            const Bytes iv = test::random_bytes(rng, 16), input = test::random_bytes(rng, 16 * n + 1);
            Bytes fast = input, portable = input, fast_chain = iv, portable_chain = iv;
            Twofish_cbc_decrypt_hw(k, fast_chain.data(), fast.data() + 1, n);
            Twofish_cbc_decrypt_portable(k, portable_chain.data(), portable.data() + 1, n);
            ASSERT_EQ(fast, portable) << length << " key bytes, " << n << " blocks";
            ASSERT_EQ(fast_chain, portable_chain) << length << " key bytes, " << n << " blocks";
        }
    }
}

}  // namespace
}  // namespace zelno
