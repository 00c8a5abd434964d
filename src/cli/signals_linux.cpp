#include <array>
#include <csignal>
#include <cstdint>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "cli/console.hpp"
#include "cli/signals.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// Signals sent to the process whose default action ends it (besides the
// real-time ones).
constexpr std::array<int, 14> sent_signals{SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                                           SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR,  SIGSTKFLT};
// The process's own faults, which end it as well.
constexpr std::array<int, 7> fault_signals{SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// run.signals.held has a bit for each signal number.
static_assert(NSIG - 1 <= 64);

sigset_t sent_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : sent_signals) sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
    return set;
}

sigset_t terminating_set() {
    sigset_t set = sent_set();
    for (int s : fault_signals) sigaddset(&set, s);
    return set;
}

// The caller sees the process die of the signal itself: a shell stops its
// script on Ctrl-C. Raised while its handler runs, the signal waits until it
// is unblocked, alone: the others stay masked, so the exit is the first's.
[[noreturn]] void die_of(int signal_number) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal_number);
}

// Only async-signal-safe work: tcflush and tcsetattr, unlink of a name
// prepared before the output was created, overwriting memory, then the
// signal again.
void on_terminating_signal(int signal_number) {
    console_restore_from_signal();
    drop_working_file();
    wipe_secrets();
    die_of(signal_number);
}

// A stopped run goes on: during key entry the shell may have put its own
// terminal settings back; raw input and the prompt again.
void on_continue(int) { console_resume_from_signal(); }

}  // namespace

void install_signal_handlers() {
    // No core file, piped or not (a piped core_pattern ignores the limit).
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction resume {};
    resume.sa_handler = on_continue;
    resume.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &resume, nullptr);

    const sigset_t terminating = terminating_set();
    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    action.sa_mask = terminating;
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&terminating, s) != 1) continue;
        // Only where the action is still the default: a signal ignored at
        // start stays ignored (nohup, background jobs), and a handler that a
        // runtime installed before (a sanitizer's, for faults) stays.
        struct sigaction inherited {};
        if (sigaction(s, nullptr, &inherited) != 0 || inherited.sa_handler != SIG_DFL) continue;
        sigaction(s, &action, nullptr);
    }
}

void hold_terminating_signals() {
    const sigset_t set = terminating_set();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    if (run.signals.holding) return;
    // Which of them this hold blocked: those that were not blocked already.
    run.signals.held = 0;
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&set, s) == 1 && sigismember(&previous, s) == 0)
            run.signals.held |= std::uint64_t{1} << (s - 1);
    }
    run.signals.holding = true;
}

void release_terminating_signals() {
    if (!run.signals.holding) return;
    run.signals.holding = false;
    sigset_t set;
    sigemptyset(&set);
    for (int s = 1; s < NSIG; ++s) {
        if (run.signals.held & (std::uint64_t{1} << (s - 1))) sigaddset(&set, s);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

std::thread start_thread_without_signals(void (*body)()) {
    // The new thread inherits the mask of the moment.
    const sigset_t sent = sent_set();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &sent, &previous);
    struct Restore {
        sigset_t mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};
    return std::thread(body);
}

}  // namespace zelno
