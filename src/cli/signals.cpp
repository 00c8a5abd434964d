#include "cli/signals.hpp"

#include <csignal>
#include <unistd.h>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// Only async-signal-safe work: tcsetattr, unlink of a name prepared before
// the output was created, overwriting memory, _exit.
void on_terminating_signal(int signal_number) {
    console_restore_from_signal();
    if (run.output_created && run.temp_name[0] != '\0') unlink(run.temp_name.data());
    wipe_secrets();
    _exit(128 + signal_number);
}

}  // namespace

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

}  // namespace zelno
