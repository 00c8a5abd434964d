#include "container/names.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/platform_windows.hpp"

namespace zelno {
namespace {

bool is_separator(unsigned char byte) { return byte == '\\' || byte == '/' || byte == ':'; }

// A lead byte of a double-byte character in the active code page takes the
// next byte with it, so that a trail byte is never taken for a separator.
// (With UTF-8 as the active code page there are none.)
template <class Visit>
void walk(std::string_view name, Visit visit) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto byte = static_cast<unsigned char>(name[i]);
        if (IsDBCSLeadByte(byte)) {
            if (i + 1 == name.size()) break;
            ++i;
            continue;
        }
        visit(i, byte);
    }
}

// The names the system gives its devices, in every directory and with any
// extension: "nul.txt" is the null device.
bool is_device_name(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    auto same = [](std::string_view part, std::string_view upper) {
        return part.size() == upper.size() && std::equal(part.begin(), part.end(), upper.begin(), [](char a, char b) {
                   return std::toupper(static_cast<unsigned char>(a)) == b;
               });
    };
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (same(stem, device)) return true;
    }
    // COM and LPT with a digit, or with a superscript 1, 2 or 3 (in UTF-8).
    if (stem.size() < 4 || (!same(stem.substr(0, 3), "COM") && !same(stem.substr(0, 3), "LPT"))) return false;
    std::string_view number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// What exists under `name` in the current directory bears it as its own
// name: a short (8.3) alias such as "LONGFI~1.TXT" names a file of another,
// long name, which the restored file would replace. Letter case aside.
bool names_itself(std::string_view name) {
    std::array<char, 256> narrow{};
    std::array<wchar_t, 256> wide{};
    if (name.size() >= narrow.size()) return false;
    std::memcpy(narrow.data(), name.data(), name.size());
    if (!to_wide(narrow.data(), wide)) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.data(), &found);
    // Only nothing there passes (wine says "no more files" of an entry it
    // cannot tell, a link that leads nowhere); a folder that cannot be
    // listed hides what is there.
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    }
    FindClose(search);
    return CompareStringOrdinal(found.cFileName, -1, wide.data(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

const char* base_name_of(const char* path) {
    std::string_view name(path);
    std::size_t start = 0;
    walk(name, [&](std::size_t i, unsigned char byte) {
        if (is_separator(byte)) start = i + 1;
    });
    return path + start;
}

bool stored_name_is_safe(std::span<const std::uint8_t> field) {
    auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    if (end == field.end() || end == field.begin()) return false;
    std::string_view name(reinterpret_cast<const char*>(field.data()), static_cast<std::size_t>(end - field.begin()));
    // Separators lead elsewhere; the system holds no name with a control
    // character or one of <>"|?* (wildcards and redirections to its shell).
    bool refused = false;
    walk(name, [&](std::size_t, unsigned char byte) {
        refused = refused || is_separator(byte) || byte < 0x20 || std::strchr("<>\"|?*", byte) != nullptr;
    });
    // The system drops a final dot or space, so "x." would name "x".
    return !refused && name != "." && name != ".." && name.back() != '.' && name.back() != ' ' &&
           !is_device_name(name) && names_itself(name);
}

}  // namespace zelno
