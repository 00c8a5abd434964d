// What the pipelines need from the program around them. The program's entry
// (src/cli) defines these: the failure exits, the success report, and the
// hold of the signals that would end the run. So the pipelines call them
// without knowing the command line, the console or the signal handlers.
#pragma once

#include <thread>

#include "crypto/internal_failure.hpp"

namespace zelno {

// The failure exits: each prints its message, closes the file slots, drops
// the unfinished output, wipes the secrets, pauses when a mode is active and
// ends the process. No message ever lands in the output's own file or pipe.
// A function whose name begins with "x" (xopen_output, xside_wait) ends the
// run through them when its work fails, as do read_infile, write_outfile
// and cipher_setup.
//
// A system call failed: the message, ": " and the description of errno, on
// standard error.
[[noreturn]] void fail_system(const char* message);
// The content is wrong: the message on standard output.
[[noreturn]] void fail_message(const char* message);
// What was asked cannot be done, and no system call failed: the message
// alone on standard error, with fail_system's exit code.
[[noreturn]] void fail_refused(const char* message);

// The success word as a line on standard output.
void report_success(const char* word);

// From just before the output takes its final name to the end of the run,
// the signals that would end it wait: once published, the run is a success.
void hold_terminating_signals();
// Lets them through again, as they were before the hold (a failure after
// the hold ends the run as a signal that came meanwhile would).
void release_terminating_signals();

// Starts `body` on a thread that takes none of the signals sent to the
// process, so that they are handled on the thread that runs the pipeline.
// Throws as std::thread does when no thread can be had.
std::thread start_thread_without_signals(void (*body)());

}  // namespace zelno
