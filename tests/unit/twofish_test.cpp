#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/twofish.hpp"
#include "crypto/twofish_internal.hpp"

namespace zelno {
namespace {

namespace ti = twofish_internal;
using Bytes = std::vector<Twofish_Byte>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<Twofish_Byte>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

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

Bytes encrypt(const TwofishKey& k, const Bytes& in) {
    Bytes out(16);
    Twofish_encrypt_block(k, in.data(), out.data());
    return out;
}
Bytes decrypt(const TwofishKey& k, const Bytes& in) {
    Bytes out(16);
    Twofish_decrypt_block(k, in.data(), out.data());
    return out;
}

// Runs fn in a forked child with standard output captured. Returns the
// child's exit code (-1 if it did not exit normally) and what it printed.
template <class Fn>
std::pair<int, std::string> run_child(Fn fn) {
    std::fflush(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return {-2, ""};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        fn();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Every test starts from a started module; each may run in its own process.
class Twofish : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Twofish_start(); }
};

// One row of the iterated tables.
struct Step {
    Bytes key, plain, cipher;
};

// Walks the published iterated chain for key length L, checking each step
// decrypts back; steps[0] is step 1.
std::vector<Step> iterated_chain(std::size_t L) {
    std::vector<Step> steps;
    Bytes key = zeros(L), plain = zeros(16);
    for (int i = 0; i < 49; ++i) {
        TwofishKey k = prepared(key);
        Bytes cipher = encrypt(k, plain);
        EXPECT_EQ(decrypt(k, cipher), plain) << "step " << i + 1;
        steps.push_back({key, plain, cipher});
        Bytes next_key = plain;
        next_key.insert(next_key.end(), key.begin(), key.begin() + static_cast<long>(L - 16));
        key = next_key;
        plain = cipher;
    }
    return steps;
}

TEST_F(Twofish, IteratedChain128) {
    auto s = iterated_chain(16);
    EXPECT_EQ(s[0].cipher, hex("9f589f5cf6122c32b6bfec2f2ae8c35a"));
    EXPECT_EQ(s[1].plain, hex("9f589f5cf6122c32b6bfec2f2ae8c35a"));
    EXPECT_EQ(s[1].cipher, hex("d491db16e7b1c39e86cb086b789f5419"));
    EXPECT_EQ(s[2].key, hex("9f589f5cf6122c32b6bfec2f2ae8c35a"));
    EXPECT_EQ(s[2].cipher, hex("019f9809de1711858faac3a3ba20fbc3"));
    EXPECT_EQ(s[48].key, hex("bca724a54533c6987e14aa827952f921"));
    EXPECT_EQ(s[48].plain, hex("6b459286f3ffd28d49f15b1581b08e42"));
    EXPECT_EQ(s[48].cipher, hex("5d9d4eeffa9151575524f115815a12e0"));
}

TEST_F(Twofish, IteratedChain192) {
    auto s = iterated_chain(24);
    EXPECT_EQ(s[0].cipher, hex("efa71f788965bd4453f860178fc19101"));
    EXPECT_EQ(s[3].key, hex("88b2b2706b105e36b446bb6d731a1e88efa71f788965bd44"));
    EXPECT_EQ(s[3].plain, hex("39da69d6ba4997d585b6dc073ca341b2"));
    EXPECT_EQ(s[3].cipher, hex("182b02d81497ea45f9daacdc29193a65"));
    EXPECT_EQ(s[48].plain, hex("f0ab73301125fa21ef70be5385fb76b6"));
    EXPECT_EQ(s[48].cipher, hex("e75449212beef9f4a390bd860a640941"));
}

TEST_F(Twofish, IteratedChain256) {
    auto s = iterated_chain(32);
    EXPECT_EQ(s[0].cipher, hex("57ff739d4dc92c1bd7fc01700cc8216f"));
    EXPECT_EQ(s[3].key, hex("d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f"));
    EXPECT_EQ(s[3].plain, hex("90afe91bb288544f2c32dc239b2635e6"));
    EXPECT_EQ(s[3].cipher, hex("6cb4561c40bf0a9705931cb6d408e7fa"));
    EXPECT_EQ(s[48].cipher, hex("37fe26ff1cf66175f5ddf4c33b97a205"));
}

TEST_F(Twofish, PublishedRowsBothDirections) {
    struct Row {
        const char *key, *plain, *cipher;
    };
    const Row rows[] = {
        {"00000000000000000000000000000000", "00000000000000000000000000000000",
         "9f589f5cf6122c32b6bfec2f2ae8c35a"},
        {"9f589f5cf6122c32b6bfec2f2ae8c35a", "d491db16e7b1c39e86cb086b789f5419",
         "019f9809de1711858faac3a3ba20fbc3"},
        {"bca724a54533c6987e14aa827952f921", "6b459286f3ffd28d49f15b1581b08e42",
         "5d9d4eeffa9151575524f115815a12e0"},
        {"88b2b2706b105e36b446bb6d731a1e88efa71f788965bd44", "39da69d6ba4997d585b6dc073ca341b2",
         "182b02d81497ea45f9daacdc29193a65"},
        {"d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f",
         "90afe91bb288544f2c32dc239b2635e6", "6cb4561c40bf0a9705931cb6d408e7fa"},
        {"0123456789abcdeffedcba98765432100011223344556677", "00000000000000000000000000000000",
         "cfd1d2e5a9be9cdf501f13b892bd2248"},
        {"0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff",
         "00000000000000000000000000000000", "37527be0052334b89f0cfccae87cfa20"},
    };
    for (const Row& r : rows) {
        TwofishKey k = prepared(hex(r.key));
        EXPECT_EQ(encrypt(k, hex(r.plain)), hex(r.cipher)) << r.key;
        EXPECT_EQ(decrypt(k, hex(r.cipher)), hex(r.plain)) << r.key;
    }
}

TEST_F(Twofish, ShortKeysPadToStandardSizes) {
    EXPECT_TRUE(same_record(prepared(zeros(16), 0), prepared(zeros(16))));
    TwofishKey empty;
    Twofish_prepare_key(nullptr, 0, empty);
    EXPECT_TRUE(same_record(empty, prepared(zeros(16))));

    Bytes key = hex("0123456789abcdeffedcba98765432100011223344556677");
    Bytes padded17(key.begin(), key.begin() + 17);
    padded17.resize(24, 0);
    EXPECT_TRUE(same_record(prepared(key, 17), prepared(padded17)));
    EXPECT_TRUE(same_record(prepared(key, 24), prepared(key)));
    Bytes padded25 = hex("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff");
    padded25.resize(25);
    Bytes key25 = padded25;
    padded25.resize(32, 0);
    EXPECT_TRUE(same_record(prepared(key25, 25), prepared(padded25)));
}

TEST_F(Twofish, BytesBeyondLengthNeverMatter) {
    Bytes clean = zeros(40), dirty(40, 0xA5);
    for (int n = 0; n <= 32; ++n) {
        if (n > 0) clean[static_cast<std::size_t>(n - 1)] = dirty[static_cast<std::size_t>(n - 1)] =
                       static_cast<Twofish_Byte>(n * 37);
        EXPECT_TRUE(same_record(prepared(clean, n), prepared(dirty, n))) << n;
    }
}

TEST_F(Twofish, KeySizeFollowsLengthNotContent) {
    Bytes key = hex("0123456789abcdeffedcba9876543210");
    key.resize(32, 0);
    TwofishKey k16 = prepared(key, 16), k24 = prepared(key, 24), k32 = prepared(key, 32);
    EXPECT_FALSE(same_record(k16, k24));
    EXPECT_FALSE(same_record(k16, k32));
    EXPECT_FALSE(same_record(k24, k32));
}

TEST_F(Twofish, InPlaceEqualsSeparateBuffers) {
    TwofishKey k = prepared(hex("d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f"));
    Bytes block = hex("90afe91bb288544f2c32dc239b2635e6");
    Bytes expected = encrypt(k, block);
    Twofish_encrypt_block(k, block.data(), block.data());
    EXPECT_EQ(block, expected);
    Twofish_decrypt_block(k, block.data(), block.data());
    EXPECT_EQ(block, hex("90afe91bb288544f2c32dc239b2635e6"));
}

TEST_F(Twofish, SecondStartKeepsTables) {
    auto q = ti::q_perm;
    auto mds = ti::mds_column;
    TwofishKey before = prepared(hex("0123456789abcdeffedcba98765432100011223344556677"));
    Twofish_start();
    EXPECT_EQ(ti::q_perm, q);
    EXPECT_EQ(ti::mds_column, mds);
    EXPECT_TRUE(same_record(before, prepared(hex("0123456789abcdeffedcba98765432100011223344556677"))));
}

TEST_F(Twofish, KeyPreparationWipesItsWorkingAreas) {
    Bytes key = hex("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff");
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
    const std::size_t counts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 16, 17, 31, 64, 103};
    for (std::size_t count : counts) {
        TwofishKey k = prepared(random_bytes(count % 33), static_cast<int>(count % 33));
        const Bytes iv = random_bytes(16), plain = random_bytes(16 * count);

        // By hand: C(i) = E(P(i) ^ C(i-1)).
        Bytes expected = plain, prev = iv;
        for (std::size_t i = 0; i < count; ++i) {
            Twofish_Byte* block = expected.data() + 16 * i;
            for (std::size_t j = 0; j < 16; ++j) block[j] ^= prev[j];
            Twofish_encrypt_block(k, block, block);
            prev.assign(block, block + 16);
        }

        Bytes data = plain, chain = iv;
        Twofish_cbc_encrypt(k, chain.data(), data.data(), count);
        EXPECT_EQ(data, expected) << count;
        EXPECT_EQ(chain, prev) << count;

        chain = iv;
        Twofish_cbc_decrypt(k, chain.data(), data.data(), count);
        EXPECT_EQ(data, plain) << count;
        EXPECT_EQ(chain, prev) << count;
    }
}

TEST_F(Twofish, CbcContinuesAcrossCalls) {
    TwofishKey k = prepared(hex("9f589f5cf6122c32b6bfec2f2ae8c35a"));
    Bytes plain(16 * 10);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<Twofish_Byte>(i * 7);
    Bytes whole = plain, chain_whole = zeros(16);
    Twofish_cbc_encrypt(k, chain_whole.data(), whole.data(), 10);
    Bytes parts = whole, chain = zeros(16);
    Twofish_cbc_decrypt(k, chain.data(), parts.data(), 3);
    Twofish_cbc_decrypt(k, chain.data(), parts.data() + 48, 6);
    Twofish_cbc_decrypt(k, chain.data(), parts.data() + 144, 1);
    EXPECT_EQ(parts, plain);
    EXPECT_EQ(chain, chain_whole);
}

// GF(2^8) product modulo the given polynomial.
unsigned gf_mul(unsigned a, unsigned b, unsigned poly) {
    unsigned r = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= poly;
    }
    return r;
}

TEST_F(Twofish, FieldTablesMatchPublishedMatrices) {
    const unsigned rs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        Twofish_Byte chunk[8];
        for (auto& b : chunk) b = static_cast<Twofish_Byte>(rng());
        Twofish_UInt32 s = ti::rs_remainder(chunk);
        for (int i = 0; i < 4; ++i) {
            unsigned expected = 0;
            for (int j = 0; j < 8; ++j) expected ^= gf_mul(rs[i][j], chunk[j], 0x14D);
            EXPECT_EQ((s >> (8 * i)) & 0xFF, expected);
        }
    }

    const unsigned mds[4][4] = {
        {0x01, 0xEF, 0x5B, 0x5B}, {0x5B, 0xEF, 0xEF, 0x01}, {0xEF, 0x5B, 0x01, 0xEF}, {0xEF, 0x01, 0xEF, 0x5B}};
    EXPECT_EQ(ti::q_perm[0][0], 0xA9u);
    EXPECT_EQ(ti::q_perm[1][0], 0x75u);
    for (unsigned x = 0; x < 256; ++x) {
        for (int j = 0; j < 4; ++j) {
            unsigned y = ti::q_perm[j % 2 == 0 ? 1 : 0][x];
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ((ti::mds_column[j][x] >> (8 * i)) & 0xFF, gf_mul(mds[i][j], y, 0x169));
        }
    }
}

// Each fatal condition prints its line on standard output and exits with 4.
void expect_fatal(void (*fn)(), const char* message) {
    auto [code, out] = run_child(fn);
    EXPECT_EQ(code, 4) << message;
    EXPECT_EQ(out, std::string(message) + "\n");
}

TEST(TwofishFatal, KeyBeforeStart) {
    expect_fatal(
        [] {
            ti::started = false;  // a process in which no start has run
            TwofishKey k;
            Twofish_prepare_key(zeros(16).data(), 16, k);
        },
        "Twofish implementation was not initialised.");
}

TEST(TwofishFatal, IllegalKeyLengths) {
    expect_fatal(
        [] {
            Twofish_start();
            TwofishKey k;
            Twofish_prepare_key(zeros(40).data(), 33, k);
        },
        "Twofish_prepare_key: illegal key length");
    expect_fatal(
        [] {
            Twofish_start();
            TwofishKey k;
            Twofish_prepare_key(zeros(40).data(), -1, k);
        },
        "Twofish_prepare_key: illegal key length");
}

TEST(TwofishFatal, InternalArgumentChecks) {
    expect_fatal([] { ti::h(0, zeros(32).data(), 5); }, "Twofish h(): Illegal argument");
    expect_fatal(
        [] {
            TwofishKey k;
            ti::fill_keyed_sboxes(zeros(32).data(), 1, k);
        },
        "Twofish fill_keyed_sboxes(): Illegal argument");
}

TEST(TwofishFatal, SelfTestCatchesDamagedTables) {
    expect_fatal(
        [] {
            Twofish_start();
            ti::mds_column[2][0x17] ^= 0x100;
            ti::check_known_answers();
        },
        "Twofish encryption failure");
    expect_fatal(
        [] {
            Twofish_start();
            ti::q_perm[0][0x80] ^= 1;
            ti::check_iterated_chain(24);
        },
        "Twofish encryption failure in sequence");
}

}  // namespace
}  // namespace zelno
