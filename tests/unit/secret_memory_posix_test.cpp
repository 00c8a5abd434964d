#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "container/secret_memory.hpp"

namespace zelno {
namespace {

// Whether /proc/self/smaps shows the page that holds `address` left out of
// core files; nothing where it shows no flags for it.
std::optional<bool> left_out_of_core_files(const std::byte* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream fields(line);
        std::uintptr_t low = 0, high = 0;
        char dash = 0;
        if (fields >> std::hex >> low >> dash >> high && dash == '-') {
            inside = low <= at && at < high;
        } else if (inside && line.starts_with("VmFlags:")) {
            return line.find(" dd") != std::string::npos;
        }
    }
    return std::nullopt;
}

// An area across a page boundary: both pages it touches, and no other.
TEST(SecretMemory, EveryPageTheAreaTouchesIsLeftOutOfCoreFiles) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* pages = static_cast<std::byte*>(mapped);
    keep_out_of_swap_and_dumps({pages + page - 8, 16});
    if (left_out_of_core_files(pages) != true) {
        munmap(mapped, 3 * page);
        GTEST_SKIP() << "this system shows no pages left out of core files (an emulator)";
    }
    EXPECT_EQ(left_out_of_core_files(pages + page), true);
    EXPECT_EQ(left_out_of_core_files(pages + 2 * page), false);
    munmap(mapped, 3 * page);
}

}  // namespace
}  // namespace zelno
