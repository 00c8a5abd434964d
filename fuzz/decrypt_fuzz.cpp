// Arbitrary bytes as a container file, decrypted under a fixed key (the key
// of the test corpus) and restored under its stored name in a scratch
// directory.

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelno;
    static const fuzz::Sandbox sandbox;

    int code = fuzz::decrypt_in(sandbox, {data, size});

    // Success, or a content error: the directory gives no cause for others.
    fuzz::check(code == 0 || code == EXIT_MESSAGE, "unexpected exit code");
    fuzz::check_after_run(sandbox);
    fuzz::reset_run();
    return 0;
}
