#include <gtest/gtest.h>

#include <algorithm>

#include "container/run_state.hpp"

namespace zelno {
namespace {

// Every secret area, filled to its last byte, shows in the check and is zero
// after the wipe.
TEST(WipeSecrets, OverwritesEverySecretAreaToItsLastByte) {
    ASSERT_TRUE(secrets_wiped());
    for (std::span<std::byte> area : secret_areas()) {
        std::fill(area.begin(), area.end(), std::byte{0xA5});
        EXPECT_FALSE(secrets_wiped()) << area.size() << " bytes";
        area.back() = std::byte{0};
        EXPECT_FALSE(secrets_wiped()) << area.size() << " bytes";
        std::fill(area.begin(), area.end(), std::byte{0});
        area.back() = std::byte{0x5A};
        EXPECT_FALSE(secrets_wiped()) << area.size() << " bytes";
    }
    for (std::span<std::byte> area : secret_areas()) std::fill(area.begin(), area.end(), std::byte{0x77});
    note_data_in_use(DATA_CHUNK_SIZE + 1);  // no further than the buffers go

    wipe_secrets();

    EXPECT_TRUE(secrets_wiped());
    reset_run_state();
}

// The data buffers are wiped as far as the furthest use recorded, each of
// the four; what lies past it, where nothing is ever put, stays untouched.
TEST(WipeSecrets, DataBuffersAsFarAsTheyWereUsed) {
    note_data_in_use(100);
    note_data_in_use(40);
    for (std::span<std::byte> area : secret_areas(100)) std::fill(area.begin(), area.end(), std::byte{0x77});
    run.data_buffers[3][100] = 1;

    wipe_secrets();

    EXPECT_EQ(run.data_buffers[3][100], 1);
    run.data_buffers[3][100] = 0;
    EXPECT_TRUE(secrets_wiped());
    reset_run_state();
}

}  // namespace
}  // namespace zelno
