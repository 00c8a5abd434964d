#include "cli/console.hpp"
#include "cli/console_windows.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <conio.h>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <fcntl.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/run_state.hpp"

namespace zelno {
namespace {

// The console's input mode to put back lives in the run state as bytes.
static_assert(sizeof(DWORD) <= sizeof(ConsoleState::saved_settings));

// The console input, opened by console_open() and kept as a C runtime
// descriptor.
HANDLE input() { return reinterpret_cast<HANDLE>(_get_osfhandle(run.console.device)); }

DWORD saved_mode() {
    DWORD mode;
    std::memcpy(&mode, run.console.saved_settings.data(), sizeof mode);
    return mode;
}

// Whether the console has a key to deliver within wait_ms. The input handle is
// signalled by any console event; events that give no key (releases, focus,
// mouse, resizing) stay queued and keep it signalled, so such rounds sleep a
// little instead of spinning.
bool key_within(int wait_ms) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
    for (;;) {
        if (_kbhit()) return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        DWORD left = static_cast<DWORD>(deadline - now);
        DWORD woke = WaitForSingleObject(input(), left);
        if (woke == WAIT_FAILED) return true;  // the console is gone: the key read reports it
        if (woke == WAIT_OBJECT_0 && !_kbhit()) Sleep(std::min<DWORD>(left, 10));
    }
}

constexpr wint_t prefix_cursor = KEY_PREFIX_CURSOR;
constexpr wint_t prefix_function = KEY_PREFIX_FUNCTION;

// What one read of the runtime's key read gives: a UTF-16 unit of a typed
// character, or a prefix with the key number it holds back.
struct ConsoleUnit {
    wint_t unit = 0;
    int key_number = -1;  // a prefix's; -1 for a character
    bool gone = false;    // the console is gone
};

ConsoleUnit next_unit() {
    wint_t unit = _getwch();
    DWORD pending;
    if (unit == WEOF && !GetNumberOfConsoleInputEvents(input(), &pending)) return {.gone = true};
    if (unit != prefix_cursor && unit != prefix_function) return {.unit = unit};
    // 224 is also the character U+00E0. Only a prefix leaves a number in
    // the runtime's push-back slot, and a full slot takes nothing back.
    constexpr wint_t probe = 1;
    if (_ungetwch(probe) != WEOF) {
        _getwch();  // the probe
        return {.unit = unit};
    }
    return {.unit = unit, .key_number = static_cast<int>(_getwch() & 0xFF)};
}

// Queues the codes of one key press: a prefix and its key number, or a
// character's UTF-8 bytes (a character beyond 16 bits comes as two units;
// a unit without its partner gives U+FFFD). False when the console is gone.
bool queue_key_press() {
    ConsoleUnit first = next_unit();
    std::array<wchar_t, 2> units{static_cast<wchar_t>(first.unit)};
    int count = 1;
    while (!first.gone && first.key_number < 0 && IS_HIGH_SURROGATE(first.unit)) {
        ConsoleUnit second = next_unit();
        if (second.key_number < 0 && IS_LOW_SURROGATE(second.unit)) {
            units[count++] = static_cast<wchar_t>(second.unit);
            break;
        }
        // The high surrogate alone is no character; what came after it is.
        constexpr std::array<unsigned char, 3> replacement{0xEF, 0xBF, 0xBD};
        first = second;
        units[0] = static_cast<wchar_t>(first.unit);
        if (first.gone) break;
        for (unsigned char byte : replacement) console_enqueue(byte);
    }
    if (first.gone) return false;
    if (first.key_number >= 0) {
        console_enqueue(static_cast<unsigned char>(first.unit));
        console_enqueue(static_cast<unsigned char>(first.key_number));
        return true;
    }
    std::array<char, 4> bytes{};
    int length = WideCharToMultiByte(CP_UTF8, 0, units.data(), count, bytes.data(), static_cast<int>(bytes.size()),
                                     nullptr, nullptr);
    for (int i = 0; i < length; ++i) console_enqueue(static_cast<unsigned char>(bytes[i]));
    return true;
}

}  // namespace

bool console_open() {
    if (!run.console.open_tried) {
        run.console.open_tried = true;
        HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        DWORD mode;
        if (in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode)) {
            run.console.device = _open_osfhandle(reinterpret_cast<intptr_t>(in), _O_RDONLY);
        }
        if (run.console.device < 0) {
            if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
            run.console.open_error = ENXIO;  // as for a process without a terminal
        }
    }
    if (run.console.device < 0) errno = run.console.open_error;  // for the caller's report
    return run.console.device >= 0;
}

// Without processed input, Ctrl-C is the key 3 where the console delivers it
// as a key at all; where it comes as an event, the handler of cli/signals
// hands it to the entry as that key.
ConsoleRawScope::ConsoleRawScope() : active_(false) {
    if (run.console.device < 0 || run.console.raw_active) return;
    DWORD mode;
    if (!GetConsoleMode(input(), &mode)) return;
    std::memcpy(run.console.saved_settings.data(), &mode, sizeof mode);
    run.console.raw_active = 1;
    if (!SetConsoleMode(input(),
                        mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))) {
        run.console.raw_active = 0;
        return;
    }
    active_ = true;
}

ConsoleRawScope::~ConsoleRawScope() {
    run.console.prompt = nullptr;
    if (!active_) return;
    SetConsoleMode(input(), saved_mode());
    run.console.raw_active = 0;
}

// The C runtime's key read: cursor and editing keys come as 224 and a number,
// function keys as 0 and a number, as the key codes are defined; a typed
// character as its UTF-8 bytes, as on the command line and on Linux,
// whatever the console's code page.
int console_getch(int wait_ms) {
    while (run.console.queued_count == 0) {
        if (wait_ms >= 0 && !key_within(wait_ms)) return console_no_key;
        if (!queue_key_press()) return KEY_CTRL_C;
    }
    return console_dequeue();
}

void console_puts(const char* text) {
    if (run.console.device >= 0) _cputs(text);
}

void console_putch(char c) {
    if (run.console.device >= 0) _putch(static_cast<unsigned char>(c));
}

void console_discard_input() {
    if (run.console.device >= 0) {
        FlushConsoleInputBuffer(input());
    }
    run.console.queued_count = 0;
}

void console_restore_from_signal() {
    if (run.console.raw_active && run.console.device >= 0) {
        FlushConsoleInputBuffer(input());
        SetConsoleMode(input(), saved_mode());
    }
}

// A console made for this process alone (started from a file manager) has
// it as its only process; its window stays until a key is pressed.
bool person_at_input() {
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return true;
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

// A console event of Ctrl-C during key entry becomes the key 3.
bool console_deliver_ctrl_c() {
    if (!run.console.raw_active || run.console.device < 0) return false;
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = 'C';
    record.Event.KeyEvent.uChar.UnicodeChar = KEY_CTRL_C;
    record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    DWORD written;
    return WriteConsoleInputW(input(), &record, 1, &written) && written == 1;
}

}  // namespace zelno
