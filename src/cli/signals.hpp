// Every signal whose default action ends the process ends a run the same
// way: the unfinished output dropped, the terminal put back, the secrets
// wiped; then the process dies of that signal, as the caller expects.
#pragma once

#include <thread>

namespace zelno {

// Also: no core file (it would hold the key and the plaintext), and SIGXFSZ
// ignored, so that a write past the file size limit fails like any other.
void install_signal_handlers();

// From just before the output takes its final name to the end of the run,
// the terminating signals wait: once published, the run is a success.
void hold_terminating_signals();
// Lets them through again, as they were before the hold.
void release_terminating_signals();

// Starts `body` on a thread that takes none of the signals sent to the
// process, so that they are handled on the thread that runs the pipeline.
// Throws as std::thread does when no thread can be had.
std::thread start_thread_without_signals(void (*body)());

}  // namespace zelno
