#include "cli/self_locate.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include ZELNO_PATH_LIMIT_HEADER

namespace zelno {
namespace {

// Joins directory and name into result; false when it does not fit.
bool join(const char* dir, std::size_t dir_len, const char* name, std::span<char> result) {
    std::size_t name_len = std::strlen(name);
    bool separator = dir_len > 0 && dir[dir_len - 1] != search_rules.directory_separator && dir[dir_len - 1] != '/';
    std::size_t total = dir_len + (separator ? 1 : 0) + name_len;
    if (total + 1 > result.size()) return false;
    std::memcpy(result.data(), dir, dir_len);
    if (separator) result[dir_len] = search_rules.directory_separator;
    std::memcpy(result.data() + dir_len + (separator ? 1 : 0), name, name_len + 1);
    return true;
}

bool found_at(const char* dir, std::size_t dir_len, const char* name, std::span<char> result) {
    return join(dir, dir_len, name, result) && is_regular_file(result.data());
}

}  // namespace

bool search_along_path(const char* name, const char* path_list, std::span<char> result) {
    if (name == nullptr || name[0] == '\0' || result.empty()) return false;
    if (std::strpbrk(name, search_rules.name_separators) != nullptr) return found_at("", 0, name, result);
    if (search_rules.current_directory_first && found_at("", 0, name, result)) return true;
    if (path_list == nullptr) return false;
    for (const char* dir = path_list;;) {
        const char* end = std::strchr(dir, search_rules.list_separator);
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        if (len > 0 ? found_at(dir, len, name, result)
                    : search_rules.empty_entry_is_current && found_at(".", 1, name, result)) {
            return true;
        }
        if (end == nullptr) break;
        dir = end + 1;
    }
    result[0] = '\0';
    return false;
}

bool find_own_executable(const char* argv0, std::span<char> result) {
    if (own_file_from_system(result)) return true;
    if (argv0 == nullptr) return false;
    const char* path_list = std::getenv("PATH");
    std::array<char, path_bytes> with_suffix{};
    if (join("", 0, argv0, std::span(with_suffix).first(with_suffix.size() - 4))) {
        std::memcpy(with_suffix.data() + std::strlen(with_suffix.data()), ".exe", 5);
        if (search_along_path(with_suffix.data(), path_list, result)) return true;
    }
    return search_along_path(argv0, path_list, result);
}

}  // namespace zelno
