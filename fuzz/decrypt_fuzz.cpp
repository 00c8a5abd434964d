// Arbitrary bytes as a container file, decrypted under a fixed key (the key
// of the test corpus) and restored under its stored name in a scratch
// directory.

#include <cstring>

#include "container/decrypt.hpp"
#include "harness.hpp"

namespace {

constexpr char key[] = "corpus key";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelno;
    static const fuzz::Sandbox sandbox;

    sandbox.clear();
    sandbox.put("input", {data, size});
    fuzz::reset_run();
    run.mode = Mode::Decrypt;
    run.infile_name = "input";
    std::memcpy(run.key_buffer.data(), key, sizeof key);
    run.key_string = run.key_buffer.data();

    int code = sandbox.run_ended([] {
        run_decrypt();
        end_process(0);
    });

    // Success, or a content error: the directory gives no cause for others.
    fuzz::check(code == 0 || code == EXIT_MESSAGE, "unexpected exit code");
    fuzz::check_after_run(sandbox);
    fuzz::reset_run();
    return 0;
}
