// SIGINT, SIGTERM, SIGHUP and SIGQUIT during a run: drop the unfinished
// output, put the terminal back, and end with 128 + the signal number.
#pragma once

namespace zelno {

// Also: no core file (it would hold the key and the plaintext), and SIGXFSZ
// ignored, so that a write past the file size limit fails like any other.
void install_signal_handlers();

// From just before the output takes its final name to the end of the run,
// the terminating signals wait: once published, the run is a success.
void hold_terminating_signals();
// Lets them through again, as they were before the hold.
void release_terminating_signals();

}  // namespace zelno
