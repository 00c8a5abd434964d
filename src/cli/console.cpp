#include <algorithm>
#include <array>
#include <cstring>

#include "cli/console.hpp"

namespace zelno {

void console_blank(const char* text) {
    std::array<char, 128> line;
    std::size_t spaces = std::min(std::strlen(text), line.size() - 3);
    line[0] = '\r';
    std::fill_n(line.begin() + 1, spaces, ' ');
    line[spaces + 1] = '\r';
    line[spaces + 2] = '\0';
    console_puts(line.data());
}

}  // namespace zelno
