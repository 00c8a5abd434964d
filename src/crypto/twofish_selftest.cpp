// Twofish start-up: table construction and the self-test that every start
// runs (platform checks, known answers, iterated chains, short keys).
#include <array>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "crypto/internal_failure.hpp"
#include "crypto/twofish.hpp"
#include "crypto/twofish_internal.hpp"

namespace zelno {
namespace twofish_internal {
namespace {

using Block = std::array<Twofish_Byte, 16>;

constexpr unsigned hex_digit(char c) {
    return c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(c - 'a' + 10);
}

// Bytes from lower-case hexadecimal text.
template <std::size_t M>
constexpr std::array<Twofish_Byte, (M - 1) / 2> hex(const char (&text)[M]) {
    static_assert(M % 2 == 1, "two digits per byte");
    std::array<Twofish_Byte, (M - 1) / 2> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<Twofish_Byte>(hex_digit(text[2 * i]) * 16 + hex_digit(text[2 * i + 1]));
    return bytes;
}

// Entries of the published iterated tables: 128-bit step 3, 192- and
// 256-bit step 4.
constexpr auto kat128_key = hex("9f589f5cf6122c32b6bfec2f2ae8c35a");
constexpr auto kat128_plain = hex("d491db16e7b1c39e86cb086b789f5419");
constexpr auto kat128_cipher = hex("019f9809de1711858faac3a3ba20fbc3");
constexpr auto kat192_key = hex("88b2b2706b105e36b446bb6d731a1e88efa71f788965bd44");
constexpr auto kat192_plain = hex("39da69d6ba4997d585b6dc073ca341b2");
constexpr auto kat192_cipher = hex("182b02d81497ea45f9daacdc29193a65");
constexpr auto kat256_key = hex("d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f");
constexpr auto kat256_plain = hex("90afe91bb288544f2c32dc239b2635e6");
constexpr auto kat256_cipher = hex("6cb4561c40bf0a9705931cb6d408e7fa");

// 49th ciphertexts of the iterated tables for 16, 24 and 32 key bytes.
constexpr std::array<Block, 3> chain_results{
    hex("5d9d4eeffa9151575524f115815a12e0"),
    hex("e75449212beef9f4a390bd860a640941"),
    hex("37fe26ff1cf66175f5ddf4c33b97a205"),
};

constexpr std::size_t CHAIN_STEPS = 49;
constexpr std::size_t CHAIN_BLOCKS = CHAIN_STEPS + 4;

bool same(const Twofish_Byte* a, const Twofish_Byte* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

template <std::size_t K>
void check_vector(const std::array<Twofish_Byte, K>& key, const Block& plain, const Block& cipher) {
    TwofishKey expanded;
    Twofish_prepare_key(key.data(), static_cast<int>(K), expanded);
    for (int pass = 0; pass < 2; ++pass) {
        Block out;
        Twofish_encrypt_block(expanded, plain.data(), out.data());
        if (out != cipher) fail_internal("Twofish encryption failure");
        Twofish_decrypt_block(expanded, cipher.data(), out.data());
        if (out != plain) fail_internal("Twofish decryption failure");
    }
}

// The word the byte-order checks work on, and its bytes in memory order.
constexpr Twofish_UInt32 probe_word = 0x78563412u;
constexpr std::array<Twofish_Byte, 7> probe_bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};

constexpr bool uint32_suitable =
    std::is_unsigned_v<Twofish_UInt32> && std::numeric_limits<Twofish_UInt32>::digits == 32;
constexpr bool byte_suitable = std::is_unsigned_v<Twofish_Byte> && std::numeric_limits<Twofish_Byte>::digits == 8;
constexpr bool select_byte_sound = SELECT_BYTE(probe_word, 0) == 0x12 && SELECT_BYTE(probe_word, 1) == 0x34 &&
                                   SELECT_BYTE(probe_word, 2) == 0x56 && SELECT_BYTE(probe_word, 3) == 0x78;
static_assert(uint32_suitable, "Twofish_UInt32 must be an unsigned 32-bit type");
static_assert(byte_suitable, "Twofish_Byte must be an unsigned 8-bit type");
static_assert(select_byte_sound, "SELECT_BYTE must count bytes from the least significant");
static_assert(BSWAP(probe_word) == 0x12345678u);

}  // namespace

void check_platform() {
    if (!uint32_suitable) fail_internal("Twofish code: Twofish_UInt32 type not suitable");
    if (!byte_suitable) fail_internal("Twofish code: Twofish_Byte type not suitable");

    const Twofish_UInt32 x = GET32(probe_bytes.data());
    if (x != probe_word || GET32(probe_bytes.data() + 1) != 0x9A785634u ||
        GET32(probe_bytes.data() + 2) != 0xBC9A7856u || GET32(probe_bytes.data() + 3) != 0xDEBC9A78u)
        fail_internal("Twofish code: GET32 not implemented properly");

    std::array<Twofish_Byte, 4> stored{};
    PUT32(3 * x, stored.data());
    if (GET32(stored.data()) != 0x69029C36u || stored != std::array<Twofish_Byte, 4>{0x36, 0x9C, 0x02, 0x69})
        fail_internal("Twofish code: PUT32 not implemented properly");

    for (int n = 1; n < 32; ++n) {
        if (ROL(x, n) != ((x << n) | (x >> (32 - n))) || ROR(x, n) != ((x >> n) | (x << (32 - n))))
            fail_internal("Twofish ROL or ROR not properly defined.");
    }

    if (BSWAP(x) != 0x12345678u) fail_internal("BSWAP not properly defined.");

    for (int i = 0; i < 4; ++i) {
        if (SELECT_BYTE(x, i) != probe_bytes[static_cast<std::size_t>(i)])
            fail_internal("Twofish code: SELECT_BYTE not implemented properly");
    }
}

void check_known_answers() {
    check_vector(kat128_key, kat128_plain, kat128_cipher);
    check_vector(kat192_key, kat192_plain, kat192_cipher);
    check_vector(kat256_key, kat256_plain, kat256_cipher);
}

void check_iterated_chain(int key_length) {
    // Step j keys from block 51 - j on, reads block 50 - j and writes block
    // 49 - j, so each next key is the plaintext followed by the old key.
    std::array<Twofish_Byte, CHAIN_BLOCKS * 16> chain{};
    TwofishKey expanded;
    for (std::size_t j = 0; j < CHAIN_STEPS; ++j) {
        const Twofish_Byte* key = chain.data() + 16 * (51 - j);
        const Twofish_Byte* plain = chain.data() + 16 * (50 - j);
        Twofish_Byte* cipher = chain.data() + 16 * (49 - j);
        Twofish_prepare_key(key, key_length, expanded);
        Twofish_encrypt_block(expanded, plain, cipher);
        Block back;
        Twofish_decrypt_block(expanded, cipher, back.data());
        if (!same(back.data(), plain, 16)) fail_internal("Twofish decryption failure in sequence");
    }
    const Block& expected = chain_results[key_length == 16 ? 0 : key_length == 24 ? 1 : 2];
    if (!same(chain.data() + 16, expected.data(), 16)) fail_internal("Twofish encryption failure in sequence");
}

void check_short_keys() {
    std::array<Twofish_Byte, 32> buffer{};
    TwofishKey short_key, padded_key;
    Twofish_prepare_key(buffer.data(), 16, short_key);
    Twofish_encrypt_block(short_key, buffer.data(), buffer.data());
    Twofish_encrypt_block(short_key, buffer.data(), buffer.data() + 16);
    for (int n = 31; n >= 0; --n) {
        buffer[static_cast<std::size_t>(n)] = 0;
        Twofish_prepare_key(buffer.data(), n, short_key);
        Twofish_prepare_key(buffer.data(), n <= 16 ? 16 : n <= 24 ? 24 : 32, padded_key);
        if (short_key.keyed_sbox != padded_key.keyed_sbox || short_key.subkey != padded_key.subkey)
            fail_internal("Odd sized keys do not expand properly");
    }
}

}  // namespace twofish_internal

void Twofish_start() {
    using namespace twofish_internal;
    check_platform();
    build_q_perms();
    build_mds_columns();
    // The self-test prepares keys itself.
    started = true;
    check_known_answers();
    check_iterated_chain(16);
    check_iterated_chain(24);
    check_iterated_chain(32);
    check_short_keys();
}

}  // namespace zelno
