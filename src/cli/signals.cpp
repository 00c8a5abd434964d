#include "cli/signals.hpp"

#include <array>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

constexpr std::array<int, 4> terminating_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t before_hold;
bool holding = false;

sigset_t terminating_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : terminating_signals) sigaddset(&set, s);
    return set;
}

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
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::signal(SIGXFSZ, SIG_IGN);

    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    action.sa_mask = terminating_set();
    for (int s : terminating_signals) {
        // A signal ignored at start stays ignored (nohup, background jobs).
        struct sigaction inherited {};
        if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

void hold_terminating_signals() {
    sigset_t set = terminating_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    if (!holding) {
        before_hold = previous;
        holding = true;
    }
}

void release_terminating_signals() {
    if (!holding) return;
    holding = false;
    sigprocmask(SIG_SETMASK, &before_hold, nullptr);
}

}  // namespace zelno
