#include <cstring>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/self_locate.hpp"

namespace zelno {
namespace {

bool copy_name(const char* name, std::span<char> result) {
    std::size_t length = std::strlen(name);
    if (length >= result.size()) return false;
    std::memcpy(result.data(), name, length + 1);
    return true;
}

}  // namespace

// A bare name is never looked for in the current directory unless PATH
// names it: another user's file there is not the program the shell ran.
const SearchRules search_rules{':', '/', "/", false, true};

bool is_regular_file(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The kernel's name for the running program, else the path it was asked to
// execute (an execution through a descriptor names /dev/fd/N, gone without
// /proc).
bool own_file_from_system(std::span<char> result) {
    constexpr const char* kernel_name = "/proc/self/exe";
    if (access(kernel_name, R_OK) == 0 && copy_name(kernel_name, result)) return true;
    const auto* executed = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    return executed != nullptr && is_regular_file(executed) && copy_name(executed, result);
}

}  // namespace zelno
