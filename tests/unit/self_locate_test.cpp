#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "cli/self_locate.hpp"

namespace fs = std::filesystem;

namespace zelno {
namespace {

class PathSearch : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("zelno-path-" + std::to_string(getpid()));
        fs::create_directories(root_ / "a");
        fs::create_directories(root_ / "b");
        fs::create_directories(root_ / "cwd");
        old_cwd_ = fs::current_path();
        fs::current_path(root_ / "cwd");
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        fs::remove_all(root_);
    }
    static void touch(const fs::path& p) { std::ofstream(p) << "x"; }
    std::string found(const char* name, const std::string& path_list) {
        std::array<char, PATH_MAX> result{};
        return search_along_path(name, path_list.c_str(), result) ? std::string(result.data()) : "";
    }
    fs::path root_, old_cwd_;
};

// A bare name: Windows looks in the current directory first, as _searchenv;
// Linux only where PATH names it (empty or "."), as the shell found the
// program, so that another user's file there is never taken for it.
const bool current_directory_first = search_rules.current_directory_first;

TEST_F(PathSearch, CurrentDirectoryFirstThenPathInOrder) {
    const std::string list = (root_ / "a").string() + search_rules.list_separator + (root_ / "b").string();
    EXPECT_EQ(found("prog", list), "");
    touch(root_ / "b" / "prog");
    EXPECT_EQ(found("prog", list), (root_ / "b" / "prog").string());
    touch(root_ / "a" / "prog");
    EXPECT_EQ(found("prog", list), (root_ / "a" / "prog").string());
    touch("prog");
    EXPECT_EQ(found("prog", list), current_directory_first ? "prog" : (root_ / "a" / "prog").string());
}

TEST_F(PathSearch, CurrentDirectoryWherePathNamesIt) {
    touch("prog");
    touch(root_ / "b" / "prog");
    const std::string a = (root_ / "a").string(), b = (root_ / "b").string();
    const std::string in_cwd = current_directory_first ? "prog" : "./prog";
    EXPECT_EQ(found("prog", a), current_directory_first ? "prog" : "");
    EXPECT_EQ(found("prog", ""), in_cwd);  // one empty entry
    EXPECT_EQ(found("prog", a + search_rules.list_separator + "." + search_rules.list_separator + b), in_cwd);
    EXPECT_EQ(found("prog", search_rules.list_separator + b), in_cwd);
    EXPECT_EQ(found("prog", a + search_rules.list_separator + search_rules.list_separator + b), in_cwd);
    EXPECT_EQ(found("prog", b + search_rules.list_separator),
              current_directory_first ? "prog" : (root_ / "b" / "prog").string());
    EXPECT_EQ(found("prog", a + search_rules.list_separator), in_cwd);
}

TEST_F(PathSearch, NamesWithSlashAreNotSearched) {
    touch(root_ / "a" / "prog");
    EXPECT_EQ(found("./prog", (root_ / "a").string()), "");
    EXPECT_EQ(found("../a/prog", ""), "../a/prog");
}

TEST_F(PathSearch, DirectoriesDoNotCount) {
    fs::create_directories(root_ / "a" / "prog");
    touch(root_ / "b" / "prog");
    EXPECT_EQ(found("prog", (root_ / "a").string() + search_rules.list_separator + (root_ / "b").string()),
              (root_ / "b" / "prog").string());
}

TEST_F(PathSearch, ResultThatDoesNotFitIsNoFind) {
    touch(root_ / "a" / "prog");
    std::array<char, 8> small{};
    EXPECT_FALSE(search_along_path("prog", (root_ / "a").string().c_str(), small));
    std::string very_long(5000, 'x');
    std::array<char, PATH_MAX> result{};
    EXPECT_FALSE(search_along_path(very_long.c_str(), (root_ / "a").string().c_str(), result));
}

TEST(OwnExecutable, FoundWhateverArgumentZeroSays) {
    std::array<char, PATH_MAX> result{};
    std::string very_long(10000, 'z');
    ASSERT_TRUE(find_own_executable(very_long.c_str(), result));
    EXPECT_TRUE(fs::exists(result.data()));
}

}  // namespace
}  // namespace zelno
