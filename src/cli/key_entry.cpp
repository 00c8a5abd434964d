#include "cli/key_entry.hpp"

#include <cstdio>
#include <cstring>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "container/cipher_context.hpp"

namespace zelno {
namespace {

// Once an entry is full, the rest of a longer key is read and dropped until
// Enter, or until the console has been quiet this long, so that it reaches
// neither the shell nor the next entry. Typists average about 240 ms between
// keys, slow ones about 600 ms, and keystroke studies count a gap of 2 s as the
// typist having stopped; a paste through a remote terminal arrives in bursts
// at most a round trip (well under a second) apart. A full key typed without
// Enter ends this long after its last character.
constexpr int key_tail_quiet_ms = 2000;

// What a code read during an entry does.
enum class Step { Store, End, Abort };

Step step_for(int code) {
    if (code == KEY_CTRL_C) return Step::Abort;
    if (code == KEY_ENTER || code == KEY_LINE_FEED || code == console_no_key) return Step::End;
    return Step::Store;
}

}  // namespace

int read_key(const char* prompt, char* buffer, int size) {
    if (size > 0) std::memset(buffer, 0, static_cast<std::size_t>(size));
    if (!console_open()) fail_system("console open error");
    int count = 0;
    ConsoleRawScope raw;  // before the prompt, so nothing typed after it echoes
    console_prompt(prompt);
    Step step = size > 1 ? Step::Store : Step::End;
    while (step == Step::Store) {
        bool full = count == size - 1;
        int code = console_getch(full ? key_tail_quiet_ms : console_wait_forever);
        step = step_for(code);
        if (step == Step::Store && !full) buffer[count++] = static_cast<char>(code);
    }
    if (step == Step::Abort) {
        std::memset(buffer, 0, static_cast<std::size_t>(size));
        console_discard_input();
        count = -1;
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
        print_line("keys mismatch.");
    }
}

}  // namespace zelno
