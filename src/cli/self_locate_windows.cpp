#include <array>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cli/self_locate.hpp"
#include "container/platform_windows.hpp"

namespace zelno {

// As the C runtime's _searchenv: the name relative to the current directory,
// then in each directory of the list; empty entries name nothing.
const SearchRules search_rules{';', '\\', "\\/:", true, false};

bool is_regular_file(const char* path) {
    WidePath wide;
    if (!to_wide(path, wide)) return false;
    DWORD attributes = GetFileAttributesW(wide.data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool own_file_from_system(std::span<char> result) {
    WidePath own;
    DWORD length = GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size()));
    return length > 0 && length < own.size() && from_wide(own.data(), result);
}

}  // namespace zelno
