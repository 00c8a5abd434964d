// Arbitrary argument vectors through the command line and whatever run they
// start, in a scratch directory that holds a plaintext "plain", a container
// "c" of it under the key "k", and a stand-in for the program's own file.
// The fuzzing build has no console, so a run without a key argument (or with
// the empty one) and without a key option must end with "console open error"
// instead of waiting.
//
// Input: bit 0 of the first byte chooses an own file with a container
// appended (a self-decrypting executable); the other bytes are the arguments
// after argument 0, each ended by a zero byte or the end of the input.
// Arguments holding a slash are not run: they could reach beyond the scratch
// directory.

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "container/format.hpp"
#include "harness.hpp"

namespace {

using namespace zelno;

constexpr std::array<const char*, 5> mode_words{"e", "ea", "d", "s", "sa"};

struct Fixtures {
    fuzz::Sandbox sandbox;
    std::vector<std::uint8_t> plain;
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> container;

    Fixtures() {
        const char text[] = "plaintext of the command-line fuzz target\n";
        plain.assign(text, text + sizeof text - 1);
        // Some bytes and the magic with the zero after it, as the program's
        // own image holds it.
        image.assign(64, 0x7f);
        image.insert(image.end(), container_magic, container_magic + sizeof container_magic);
        image.insert(image.end(), 64, 0x20);
        put_all();
        std::array<std::string, 5> words{"zelno", "ea", "plain", "k", "c"};
        std::array<char*, 5> argv{};
        for (std::size_t i = 0; i < words.size(); ++i) argv[i] = words[i].data();
        fuzz::reset_run();
        open_image(false);
        int code = sandbox.run_ended([&] { end_process(run_with_own_image(5, argv.data())); });
        fuzz::check(code == 0, "making the fixture container");
        container = sandbox.get("c");
        fuzz::reset_run();
    }

    void put_all() const {
        sandbox.clear();
        sandbox.put("plain", plain);
        sandbox.put("image", image);
        if (!container.empty()) {
            sandbox.put("c", container);
            std::vector<std::uint8_t> with_container = image;
            with_container.insert(with_container.end(), container.begin(), container.end());
            sandbox.put("image-sfx", with_container);
        }
    }

    // What run_program would have opened as the own executable.
    void open_image(bool self_decrypting) const {
        std::string name = sandbox_path() + (self_decrypting ? "/image-sfx" : "/image");
        run.selffile = std::fopen(name.c_str(), "rb");
        fuzz::check(run.selffile != nullptr, "own image open");
    }

    std::string sandbox_path() const { return sandbox.path(); }
};

struct Expected {
    bool usage;
    int key_index;          // the argument taken as the key; -1 for none
    int output_index;       // the argument taken as the output name; -1 for none
    bool answered = false;  // --help or --version: answered, and a successful end
    bool key_option = false;
};

bool is_key_option(const std::string& word) { return word == "--key-file" || word == "--key-env"; }

// The command line as the usage text describes it: the key options before
// the mode word, at most the key word and the output name after the input
// name ("-nc" skipped), standard input not both the key and the data. A
// usage error still wipes the first word after the input name where no key
// option gives the key.
Expected expected_for(bool self_decrypting, const std::vector<std::string>& args) {
    const int argc = static_cast<int>(args.size());
    auto arg = [&](int i) -> const std::string& { return args[static_cast<std::size_t>(i)]; };
    if (self_decrypting) return {false, argc > 1 && !arg(1).empty() ? 1 : -1, argc > 2 ? 2 : -1};
    if (argc > 1 && (arg(1) == "--help" || arg(1) == "--version")) return {false, -1, -1, true};
    int at = 1;
    int options = 0;
    bool key_option = false;
    std::string key_file;
    for (; at < argc && is_key_option(arg(at)); at += 2, ++options) {
        if (at + 1 >= argc) continue;
        key_option = true;
        key_file = arg(at) == "--key-file" ? arg(at + 1) : "";
    }
    std::vector<int> others;
    bool stray = false;
    for (int i = at + 2; i < argc; ++i) {
        if (arg(i) == "-nc") continue;
        stray = stray || is_key_option(arg(i));
        others.push_back(i);
    }
    const int first = !key_option && !others.empty() ? others[0] : -1;
    const Expected usage{true, first, -1};
    const bool mode =
        at + 1 < argc && std::any_of(mode_words.begin(), mode_words.end(), [&](const char* w) { return arg(at) == w; });
    if (options > 1 || (options == 1 && !key_option) || !mode || stray || is_key_option(arg(at + 1)) ||
        others.size() > (key_option ? 1u : 2u))
        return usage;
    if (key_file == "-" && arg(at + 1) == "-") return {true, -1, -1};
    if (key_option) return {false, -1, others.empty() ? -1 : others[0], false, true};
    const int key = first >= 0 && !arg(first).empty() ? first : -1;
    return {false, key, others.size() > 1 ? others[1] : -1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fixtures fixtures;
    if (size == 0) return 0;
    const bool self_decrypting = (data[0] & 1) != 0;

    std::vector<std::string> args{"zelno"};
    for (std::size_t i = 1; i < size;) {
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(data + i, 0, size - i));
        std::size_t stop = end != nullptr ? static_cast<std::size_t>(end - data) : size;
        args.emplace_back(reinterpret_cast<const char*>(data + i), stop - i);
        i = stop + 1;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].find('/') != std::string::npos) return 0;
        // Standard input is the harness's own.
        if (args[i] == "-" && i > 0 && args[i - 1] == "--key-file") return 0;
    }

    // The arguments in writable storage, as the process receives them.
    std::vector<std::string> storage = args;
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    fixtures.put_all();
    fuzz::reset_run();
    fixtures.open_image(self_decrypting);
    int code = fixtures.sandbox.run_ended([&] { end_process(run_with_own_image(argc, argv.data())); });

    const Expected expected = expected_for(self_decrypting, args);
    fuzz::check(code >= 0 && code <= EXIT_MESSAGE, "unexpected exit code");
    fuzz::check((code == EXIT_USAGE) == expected.usage, "usage exit does not match the command line");
    fuzz::check(!expected.answered || code == 0, "--help or --version did not succeed");
    if (!expected.usage && !expected.answered && !expected.key_option && expected.key_index < 0) {
        fuzz::check(code == EXIT_SYSTEM, "a run without a key did not end at the console");
    }
    for (int i = 0; i < argc; ++i) {
        const std::string& kept = storage[static_cast<std::size_t>(i)];
        if (i == expected.key_index) {
            fuzz::check(fuzz::all_zero(kept.data(), kept.size()), "key argument not wiped");
        } else {
            fuzz::check(kept == args[static_cast<std::size_t>(i)], "an argument was changed");
        }
    }
    // An output may be named like a temporary file.
    fuzz::check_after_run(fixtures.sandbox,
                          expected.output_index >= 0 ? args[static_cast<std::size_t>(expected.output_index)] : "");
    fuzz::reset_run();
    return 0;
}
