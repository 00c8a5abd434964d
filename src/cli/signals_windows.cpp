#include <atomic>
#include <cstdint>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cli/console.hpp"
#include "cli/console_windows.hpp"
#include "cli/signals.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// Exit codes as the signals of the same keys and situations give on Linux:
// Ctrl-C as SIGINT, Ctrl-Break as SIGQUIT, a console or session that closes
// as SIGHUP.
constexpr unsigned exit_ctrl_c = 128 + 2;
constexpr unsigned exit_ctrl_break = 128 + 3;
constexpr unsigned exit_closed = 128 + 1;

// run.signals.events: bit 0 while held, bit 1 once an event ends the run,
// from bit 8 the exit code of an event that came while held.
constexpr unsigned held_bit = 1;
constexpr unsigned ending_bit = 2;
constexpr unsigned code_shift = 8;

// Stops another thread of the run where it stands; GetThreadContext returns
// only once it has stopped. (A hold's release ends the run on its own thread.)
void stop_thread(std::uintptr_t id) {
    HANDLE thread = reinterpret_cast<HANDLE>(id);
    if (thread == nullptr || GetThreadId(thread) == GetCurrentThreadId()) return;
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
}

// A handle of the calling thread that other threads may use.
std::uintptr_t own_thread() {
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return reinterpret_cast<std::uintptr_t>(thread);
}

[[noreturn]] void end_run(unsigned code) {
    // The run's own threads first, so that nothing they read comes back
    // into memory after the wipe.
    stop_thread(run.signals.run_thread_id.load());
    stop_thread(run.signals.side_thread_id.load());
    console_restore_from_signal();
    drop_working_file();
    wipe_secrets();
    // Every thread stops at once, the run's own included.
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) Sleep(INFINITE);
}

unsigned exit_code_of(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return exit_ctrl_c;
        case CTRL_BREAK_EVENT: return exit_ctrl_break;
        default: return exit_closed;
    }
}

// An event the run ends by itself: the handler returns at once after a key,
// but after a close the system ends the process as soon as it returns, so
// it returns never, and the run publishes its output, or drops the working
// file, and ends first.
BOOL left_to_the_run(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    for (;;) Sleep(INFINITE);
}

// Runs on a thread of its own while the run goes on.
BOOL WINAPI on_console_event(DWORD event) {
    // During key entry and the pause Ctrl-C is a key.
    if (event == CTRL_C_EVENT && console_deliver_ctrl_c()) return TRUE;
    const unsigned code = exit_code_of(event);
    unsigned state = run.signals.events.load();
    for (;;) {
        if (state & ending_bit) return left_to_the_run(event);
        if (state & held_bit) {
            // Once the output takes its name the run ends as it would have;
            // a failure lets the event through (release_terminating_signals).
            if ((state >> code_shift) != 0 ||
                run.signals.events.compare_exchange_weak(state, state | code << code_shift)) {
                return left_to_the_run(event);
            }
        } else if (run.signals.events.compare_exchange_weak(state, state | ending_bit)) {
            end_run(code);
        }
    }
}

}  // namespace

// An inherited choice to ignore Ctrl-C stays: the system then calls no
// handler for it. A crash shows no dialog that would keep the key in memory.
void install_signal_handlers() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    run.signals.run_thread_id = own_thread();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_terminating_signals() {
    if (run.signals.holding) return;
    unsigned state = run.signals.events.load();
    for (;;) {
        // An event is ending the run on its own thread: it ends this one too.
        if (state & ending_bit) {
            for (;;) Sleep(INFINITE);
        }
        if (run.signals.events.compare_exchange_weak(state, state | held_bit)) break;
    }
    run.signals.holding = true;
}

void release_terminating_signals() {
    if (!run.signals.holding) return;
    run.signals.holding = false;
    unsigned state = run.signals.events.load();
    unsigned waiting = 0;
    for (;;) {
        waiting = state >> code_shift;
        if (run.signals.events.compare_exchange_weak(state, waiting != 0 ? ending_bit : 0)) break;
    }
    if (waiting != 0) end_run(waiting);
}

// Console events come on a thread of their own anyway.
std::thread start_thread_without_signals(void (*body)()) { return std::thread(body); }

}  // namespace zelno
