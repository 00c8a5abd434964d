// SIGINT, SIGTERM and SIGHUP during a run: drop the unfinished output, put
// the terminal back, and end with 128 + the signal number.
#pragma once

namespace zelno {

void install_signal_handlers();

}  // namespace zelno
