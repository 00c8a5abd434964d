#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "container/format.hpp"

namespace zelno {
namespace {

// A stream over the given bytes, positioned at its start.
std::FILE* stream_of(const std::string& bytes) {
    std::FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

// The offset found; what the reader then gets (the bytes read ahead, then the
// stream) must be the bytes from there on.
std::optional<std::uint64_t> scan(const std::string& bytes) {
    std::FILE* f = stream_of(bytes);
    static ReadAhead ahead;
    auto found = locate_payload(f, ahead);
    std::string rest(reinterpret_cast<const char*>(ahead.bytes.data()) + ahead.at, ahead.end - ahead.at);
    for (int c; (c = std::fgetc(f)) != EOF;) rest += static_cast<char>(c);
    std::fclose(f);
    EXPECT_EQ(rest, found ? bytes.substr(*found) : "");
    return found;
}

const std::string magic = std::string("ZN") + "X";

TEST(LocatePayload, FindsMagicAtStart) { EXPECT_EQ(scan(magic + "\x36rest"), 0u); }

TEST(LocatePayload, SkipsMagicFollowedByZero) {
    std::string decoy = "junk" + magic + std::string(1, '\0') + "more";
    EXPECT_EQ(scan(decoy + magic + "\x35"), decoy.size());
}

TEST(LocatePayload, NoFindWithoutNonZeroFollower) {
    EXPECT_FALSE(scan("").has_value());
    EXPECT_FALSE(scan("abc").has_value());
    EXPECT_FALSE(scan("abc" + magic).has_value());  // magic at the very end
    EXPECT_FALSE(scan(magic + std::string(1, '\0')).has_value());
}

TEST(LocatePayload, FirstMatchWins) { EXPECT_EQ(scan("xx" + magic + "\x01" + magic + "\x36"), 2u); }

TEST(LocatePayload, FindsAcrossBufferBoundaries) {
    // Place the magic so that it straddles every alignment around 64 KiB.
    for (std::size_t lead = 65536 - 5; lead <= 65536 + 1; ++lead) {
        std::string bytes(lead, 'a');
        bytes += magic + "\x36";
        EXPECT_EQ(scan(bytes), lead) << lead;
    }
    // A magic followed by a zero that ends on the boundary is passed over.
    for (std::size_t end = 65536 - 1; end <= 65536 + 1; ++end) {
        std::string bytes(end - 4, 'a');
        bytes += magic + std::string(1, '\0') + magic + "\x35";
        EXPECT_EQ(scan(bytes), end) << end;
    }
}

TEST(LocatePayload, AgreesWithAByteByByteScan) {
    // Random streams rich in magic bytes, against the plain definition.
    std::mt19937 gen(7);
    const std::string alphabet = magic + std::string(1, '\0') + "a";
    for (int round = 0; round < 300; ++round) {
        std::string bytes(std::uniform_int_distribution<int>(0, 140000)(gen) % (round < 200 ? 40 : 140000), 'a');
        for (char& c : bytes) c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(gen)];
        std::optional<std::uint64_t> expected;
        for (std::size_t i = 3; i < bytes.size(); ++i) {
            if (bytes.compare(i - 3, 3, magic) == 0 && bytes[i] != '\0') {
                expected = i - 3;
                break;
            }
        }
        EXPECT_EQ(scan(bytes), expected) << round;
    }
}

TEST(LocatePayload, StartsFromCurrentPosition) {
    std::FILE* f = stream_of(magic + "\x36" + "pad" + magic + "\x35");
    std::fseek(f, 1, SEEK_SET);
    ReadAhead ahead;
    EXPECT_EQ(locate_payload(f, ahead), 6u);
    EXPECT_EQ(ahead.end - ahead.at, 4u);
    std::fclose(f);
}

TEST(ContainerHeader, LittleEndianFields) {
    ContainerHeader h;
    h.set_clear_size(0x04030201u);
    EXPECT_EQ(h.bytes[4], 1);
    EXPECT_EQ(h.bytes[7], 4);
    h.write_meta({1, 2, 0xA0B0C0D0u, 0x81A4});
    EXPECT_EQ(h.bytes[OFFSET_META + 8], 0xD0);
    EXPECT_EQ(h.bytes[OFFSET_META + 11], 0xA0);
    MetaBlock m = h.read_meta();
    EXPECT_EQ(m.stamp, 1u);
    EXPECT_EQ(m.size, 2u);
    EXPECT_EQ(m.mtime, 0xA0B0C0D0u);
    EXPECT_EQ(m.mode, 0x81A4u);
    h.set_magic();
    EXPECT_TRUE(h.has_magic());
}

}  // namespace
}  // namespace zelno
