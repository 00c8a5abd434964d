#include "cli/command_line.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "cli/console.hpp"
#include "cli/exits.hpp"
#include "cli/key_entry.hpp"
#include "cli/key_source.hpp"
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

// Where the key comes from: a key option's origin and its file or variable
// name; for a word, the word itself was taken, or the console asks.
struct KeySource {
    KeyOrigin origin;
    const char* name;
};

// A key from the command line is copied (the cipher uses at most its first
// KEY_MAX_LEN bytes) and wiped from the argument vector, so that it does not
// stay visible in the process list. The empty word leaves the key to the
// console: an unset variable in a script asks instead of giving no key.
void take_key_argument(char* argument) {
    if (argument[0] == '\0') return;
    keep_key(argument);
    std::memset(argument, 0, std::strlen(argument));
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
        print_line("zelno " ZELNO_VERSION " (" ZELNO_TARGET ")");
    } else {
        return;
    }
    close_slots();
    end_process(0);
}

struct KeyOption {
    const char* word;
    KeyOrigin origin;
};

constexpr std::array<KeyOption, 2> key_options{{
    {"--key-file", KeyOrigin::File},
    {"--key-env", KeyOrigin::Environment},
}};

const KeyOption* key_option(const char* word) {
    for (const KeyOption& o : key_options) {
        if (std::strcmp(word, o.word) == 0) return &o;
    }
    return nullptr;
}

const ModeWord* mode_word(const char* word) {
    for (const ModeWord& m : mode_words) {
        if (std::strcmp(word, m.word) == 0) return &m;
    }
    return nullptr;
}

// A usage error too takes the word a key would be out of the process list.
[[noreturn]] void refuse(char* key_word) {
    if (key_word != nullptr) std::memset(key_word, 0, std::strlen(key_word));
    fail_usage();
}

// zelno [--key-file FILE | --key-env NAME] <word> <infile> [key] [outfile],
// with "-nc" skipped wherever it stands after the input name. The key
// options stand before the mode word only; anywhere else, as any word too
// many, they are a usage error, found before anything is read or written.
KeySource parse_command_line(int argc, char** argv) {
    if (argc > 1) answer_option(argv[1]);
    KeySource key{KeyOrigin::Word, nullptr};
    bool options_fit = true;
    int at = 1;
    for (; at < argc && key_option(argv[at]) != nullptr; at += 2) {
        options_fit = options_fit && key.origin == KeyOrigin::Word && at + 1 < argc;
        if (at + 1 < argc) key = {key_option(argv[at])->origin, argv[at + 1]};
    }
    // The key word and the output name, or the output name alone.
    std::array<char*, 3> words{};
    const std::size_t allowed = key.origin == KeyOrigin::Word ? 2 : 1;
    std::size_t count = 0;
    bool stray_option = false;
    for (int i = at + 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-nc") == 0) continue;
        stray_option = stray_option || key_option(argv[i]) != nullptr;
        if (count < words.size()) words[count++] = argv[i];
    }
    char* key_word = key.origin == KeyOrigin::Word ? words[0] : nullptr;
    const ModeWord* mode = at + 1 < argc ? mode_word(argv[at]) : nullptr;
    if (!options_fit || mode == nullptr || stray_option || key_option(argv[at + 1]) != nullptr || count > allowed) {
        refuse(key_word);
    }
    const char* infile = argv[at + 1];
    // Standard input cannot be both the data and the key.
    if (key.origin == KeyOrigin::File && std::strcmp(key.name, "-") == 0 && std::strcmp(infile, "-") == 0) {
        refuse(nullptr);
    }

    run.mode = mode->mode;
    if (mode->flags != 0) run.flags = mode->flags;
    run.infile_name = infile;
    std::size_t output = 0;
    if (key.origin == KeyOrigin::Word && count > 0) {
        take_key_argument(words[0]);
        output = 1;
    }
    if (count > output) take_output_argument(words[output]);
    return key;
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

bool encrypting() { return run.mode == Mode::Encrypt || run.mode == Mode::MakeSelfDecrypt; }

void obtain_key(KeySource source) {
    if (source.origin == KeyOrigin::File) read_key_file(source.name);
    if (source.origin == KeyOrigin::Environment) read_key_variable(source.name);
    if (run.key_string == nullptr) {
        if (encrypting()) {
            read_new_key(run.key_buffer.data(), run.confirm_buffer.data());
        } else {
            if (read_key("enter key:", run.key_buffer.data(), KEY_MAX_LEN + 1) < 0) fail_message("aborted.");
            // What was typed beyond the entry must not reach the shell.
            console_discard_input();
        }
        run.key_string = run.key_buffer.data();
    }
    // Anyone opens what the empty key locks; containers made under it still open.
    if (encrypting() && run.key_string[0] == '\0') fail_message("empty key.");
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
    KeySource key{KeyOrigin::Word, nullptr};
    // What the scan read of a container is kept for its reader.
    if (locate_payload(run.selffile, run.input_ahead)) {
        run.mode = Mode::SelfDecrypt;
        parse_self_decrypt_line(argc, argv);
    } else {
        key = parse_command_line(argc, argv);
    }

    obtain_key(key);
    if (run.mode == Mode::Encrypt || run.mode == Mode::MakeSelfDecrypt) {
        run_encrypt();
    } else {
        run_decrypt();
    }
    return 0;
}

}  // namespace zelno
