#include "cli/command_line.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "cli/key_entry.hpp"
#include "cli/progress.hpp"
#include "cli/self_locate.hpp"
#include "cli/signals.hpp"
#include "container/decrypt.hpp"
#include "container/encrypt.hpp"
#include "container/input_file.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

struct ModeWord {
    const char* word;
    Mode mode;
    std::uint8_t flags;  // 0: read from the container later
};

constexpr std::array<ModeWord, 5> mode_words{{
    {"e", Mode::Encrypt, FLAGS_TWOFISH},
    {"ea", Mode::Encrypt, FLAGS_AES},
    {"d", Mode::Decrypt, 0},
    {"s", Mode::MakeSelfDecrypt, FLAGS_TWOFISH},
    {"sa", Mode::MakeSelfDecrypt, FLAGS_AES},
}};

// A key from the command line is copied (the cipher uses at most its first
// KEY_MAX_LEN bytes) and wiped from the argument vector, so that it does not
// stay visible in the process list.
void take_key_argument(char* argument) {
    std::size_t length = std::strlen(argument);
    std::size_t kept = length < KEY_MAX_LEN ? length : KEY_MAX_LEN;
    std::memcpy(run.key_buffer.data(), argument, kept);
    run.key_buffer[kept] = '\0';
    std::memset(argument, 0, length);
    run.key_string = run.key_buffer.data();
}

void take_output_argument(const char* argument) {
    run.outfile_name = argument;
    run.outfile_named = true;
}

// "--help" and "--version" in place of a mode word: the usage text, or the
// version and the target the program is built for, and a successful end.
void answer_option(const char* word) {
    if (std::strcmp(word, "--help") == 0) {
        print_usage();
    } else if (std::strcmp(word, "--version") == 0) {
        std::puts("zelno " ZELNO_VERSION " (" ZELNO_TARGET ")");
    } else {
        return;
    }
    close_slots();
    end_process(0);
}

// zelno <word> <infile> [key] [outfile], with "-nc" skipped wherever it stands.
void parse_command_line(int argc, char** argv) {
    if (argc > 1) answer_option(argv[1]);
    if (argc < 3) fail_usage();
    for (const ModeWord& m : mode_words) {
        if (std::strcmp(argv[1], m.word) == 0) {
            run.mode = m.mode;
            if (m.flags != 0) run.flags = m.flags;
            break;
        }
    }
    run.infile_name = argv[2];
    int others = 0;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "-nc") == 0) continue;
        if (others == 0) take_key_argument(argv[i]);
        if (others == 1) take_output_argument(argv[i]);
        ++others;
    }
    if (run.mode == Mode::None) fail_usage();
}

// A self-decrypting executable: [key] [outfile], nothing else.
void parse_self_decrypt_line(int argc, char** argv) {
    if (argc > 1) take_key_argument(argv[1]);
    if (argc > 2) take_output_argument(argv[2]);
}

void xopen_own_executable(const char* argv0) {
    std::array<char, path_bytes> self_name{};
    if (!find_own_executable(argv0, self_name)) fail_message("selffile find error.");
    run.selffile = open_input(self_name.data());
    if (run.selffile == nullptr) fail_system("selffile open error");
}

void obtain_key() {
    if (run.key_string != nullptr) return;
    if (run.mode == Mode::Encrypt || run.mode == Mode::MakeSelfDecrypt) {
        read_new_key(run.key_buffer.data(), run.confirm_buffer.data());
    } else {
        if (read_key("enter key:", run.key_buffer.data(), KEY_MAX_LEN + 1) < 0) fail_message("aborted.");
        // What was typed beyond the entry must not reach the shell.
        console_discard_input();
    }
    run.key_string = run.key_buffer.data();
}

}  // namespace

int run_program(int argc, char** argv) {
    install_signal_handlers();
    protect_secrets();
    xopen_own_executable(argc > 0 ? argv[0] : nullptr);
    return run_with_own_image(argc, argv);
}

int run_with_own_image(int argc, char** argv) {
    run.progress_hooks = {.begin = progress_begin, .advance = progress_advance, .end = progress_end};
    // What the scan read of a container is kept for its reader.
    if (locate_payload(run.selffile, run.input_ahead)) {
        run.mode = Mode::SelfDecrypt;
        parse_self_decrypt_line(argc, argv);
    } else {
        parse_command_line(argc, argv);
    }

    obtain_key();
    if (run.mode == Mode::Encrypt || run.mode == Mode::MakeSelfDecrypt) {
        run_encrypt();
    } else {
        run_decrypt();
    }
    return 0;
}

}  // namespace zelno
