#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "container/names.hpp"

namespace zelno {
namespace {

// A name field holding `name`; without its end, 256 bytes of 'n'.
std::array<std::uint8_t, 256> field(const std::string& name, bool terminated = true) {
    std::array<std::uint8_t, 256> f{};
    std::copy(name.begin(), name.end(), f.begin());
    if (!terminated) f.fill('n');
    return f;
}

TEST(Names, BaseNameAfterTheLastSeparator) {
    EXPECT_STREQ(base_name_of("dir\\sub\\file.txt"), "file.txt");
    EXPECT_STREQ(base_name_of("dir/sub/file.txt"), "file.txt");
    EXPECT_STREQ(base_name_of("C:file.txt"), "file.txt");  // relative to the current folder of drive C
    EXPECT_STREQ(base_name_of("\\\\server\\share\\r\xC3\xA9sum\xC3\xA9.txt"), "r\xC3\xA9sum\xC3\xA9.txt");
    EXPECT_STREQ(base_name_of("file"), "file");
    EXPECT_STREQ(base_name_of("dir\\"), "");
}

// A stored name may only name a file in the current folder, and never a
// device.
TEST(Names, StoredNameMustStayInTheCurrentFolder) {
    for (const char* good : {"report.txt", "x.y", ".hidden", "CONSOLE", "COM10", "LPT", "NULL.txt", "auxiliary",
                             "con-notes.txt", "r\xC3\xA9sum\xC3\xA9.txt"}) {
        EXPECT_TRUE(stored_name_is_safe(field(good))) << good;
    }
    EXPECT_TRUE(stored_name_is_safe(field(std::string(255, 'x'))));
    for (const char* bad :
         {"",           ".",        "..",    "...",  "..\\x",    "a\\b", "a/b",     "/tmp/x",      "C:x",
          "C:\\x",      "x:stream", "x.",    "x ",   "CON",      "con",  "Con.txt", "CON .txt",    "NUL",
          "nul.tar.gz", "PRN",      "AUX.c", "COM1", "com9.log", "LPT0", "lpt1",    "COM\xC2\xB9", "LPT\xC2\xB3.txt",
          "CONIN$",     "conout$"}) {
        EXPECT_FALSE(stored_name_is_safe(field(bad))) << bad;
    }
    EXPECT_FALSE(stored_name_is_safe(field("", false)));
}

// Names the system cannot hold are refused before anything is published,
// rather than failing at the rename after the work.
TEST(Names, StoredNameWithCharactersTheSystemRefuses) {
    for (const char* bad : {"a<b", "a>b", "say\"hi\"", "a|b", "what?", "*.txt", "tab\there", "\x01", "x\x1f"}) {
        EXPECT_FALSE(stored_name_is_safe(field(bad))) << bad;
    }
    for (const char* good :
         {"a+b=c", "it's [1] {2} (3) #4 %5 &6 ~7 ^8", "del\x7f", "caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D"}) {
        EXPECT_TRUE(stored_name_is_safe(field(good))) << good;
    }
}

}  // namespace
}  // namespace zelno
