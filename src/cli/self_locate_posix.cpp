#include "cli/self_locate.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
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

}  // namespace

const char path_list_separator = ':';

bool search_along_path(const char* name, const char* path_list, std::span<char> result) {
    if (name == nullptr || name[0] == '\0' || result.empty()) return false;
    if (std::strchr(name, '/') != nullptr || is_regular_file(name)) {
        return is_regular_file(name) && join("", 0, name, result);
    }
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

    if (argv0 == nullptr) return false;
    const char* path_list = std::getenv("PATH");
    char with_suffix[PATH_MAX];
    if (join("", 0, argv0, std::span(with_suffix, sizeof with_suffix - 4))) {
        std::strcat(with_suffix, ".exe");
        if (search_along_path(with_suffix, path_list, result)) return true;
    }
    return search_along_path(argv0, path_list, result);
}

}  // namespace zelno
