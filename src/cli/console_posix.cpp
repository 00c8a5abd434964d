#include "cli/console.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "container/run_state.hpp"

namespace zelno {
namespace {

// The settings to put back live in the run state as bytes.
static_assert(sizeof(termios) <= sizeof(ConsoleState::saved_settings));

termios saved_settings() {
    termios settings;
    std::memcpy(&settings, run.console.saved_settings.data(), sizeof settings);
    return settings;
}

// Raw input: no echo, no line editing, no signal keys, no flow control, no
// translations, one byte at a time.
termios raw_from(termios raw) {
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

constexpr int escape_wait_ms = 40;       // a lone Escape is followed by silence
constexpr int escape_number_max = 1000;  // larger numbers name no key
constexpr int prefix_cursor = KEY_PREFIX_CURSOR;
constexpr int prefix_function = KEY_PREFIX_FUNCTION;
constexpr int delete_byte = 127;  // what Backspace sends on most terminals
constexpr int escape_byte = 27;

constexpr int no_byte = -1;       // none within the time asked
constexpr int console_gone = -2;  // end of input or an error: the terminal hung up

// One byte from the terminal, waiting at most timeout_ms (for ever when
// negative).
int read_byte(int timeout_ms) {
    if (timeout_ms >= 0) {
        pollfd p{run.console.device, POLLIN, 0};
        int ready;
        do ready = poll(&p, 1, timeout_ms);
        while (ready < 0 && errno == EINTR);
        if (ready == 0) return no_byte;
        if (ready < 0) return console_gone;
    }
    unsigned char byte;
    ssize_t got;
    do got = read(run.console.device, &byte, 1);
    while (got < 0 && errno == EINTR);
    return got == 1 ? byte : console_gone;
}

struct KeyCodes {
    int prefix;
    int number;
};

// "ESC [ n ~" forms, by n.
constexpr KeyCodes tilde_key(int n) {
    switch (n) {
        case 1:
        case 7: return {prefix_cursor, 71};  // Home
        case 2: return {prefix_cursor, 82};  // Insert
        case 3: return {prefix_cursor, 83};  // Delete
        case 4:
        case 8: return {prefix_cursor, 79};  // End
        case 5: return {prefix_cursor, 73};  // Page Up
        case 6: return {prefix_cursor, 81};  // Page Down
        case 11:
        case 12:
        case 13:
        case 14:
        case 15: return {prefix_function, 59 + n - 11};  // F1-F5
        case 17:
        case 18:
        case 19:
        case 20:
        case 21: return {prefix_function, 64 + n - 17};  // F6-F10
        case 23: return {prefix_cursor, 133};            // F11
        case 24: return {prefix_cursor, 134};            // F12
        default: return {-1, -1};
    }
}

// "ESC [ X" and "ESC O X" forms, by the final letter.
constexpr KeyCodes letter_key(int letter) {
    switch (letter) {
        case 'A': return {prefix_cursor, 72};  // Up
        case 'B': return {prefix_cursor, 80};  // Down
        case 'C': return {prefix_cursor, 77};  // Right
        case 'D': return {prefix_cursor, 75};  // Left
        case 'H': return {prefix_cursor, 71};  // Home
        case 'F': return {prefix_cursor, 79};  // End
        case 'P':
        case 'Q':
        case 'R':
        case 'S': return {prefix_function, 59 + letter - 'P'};  // F1-F4
        default: return {-1, -1};
    }
}

// Reads the rest of an escape sequence and turns it into key codes; what is
// not recognised is queued byte by byte as it came.
int decode_escape() {
    std::array<unsigned char, 12> seq{};
    std::size_t len = 0;
    seq[len++] = escape_byte;
    auto deliver_raw = [&]() {
        for (std::size_t i = 1; i < len; ++i) console_enqueue(seq[i]);
        return escape_byte;
    };
    auto deliver = [&](KeyCodes key) {
        if (key.prefix < 0) return deliver_raw();
        console_enqueue(static_cast<unsigned char>(key.number));
        return key.prefix;
    };

    int next = read_byte(escape_wait_ms);
    if (next < 0) return escape_byte;  // a lone Escape
    seq[len++] = static_cast<unsigned char>(next);
    if (next == 'O') {
        int letter = read_byte(escape_wait_ms);
        if (letter < 0) return deliver_raw();
        seq[len++] = static_cast<unsigned char>(letter);
        return deliver(letter_key(letter));
    }
    if (next != '[') return deliver_raw();

    int first_number = -1;
    int number = -1;
    while (len < seq.size()) {
        int c = read_byte(escape_wait_ms);
        if (c < 0) return deliver_raw();
        seq[len++] = static_cast<unsigned char>(c);
        if (c >= '0' && c <= '9') {
            if (number < escape_number_max) number = (number < 0 ? 0 : number * 10) + (c - '0');
        } else if (c == ';') {
            if (first_number < 0) first_number = number;
            number = -1;
        } else if (c == '[' && len == 3) {
            // Linux console: ESC [ [ A..E are F1 to F5.
            int letter = read_byte(escape_wait_ms);
            if (letter < 0) return deliver_raw();
            seq[len++] = static_cast<unsigned char>(letter);
            if (letter >= 'A' && letter <= 'E') return deliver({prefix_function, 59 + letter - 'A'});
            return deliver_raw();
        } else {
            if (first_number < 0) first_number = number;
            if (c == '~') return deliver(tilde_key(first_number));
            return deliver(letter_key(c));
        }
    }
    return deliver_raw();
}

void write_all(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t put = write(run.console.device, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

}  // namespace

bool console_open() {
#ifdef ZELNO_FUZZING
    // The fuzzing build never has a console: nothing may wait for a key.
    run.console.open_tried = true;
    run.console.open_error = ENXIO;
#endif
    if (!run.console.open_tried) {
        run.console.open_tried = true;
        run.console.device = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (run.console.device < 0) run.console.open_error = errno;
    }
    if (run.console.device < 0) errno = run.console.open_error;  // for the caller's report
    return run.console.device >= 0;
}

ConsoleRawScope::ConsoleRawScope() : active_(false) {
    if (run.console.device < 0 || run.console.raw_active) return;
    termios settings;
    if (tcgetattr(run.console.device, &settings) != 0) return;
    std::memcpy(run.console.saved_settings.data(), &settings, sizeof settings);
    termios raw = raw_from(settings);
    run.console.raw_active = 1;  // before the switch, so a signal in between still restores
    if (tcsetattr(run.console.device, TCSANOW, &raw) != 0) {
        run.console.raw_active = 0;
        return;
    }
    active_ = true;
}

ConsoleRawScope::~ConsoleRawScope() {
    run.console.prompt = nullptr;
    if (!active_) return;
    termios settings = saved_settings();
    tcsetattr(run.console.device, TCSANOW, &settings);
    run.console.raw_active = 0;
}

int console_getch(int wait_ms) {
    if (run.console.queued_count > 0) return console_dequeue();
    int byte = read_byte(wait_ms < 0 ? -1 : wait_ms);
    if (byte == no_byte) return console_no_key;
    if (byte < 0) return KEY_CTRL_C;  // the console is gone: end the entry as Ctrl-C would
    if (byte == delete_byte) return KEY_BACKSPACE;
    if (byte == escape_byte) return decode_escape();
    return byte;
}

void console_puts(const char* text) {
    if (run.console.device >= 0) write_all(text, std::strlen(text));
}

void console_putch(char c) {
    if (run.console.device >= 0) write_all(&c, 1);
}

void console_discard_input() {
    if (run.console.device >= 0) tcflush(run.console.device, TCIFLUSH);
    run.console.queued_count = 0;
}

void console_restore_from_signal() {
    if (run.console.raw_active && run.console.device >= 0) {
        tcflush(run.console.device, TCIFLUSH);
        termios settings = saved_settings();
        tcsetattr(run.console.device, TCSANOW, &settings);
    }
}

void console_resume_from_signal() {
    const char* prompt = run.console.prompt;
    if (!run.console.raw_active || run.console.device < 0 || prompt == nullptr) return;
    int saved_errno = errno;
    termios raw = raw_from(saved_settings());
    tcsetattr(run.console.device, TCSANOW, &raw);
    write_all("\r", 1);
    write_all(prompt, std::strlen(prompt));
    errno = saved_errno;
}

bool person_at_input() { return isatty(STDIN_FILENO) == 1; }

}  // namespace zelno
