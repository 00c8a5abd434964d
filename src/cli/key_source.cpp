#include "cli/key_source.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/exits.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// The key ends at its first zero byte everywhere inside: a line that holds
// one would count as less than it is.
void check_key_bytes(std::size_t length) {
    if (std::memchr(run.key_buffer.data(), 0, length) != nullptr) fail_message("key holds a zero byte.");
}

}  // namespace

void read_key_file(const char* name) {
    const bool standard_input = std::strcmp(name, "-") == 0;
    const int file = standard_input ? key_file_standard_input() : key_file_open(name);
    if (file < 0) fail_system("keyfile open error");
    char* key = run.key_buffer.data();
    // One byte past the key, so that a CR before the LF of a full key is seen.
    const std::size_t room = run.key_buffer.size();
    std::size_t count = 0;
    bool line_end = false;
    while (count < room && !line_end) {
        int got = key_file_read_byte(file, key + count);
        if (got < 0) {
            int error = errno;
            if (!standard_input) key_file_close(file);
            errno = error;
            fail_system("keyfile read error");
        }
        if (got == 0) break;
        line_end = key[count] == '\n';
        if (!line_end) ++count;
    }
    if (!standard_input) key_file_close(file);
    if (line_end && count > 0 && key[count - 1] == '\r') --count;
    const std::size_t kept = count < KEY_MAX_LEN ? count : KEY_MAX_LEN;
    std::memset(key + kept, 0, room - kept);
    check_key_bytes(kept);
    run.key_string = key;
}

void read_key_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) fail_message("key variable not set.");
    keep_key(value);
}

void keep_key(const char* text) {
    std::size_t length = std::strlen(text);
    std::size_t kept = length < KEY_MAX_LEN ? length : KEY_MAX_LEN;
    std::memcpy(run.key_buffer.data(), text, kept);
    run.key_buffer[kept] = '\0';
    run.key_string = run.key_buffer.data();
}

}  // namespace zelno
