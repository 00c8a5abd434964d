// Every signal whose default action ends the process ends a run the same
// way: the unfinished output dropped, the terminal put back, the secrets
// wiped; then the process dies of that signal, as the caller expects. The
// hold while the output takes its name, and a thread without signals, are
// declared for the pipelines in container/program.hpp and defined here.
#pragma once

#include "container/program.hpp"

namespace zelno {

// Also: no core file (it would hold the key and the plaintext), and SIGXFSZ
// ignored, so that a write past the file size limit fails like any other.
void install_signal_handlers();

}  // namespace zelno
