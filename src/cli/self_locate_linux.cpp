#include "cli/self_locate.hpp"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelno {
namespace {

bool is_regular_file(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Joins directory and name into result; false when it does not fit.
bool join(const char* dir, std::size_t dir_len, const char* name, std::span<char> result) {
    std::size_t name_len = std::strlen(name);
    bool slash = dir_len > 0 && dir[dir_len - 1] != '/';
    std::size_t total = dir_len + (slash ? 1 : 0) + name_len;
    if (total + 1 > result.size()) return false;
    std::memcpy(result.data(), dir, dir_len);
    if (slash) result[dir_len] = '/';
    std::memcpy(result.data() + dir_len + (slash ? 1 : 0), name, name_len + 1);
    return true;
}

// The path the kernel was asked to execute; null where it names no file
// (an execution through a descriptor names /dev/fd/N, gone without /proc).
const char* executed_path() {
    const auto* path = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    return path != nullptr && is_regular_file(path) ? path : nullptr;
}

}  // namespace

const char path_list_separator = ':';

bool search_along_path(const char* name, const char* path_list, std::span<char> result) {
    if (name == nullptr || name[0] == '\0' || result.empty()) return false;
    if (std::strchr(name, '/') != nullptr) return is_regular_file(name) && join("", 0, name, result);
    // A bare name is never looked for in the current directory unless PATH
    // names it: another user's file there is not the program the shell ran.
    if (path_list == nullptr) return false;
    const char* dir = path_list;
    for (;;) {
        const char* end = std::strchr(dir, path_list_separator);
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        // An empty entry of PATH means the current directory.
        if (join(len > 0 ? dir : ".", len > 0 ? len : 1, name, result) && is_regular_file(result.data())) {
            return true;
        }
        if (end == nullptr) break;
        dir = end + 1;
    }
    result[0] = '\0';
    return false;
}

bool find_own_executable(const char* argv0, std::span<char> result) {
    constexpr const char* kernel_name = "/proc/self/exe";
    if (access(kernel_name, R_OK) == 0 && join("", 0, kernel_name, result)) return true;
    if (const char* executed = executed_path(); executed != nullptr && join("", 0, executed, result)) return true;

    if (argv0 == nullptr) return false;
    const char* path_list = std::getenv("PATH");
    std::array<char, PATH_MAX> with_suffix{};
    if (join("", 0, argv0, std::span(with_suffix).first(with_suffix.size() - 4))) {
        std::memcpy(with_suffix.data() + std::strlen(with_suffix.data()), ".exe", 5);
        if (search_along_path(with_suffix.data(), path_list, result)) return true;
    }
    return search_along_path(argv0, path_list, result);
}

}  // namespace zelno
