#include <gtest/gtest.h>

#include <array>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/console.hpp"
#include "cli/key_entry.hpp"
#include "container/cipher_context.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// The console read from a pipe that holds what a terminal would send.
class ConsolePipe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(ends_.data()), 0);
        run.console.device = ends_[0];
        run.console.open_tried = true;
    }

    void TearDown() override {
        close(ends_[0]);
        close(ends_[1]);
        run.console = ConsoleState{};
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(ends_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Every code the console delivers for what was sent.
    std::vector<int> codes_of(const std::string& bytes) {
        send(bytes);
        std::vector<int> codes;
        for (int code; (code = console_getch(0)) != console_no_key;) codes.push_back(code);
        return codes;
    }

    std::array<int, 2> ends_{};
};

TEST_F(ConsolePipe, KeysBecomeTheConsoleKeyCodes) {
    struct Row {
        std::string sent;
        std::vector<int> codes;
    };
    const Row rows[] = {
        {"\x7f", {8}},
        {"\x1b[A", {224, 72}},
        {"\x1bOA", {224, 72}},
        {"\x1b[1~", {224, 71}},
        {"\x1b[5~", {224, 73}},
        {"\x1b[1;5A", {224, 72}},
        {"\x1bOP", {0, 59}},
        {"\x1b[11~", {0, 59}},
        {"\x1b[15~", {0, 63}},
        // The Linux console's F1 to F5.
        {"\x1b[[A", {0, 59}},
        {"\x1b[[E", {0, 63}},
        {"\x1b[17~", {0, 64}},
        {"\x1b[18~", {0, 65}},
        {"\x1b[19~", {0, 66}},
        {"\x1b[20~", {0, 67}},
        {"\x1b[21~", {0, 68}},
        {"\x1b[23~", {224, 133}},
        {"\x1b[24~", {224, 134}},
        // No key has these numbers: the bytes as they came.
        {"\x1b[16~", {27, '[', '1', '6', '~'}},
        {"\x1b[22~", {27, '[', '2', '2', '~'}},
        {"\x1b[[F", {27, '[', '[', 'F'}},
    };
    for (const Row& row : rows) EXPECT_EQ(codes_of(row.sent), row.codes) << testing::PrintToString(row.sent);
}

TEST_F(ConsolePipe, NoKeyWithinTheWait) { EXPECT_EQ(console_getch(20), console_no_key); }

// A key longer than the entry: its first 32 characters are stored, the rest
// is read up to Enter and no further.
TEST_F(ConsolePipe, EntryTakesTheFirst32CharactersAndDropsTheRest) {
    const std::string key32 = "0123456789abcdefghijklmnopqrstuv";
    struct Row {
        std::string typed;
        int result;
        std::string stored;
    };
    const Row rows[] = {
        {"ab\rn", 2, "ab"},
        {key32 + "\rn", 32, key32},
        {key32 + "WXYZ\rn", 32, key32},
        {key32 + "WXYZ\nn", 32, key32},
        {key32 + "\x1b[AWXYZ\rn", 32, key32},
        {key32 + "WXYZ\x03n", -1, ""},
    };
    for (const Row& row : rows) {
        send(row.typed);
        std::array<char, KEY_MAX_LEN + 1> buffer;
        buffer.fill('x');
        EXPECT_EQ(read_key("enter key:", buffer.data(), static_cast<int>(buffer.size())), row.result) << row.typed;
        EXPECT_EQ(std::string(buffer.data()), row.stored) << row.typed;
        // Nothing beyond the Enter was taken.
        if (row.result >= 0) {
            EXPECT_EQ(console_getch(0), 'n') << row.typed;
        }
        while (console_getch(0) != console_no_key) {
        }
    }
}

}  // namespace
}  // namespace zelno
