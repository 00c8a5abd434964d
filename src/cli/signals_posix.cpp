#include <array>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include "cli/console.hpp"
#include "cli/signals.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

constexpr std::array<int, 4> terminating_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t terminating_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : terminating_signals) sigaddset(&set, s);
    return set;
}

// Only async-signal-safe work: tcflush and tcsetattr, unlink of a name
// prepared before the output was created, overwriting memory, _exit.
void on_terminating_signal(int signal_number) {
    console_restore_from_signal();
    drop_working_file();
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
    if (run.signals.holding) return;
    // Which of them this hold blocked: those that were not blocked already.
    run.signals.held = 0;
    for (std::size_t i = 0; i < terminating_signals.size(); ++i) {
        if (sigismember(&previous, terminating_signals[i]) == 0) run.signals.held |= 1u << i;
    }
    run.signals.holding = true;
}

void release_terminating_signals() {
    if (!run.signals.holding) return;
    run.signals.holding = false;
    sigset_t set;
    sigemptyset(&set);
    for (std::size_t i = 0; i < terminating_signals.size(); ++i) {
        if (run.signals.held & (1u << i)) sigaddset(&set, terminating_signals[i]);
    }
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace zelno
