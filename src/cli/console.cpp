#include <algorithm>
#include <array>
#include <cstring>

#include "cli/console.hpp"
#include "container/run_state.hpp"

namespace zelno {

void console_enqueue(unsigned char code) {
    ConsoleState& c = run.console;
    if (c.queued_count < c.queued.size()) c.queued[(c.queued_head + c.queued_count++) % c.queued.size()] = code;
}

int console_dequeue() {
    ConsoleState& c = run.console;
    int code = c.queued[c.queued_head];
    c.queued_head = (c.queued_head + 1) % c.queued.size();
    --c.queued_count;
    return code;
}

void console_prompt(const char* prompt) {
    run.console.prompt = prompt;
    console_puts(prompt);
}

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
