#include <array>
#include <cstdlib>
#include <cstring>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cli/self_locate.hpp"
#include "container/platform_windows.hpp"

namespace zelno {
namespace {

// Long enough for any name the system's own calls take without the "\\?\" prefix.
using WideName = std::array<wchar_t, 1024>;

bool is_regular_file(const char* path) {
    WideName wide;
    if (!to_wide(path, wide)) return false;
    DWORD attributes = GetFileAttributesW(wide.data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool names_a_place(const char* name) { return std::strpbrk(name, "\\/:") != nullptr; }

// Joins directory and name into result; false when it does not fit.
bool join(const char* dir, std::size_t dir_len, const char* name, std::span<char> result) {
    std::size_t name_len = std::strlen(name);
    bool separator = dir_len > 0 && dir[dir_len - 1] != '\\' && dir[dir_len - 1] != '/';
    std::size_t total = dir_len + (separator ? 1 : 0) + name_len;
    if (total + 1 > result.size()) return false;
    std::memcpy(result.data(), dir, dir_len);
    if (separator) result[dir_len] = '\\';
    std::memcpy(result.data() + dir_len + (separator ? 1 : 0), name, name_len + 1);
    return true;
}

}  // namespace

const char path_list_separator = ';';

// As the C runtime's _searchenv: the name relative to the current directory,
// then in each directory of the list.
bool search_along_path(const char* name, const char* path_list, std::span<char> result) {
    if (name == nullptr || name[0] == '\0' || result.empty()) return false;
    if (names_a_place(name) || is_regular_file(name)) {
        return is_regular_file(name) && join("", 0, name, result);
    }
    if (path_list == nullptr) return false;
    const char* dir = path_list;
    for (;;) {
        const char* end = std::strchr(dir, path_list_separator);
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        // Empty entries name nothing.
        if (len > 0 && join(dir, len, name, result) && is_regular_file(result.data())) return true;
        if (end == nullptr) break;
        dir = end + 1;
    }
    result[0] = '\0';
    return false;
}

bool find_own_executable(const char* argv0, std::span<char> result) {
    WideName own;
    DWORD length = GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size()));
    if (length > 0 && length < own.size() && from_wide(own.data(), result)) return true;

    if (argv0 == nullptr) return false;
    const char* path_list = std::getenv("PATH");
    std::array<char, 256> with_suffix{};
    std::size_t argv0_len = std::strlen(argv0);
    if (argv0_len + 5 <= with_suffix.size()) {
        std::memcpy(with_suffix.data(), argv0, argv0_len);
        std::memcpy(with_suffix.data() + argv0_len, ".exe", 5);
        if (search_along_path(with_suffix.data(), path_list, result)) return true;
    }
    return search_along_path(argv0, path_list, result);
}

}  // namespace zelno
