#include "cli/key_entry.hpp"

#include <cstdio>
#include <cstring>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "container/cipher_context.hpp"

namespace zelno {

int read_key(const char* prompt, char* buffer, int size) {
    if (size > 0) std::memset(buffer, 0, static_cast<std::size_t>(size));
    if (!console_open()) fail_system("console open error");
    int count = 0;
    ConsoleRawScope raw;  // before the prompt, so nothing typed after it echoes
    console_puts(prompt);
    while (count < size - 1) {
        int code = console_getch();
        if (code == 3) {
            std::memset(buffer, 0, static_cast<std::size_t>(size));
            console_discard_input();
            count = -1;
            break;
        }
        if (code == 13 || code == 10) break;
        buffer[count++] = static_cast<char>(code);
    }
    console_blank(prompt);
    return count;
}

void read_new_key(char* key, char* confirmation) {
    constexpr int size = KEY_MAX_LEN + 1;
    for (;;) {
        if (read_key("enter key:", key, size) < 0) fail_message("aborted.");
        if (read_key("retype key:", confirmation, size) < 0) fail_message("aborted.");
        if (std::strcmp(key, confirmation) == 0) {
            console_discard_input();
            return;
        }
        std::puts("keys mismatch.");
        std::fflush(stdout);
    }
}

}  // namespace zelno
