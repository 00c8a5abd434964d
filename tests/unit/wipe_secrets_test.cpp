#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cli/exits.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

bool all_zero(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    return std::all_of(p, p + size, [](std::uint8_t b) { return b == 0; });
}

// Everything that holds the key, what is derived from it, or plaintext is
// zero afterwards, down to the last byte of each buffer.
TEST(WipeSecrets, OverwritesKeysCipherDigestHeaderDataAndStreamBuffers) {
    // Every byte non-zero (padding included), so that a partial wipe shows
    // wherever it falls.
    run.key_buffer.fill('k');
    run.confirm_buffer.fill('c');
    std::memset(static_cast<void*>(&run.cipher), 0xA5, sizeof run.cipher);
    std::memset(static_cast<void*>(&run.digest), 0x5A, sizeof run.digest);
    run.header.bytes.fill(0x33);
    for (auto& buffer : run.data_buffers) buffer.fill(0x77);
    run.infile_buffer.fill('i');
    run.outfile_buffer.fill('o');

    wipe_secrets();

    EXPECT_TRUE(all_zero(run.key_buffer.data(), run.key_buffer.size()));
    EXPECT_TRUE(all_zero(run.confirm_buffer.data(), run.confirm_buffer.size()));
    EXPECT_TRUE(all_zero(&run.cipher, sizeof run.cipher));
    EXPECT_TRUE(all_zero(&run.digest, sizeof run.digest));
    EXPECT_TRUE(all_zero(run.header.bytes.data(), run.header.bytes.size()));
    EXPECT_TRUE(all_zero(run.data_buffers.data(), sizeof run.data_buffers));
    EXPECT_TRUE(all_zero(run.infile_buffer.data(), run.infile_buffer.size()));
    EXPECT_TRUE(all_zero(run.outfile_buffer.data(), run.outfile_buffer.size()));

    static const RunState fresh{};
    run = fresh;
}

}  // namespace
}  // namespace zelno
