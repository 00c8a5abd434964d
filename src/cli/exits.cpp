#include "cli/exits.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/console.hpp"
#include "cli/progress.hpp"
#include "cli/signals.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"
#include "container/side_worker.hpp"
#include "container/system_error.hpp"

namespace zelno {
namespace {

constexpr const char* pause_prompt = "hit any key....";

[[noreturn]] void finish_failure(int code) {
    // The second thread may still be writing the output: it ends first.
    side_worker_stop();
    close_slots();
    drop_working_file();
    // Held only while the output took its name; a signal may end a failed run.
    release_terminating_signals();
    // Before the pause, which may wait for a key indefinitely.
    wipe_secrets();
    pause_if_active();
    end_process(code);
}

// What the stream holds goes first; then the text alone, in one write (the
// stream's buffer holds it whole).
void write_once(std::FILE* stream, const char* text) {
    std::fflush(stream);
    std::fwrite(text, 1, std::strlen(text), stream);
    std::fflush(stream);
}

enum class Channel { Stdout, Stderr, Console, Nowhere };

Channel standard_channel(bool to_stdout) { return to_stdout ? Channel::Stdout : Channel::Stderr; }

// Where a message meant for standard output (or standard error) goes: no
// message may land in the output's own file or pipe. When the stream meant
// is the output, the other one takes it; when both are, the console; without
// one it is dropped.
Channel channel_for(bool to_stdout) {
    bool meant_is_output = to_stdout ? run.output.stdout_is_output : run.output.stderr_is_output;
    bool other_is_output = to_stdout ? run.output.stderr_is_output : run.output.stdout_is_output;
    if (!meant_is_output) return standard_channel(to_stdout);
    if (!other_is_output) return standard_channel(!to_stdout);
    int saved_errno = errno;  // still the reason of a failure to report
    bool console = console_open();
    errno = saved_errno;
    return console ? Channel::Console : Channel::Nowhere;
}

// The message as a line, on the standard stream meant or where channel_for
// sends it: formatted first and written at once, so that nothing another
// process writes lands inside it.
void put_line(bool to_stdout, const char* text) {
    std::array<char, 1024> line;
    std::snprintf(line.data(), line.size(), "%s\n", text);
    switch (channel_for(to_stdout)) {
        case Channel::Stdout: write_once(stdout, line.data()); break;
        case Channel::Stderr: write_once(stderr, line.data()); break;
        case Channel::Console: console_puts(line.data()); break;
        case Channel::Nowhere: break;
    }
}

}  // namespace

void pause_if_active() {
    // Only for a person: a script whose input is redirected never waits.
    if (run.mode == Mode::None || !person_at_input() || !console_open()) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ConsoleRawScope raw;
    console_prompt(pause_prompt);
    console_getch();
    console_discard_input();  // the rest of a pasted text or a key sequence
    console_blank(pause_prompt);
}

void print_usage() {
    write_once(stdout,
               "\n"
               "usage1: zelno [--key-file FILE | --key-env NAME] <e|ea|d|s|sa> <infile> [key] [outfile]\n"
               "usage2: self-decrypt [key] [outfile]\n"
               "        e  = encrypt (Twofish)\n"
               "        ea = encrypt (AES)\n"
               "        d  = decrypt\n"
               "        s  = make self-decrypt file (Twofish)\n"
               "        sa = make self-decrypt file (AES)\n"
               "        [key] = max 32 bytes string; none or \"\": typed at the terminal\n"
               "        --key-file FILE = the key is the first line of FILE (- is standard input)\n"
               "        --key-env NAME = the key is the environment variable NAME\n"
               "        - as <infile>: standard input; as [outfile]: standard output\n");
}

void print_line(const char* text) { put_line(true, text); }

void fail_usage() {
    close_slots();
    print_usage();
    pause_if_active();
    end_process(EXIT_USAGE);
}

void fail_system(const char* message) {
    clear_progress_line();
    // First, while errno still belongs to the call that failed.
    bool named = message != nullptr && message[0] != '\0';
    const char* reason = system_error_text(errno);
    std::array<char, 512> line;
    std::snprintf(line.data(), line.size(), "%s%s%s", named ? message : "", named ? ": " : "", reason);
    put_line(false, line.data());
    finish_failure(EXIT_SYSTEM);
}

void fail_refused(const char* message) {
    clear_progress_line();
    put_line(false, message);
    finish_failure(EXIT_SYSTEM);
}

void fail_message(const char* message) {
    clear_progress_line();
    put_line(true, message);
    finish_failure(EXIT_MESSAGE);
}

void fail_internal(const char* message) {
    clear_progress_line();
    put_line(true, message);
    finish_failure(EXIT_INTERNAL);
}

void report_success(const char* word) {
    // When standard output is the output (/dev/stdout into a file or pipe),
    // standard error, so that the word does not join the data.
    put_line(true, word);
}

void end_process(int code) {
    side_worker_stop();
    wipe_secrets();
#ifdef ZELNO_FUZZING
    release_terminating_signals();  // the next input runs in this process
    std::fflush(stdout);
    std::fflush(stderr);
    throw ProcessEnd{code};
#else
    std::exit(code);
#endif
}

}  // namespace zelno
