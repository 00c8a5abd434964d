#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "container/names.hpp"

namespace zelno {
namespace {

TEST(Names, BaseNameAfterTheLastSlash) {
    EXPECT_STREQ(base_name_of("dir/sub/file.txt"), "file.txt");
    EXPECT_STREQ(base_name_of("file"), "file");
    EXPECT_STREQ(base_name_of("/abs"), "abs");
    EXPECT_STREQ(base_name_of("a\\b"), "a\\b");  // a backslash is part of a name here
}

TEST(Names, StoredNameMustStayInTheCurrentDirectory) {
    auto field = [](const std::string& name, bool terminated = true) {
        std::array<std::uint8_t, 256> f{};
        std::copy(name.begin(), name.end(), f.begin());
        if (!terminated) f.fill('n');
        return f;
    };
    EXPECT_TRUE(stored_name_is_safe(field("report.txt")));
    EXPECT_TRUE(stored_name_is_safe(field("...")));
    EXPECT_TRUE(stored_name_is_safe(field(std::string(255, 'x'))));
    for (const char* bad : {"", ".", "..", "../x", "/tmp/x", "a/b", "x/"}) {
        EXPECT_FALSE(stored_name_is_safe(field(bad))) << bad;
    }
    EXPECT_FALSE(stored_name_is_safe(field("", false)));
}

}  // namespace
}  // namespace zelno
