#include "cli/exits.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/console.hpp"
#include "cli/progress.hpp"
#include "cli/signals.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"
#include "container/side_worker.hpp"

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

}  // namespace

void close_slots() {
    for (std::FILE** slot : {&run.infile, &run.outfile, &run.selffile}) {
        if (*slot != nullptr) {
            std::fclose(*slot);
            *slot = nullptr;
        }
    }
}

void pause_if_active() {
    if (run.mode == Mode::None || !console_open()) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ConsoleRawScope raw;
    console_puts(pause_prompt);
    console_getch();
    console_discard_input();  // the rest of a pasted text or a key sequence
    console_blank(pause_prompt);
}

void fail_usage() {
    close_slots();
    std::fputs(
        "\n"
        "usage1: zelno <e|ea|d|s|sa> <infile> [key] [outfile]\n"
        "usage2: self-decrypt [key] [outfile]\n"
        "        e  = encrypt (Twofish)\n"
        "        ea = encrypt (AES)\n"
        "        d  = decrypt\n"
        "        s  = make self-decrypt file (Twofish)\n"
        "        sa = make self-decrypt file (AES)\n"
        "        [key] = max 32 bytes string\n",
        stdout);
    pause_if_active();
    end_process(EXIT_USAGE);
}

void fail_system(const char* message) {
    clear_progress_line();
    // First, while errno still belongs to the call that failed.
    std::perror(message != nullptr && message[0] != '\0' ? message : nullptr);
    finish_failure(EXIT_SYSTEM);
}

void fail_message(const char* message) {
    clear_progress_line();
    std::puts(message);
    finish_failure(EXIT_MESSAGE);
}

void fail_internal(const char* message) {
    clear_progress_line();
    std::puts(message);
    finish_failure(EXIT_INTERNAL);
}

void report_success(const char* word) {
    std::FILE* stream = run.output.is_stdout ? stderr : stdout;
    std::fputs(word, stream);
    std::fputc('\n', stream);
}

std::size_t read_infile(void* buffer, std::size_t count) {
    std::size_t got = std::fread(buffer, 1, count, run.infile);
    if (std::ferror(run.infile)) fail_system("infile read error");
    return got;
}

std::size_t write_outfile(const void* buffer, std::size_t count) {
    std::size_t put = std::fwrite(buffer, 1, count, run.outfile);
    if (std::ferror(run.outfile)) fail_system("outfile write error");
    return put;
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
