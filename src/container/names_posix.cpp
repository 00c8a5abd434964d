#include "container/names.hpp"

#include <algorithm>
#include <cstring>

namespace zelno {

const char* base_name_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool stored_name_is_safe(std::span<const std::uint8_t> field) {
    auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    if (end == field.end() || end == field.begin()) return false;
    std::span<const std::uint8_t> name(field.begin(), end);
    if (std::find(name.begin(), name.end(), std::uint8_t{'/'}) != name.end()) return false;
    auto is = [&](const char* text) {
        return name.size() == std::strlen(text) && std::equal(name.begin(), name.end(), text);
    };
    return !is(".") && !is("..");
}

}  // namespace zelno
