#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "cli/console.hpp"
#include "cli/signal_frame.hpp"
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

// The second thread, as a signal that ends the run sees it
// (run.signals.side_thread): none, at work, asked to stop, stopped for good,
// or none that may start any more.
enum SideThread : int { idle, working, stop_asked, parked, no_more };
// Sent to the second thread to stop it; its default action is to ignore it.
constexpr int stop_signal = SIGURG;

pthread_t side_thread() {
    std::uintptr_t id = run.signals.side_thread_id.load();
    pthread_t side;
    std::memcpy(&side, &id, sizeof side);
    return side;
}

bool on_side_thread() {
    int state = run.signals.side_thread.load();
    pthread_t side = side_thread();
    return (state == working || state == stop_asked) && pthread_equal(side, pthread_self()) != 0;
}

// Where a thread waits for the process to die, touching nothing.
[[noreturn]] void wait_for_the_end() {
    if (on_side_thread()) run.signals.side_thread.store(parked);
    sigset_t none;
    sigemptyset(&none);
    for (;;) sigsuspend(&none);
}

void on_stop_signal(int, siginfo_t*, void* context) {
    if (run.signals.side_thread.load() != stop_asked || !on_side_thread()) return;
    clear_saved_registers(context);
    wait_for_the_end();
}

// Stops the second thread where it stands, once its read or write returns,
// so that nothing it reads comes back into memory after the wipe. A read
// that hangs (a dead network file system), or a runtime that holds the
// signal back (ThreadSanitizer's, while the thread waits for work), does not
// keep the run from ending: after two seconds the wipe goes ahead.
void stop_side_thread() {
    for (int waited = 0; waited < 2000; ++waited) {
        int state = run.signals.side_thread.load();
        if (state == idle && run.signals.side_thread.compare_exchange_strong(state, no_more)) return;
        if (state == parked || state == no_more || on_side_thread()) return;
        if (state == working && run.signals.side_thread.compare_exchange_strong(state, stop_asked)) {
            pthread_kill(side_thread(), stop_signal);
        }
        const timespec a_moment{0, 1000000};
        nanosleep(&a_moment, nullptr);
    }
}

// Only async-signal-safe work: stopping the other thread, tcflush and
// tcsetattr, unlink of a name prepared before the output was created,
// overwriting memory, then the signal again. A second thread's fault while
// another signal is handled waits for that one to end the process.
void on_terminating_signal(int signal_number, siginfo_t*, void* context) {
    if (run.signals.ending.exchange(1) != 0) wait_for_the_end();
    stop_side_thread();
    console_restore_from_signal();
    drop_working_file();
    wipe_secrets();
    clear_saved_registers(context);
    die_of(signal_number);
}

// A stopped run goes on: during key entry the shell may have put its own
// terminal settings back; raw input and the prompt again.
void on_continue(int) { console_resume_from_signal(); }

// The second thread's own start and end, as the handler sees them.
void side_thread_body(void (*body)()) {
    pthread_t self = pthread_self();
    std::uintptr_t id = 0;
    static_assert(sizeof self <= sizeof id);
    std::memcpy(&id, &self, sizeof self);
    run.signals.side_thread_id = id;
    int state = idle;
    if (!run.signals.side_thread.compare_exchange_strong(state, working)) wait_for_the_end();
    body();
    state = working;
    if (!run.signals.side_thread.compare_exchange_strong(state, idle)) wait_for_the_end();
}

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
    struct sigaction stop {};
    stop.sa_sigaction = on_stop_signal;
    stop.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(stop_signal, &stop, nullptr);
    struct sigaction action {};
    action.sa_sigaction = on_terminating_signal;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = terminating;
    sigaddset(&action.sa_mask, stop_signal);
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
    return std::thread(side_thread_body, body);
}

}  // namespace zelno
