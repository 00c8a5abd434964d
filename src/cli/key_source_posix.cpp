#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "cli/key_source.hpp"

namespace zelno {

int key_file_open(const char* name) {
    int file;
    do file = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (file < 0 && errno == EINTR);
    return file;
}

int key_file_standard_input() { return STDIN_FILENO; }

int key_file_read_byte(int file, char* byte) {
    ssize_t got;
    do got = read(file, byte, 1);
    while (got < 0 && errno == EINTR);
    return static_cast<int>(got);
}

void key_file_close(int file) { close(file); }

}  // namespace zelno
