// Failure exits and the checked stream wrappers. Every failure of a run ends
// the process here: message, close the file slots, drop the unfinished output,
// wipe the secrets, pause when a mode is active, exit with the failure's code.
#pragma once

#include "container/program.hpp"
#include "container/slots.hpp"

namespace zelno {

inline constexpr int EXIT_USAGE = 1;     // fail_usage
inline constexpr int EXIT_SYSTEM = 2;    // fail_system
inline constexpr int EXIT_MESSAGE = 3;   // fail_message
inline constexpr int EXIT_INTERNAL = 4;  // fail_internal

// "hit any key...." on the console and one key press, when a mode is active,
// a console exists and a person is there (console.hpp, person_at_input).
void pause_if_active();

// The usage text, on standard output, in one write.
void print_usage();
// A line on standard output (or where a message meant for it goes), in one
// write.
void print_line(const char* text);
[[noreturn]] void fail_usage();
// fail_system, fail_message and report_success (container/program.hpp), and
// fail_internal (crypto/internal_failure.hpp), are defined here too. No
// message ever lands in the output's own file or pipe: where standard output
// or standard error is the output (/dev/stdout into a file), a message meant
// for it goes to the other one, or to the console when both are, and is
// dropped only without a console.

// Ends the process with the given code: secrets wiped, buffered output flushed.
// The fuzzing build throws ProcessEnd instead, so that the harness goes on.
[[noreturn]] void end_process(int code);

#ifdef ZELNO_FUZZING
struct ProcessEnd {
    int code;
};
#endif

}  // namespace zelno
