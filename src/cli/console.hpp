// The console: the process's controlling terminal, never the standard
// streams. Keys arrive one code per read, without echo, translated to the
// console key codes (Enter 13, Ctrl-C 3, Backspace 8, cursor keys 224 and a
// number, F1 to F10 0 and a number).
#pragma once

namespace zelno {

// Opens the controlling terminal on first use; false when there is none.
bool console_open();

// Raw input (no echo, no line editing, no signal keys) for the lifetime of the
// scope; the terminal settings are put back when it ends.
class ConsoleRawScope {
public:
    ConsoleRawScope();
    ~ConsoleRawScope();
    ConsoleRawScope(const ConsoleRawScope&) = delete;
    ConsoleRawScope& operator=(const ConsoleRawScope&) = delete;

private:
    bool active_;
};

// The key codes with a meaning of their own.
inline constexpr int KEY_CTRL_C = 3;
inline constexpr int KEY_BACKSPACE = 8;
inline constexpr int KEY_LINE_FEED = 10;
inline constexpr int KEY_ENTER = 13;
inline constexpr int KEY_PREFIX_FUNCTION = 0;  // F1 to F10: this, then 59 to 68
inline constexpr int KEY_PREFIX_CURSOR = 224;  // cursor and editing keys, F11 and F12: this, then a number

inline constexpr int console_wait_forever = -1;
inline constexpr int console_no_key = -1;

// One key code (0..255), waiting at most wait_ms milliseconds for it (for
// ever when negative): console_no_key when none came in that time. Needs
// console_open() and an active ConsoleRawScope. Returns KEY_CTRL_C when the
// console is gone, so an entry ends.
int console_getch(int wait_ms = console_wait_forever);
void console_puts(const char* text);
void console_putch(char c);
// Writes a carriage return, one space per character of `text`, and a
// carriage return: the prompt disappears and the cursor stands at its start.
void console_blank(const char* text);

// Drops what was typed but not read yet (the rest of a key longer than an
// entry takes, keys pressed ahead), so that it never reaches the shell.
void console_discard_input();

// Restores the terminal settings, input discarded, from inside a signal
// handler.
void console_restore_from_signal();

// Writes the prompt of a key read and notes it, so that a stopped run that
// goes on (POSIX: SIGCONT) puts the terminal back into raw input and shows it
// again: the shell may have put its own settings back meanwhile. Cleared
// when the scope's key reads end.
void console_prompt(const char* prompt);
// The settings and the prompt again, from inside a signal handler; nothing
// outside key entry and the pause. POSIX only.
void console_resume_from_signal();

// Whether a person is there to press a key: standard input is a terminal
// (Windows: also a console made for this program alone, as a file manager
// gives it).
bool person_at_input();

// For the systems' key reads: the codes of one key press still to be
// delivered (a prefix's key number, the bytes of an escape sequence that
// means nothing, the rest of a character), delivered before anything read
// after them.
void console_enqueue(unsigned char code);
int console_dequeue();  // needs a queued code

}  // namespace zelno
