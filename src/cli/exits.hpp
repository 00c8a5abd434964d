// Failure exits and the checked stream wrappers. Every failure of a run ends
// the process here: message, close the file slots, drop the unfinished output,
// wipe the secrets, pause when a mode is active, exit with the failure's code.
#pragma once

#include <cstddef>

#include "crypto/internal_failure.hpp"

namespace zelno {

inline constexpr int EXIT_USAGE = 1;     // fail_usage
inline constexpr int EXIT_SYSTEM = 2;    // fail_system
inline constexpr int EXIT_MESSAGE = 3;   // fail_message
inline constexpr int EXIT_INTERNAL = 4;  // fail_internal

// Closes infile, outfile and selffile, in that order, and empties the slots.
void close_slots();
// "hit any key...." on the console and one key press, when a mode is active
// and a console exists.
void pause_if_active();

[[noreturn]] void fail_usage();
// No message ever lands in the output's own file or pipe: where standard
// output or standard error is the output (/dev/stdout into a file), a message
// meant for it goes to the other one, or to the console when both are, and is
// dropped only without a console.

// Message, ": " and the description of errno, on standard error.
[[noreturn]] void fail_system(const char* message);
// Content problems: the message on standard output.
[[noreturn]] void fail_message(const char* message);
// Faults of the program itself (crypto/internal_failure.hpp): the message
// on standard output.

// The success word as a line on standard output.
void report_success(const char* word);

// Read from infile / write to outfile; a stream fault ends the run with
// "infile read error" / "outfile write error". A short read is no failure.
std::size_t read_infile(void* buffer, std::size_t count);
std::size_t write_outfile(const void* buffer, std::size_t count);

// Ends the process with the given code: secrets wiped, buffered output flushed.
// The fuzzing build throws ProcessEnd instead, so that the harness goes on.
[[noreturn]] void end_process(int code);

#ifdef ZELNO_FUZZING
struct ProcessEnd {
    int code;
};
#endif

}  // namespace zelno
