#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "cli/key_source.hpp"
#include "container/platform_windows.hpp"

namespace zelno {

// Binary: text mode would end the key at a Ctrl-Z byte and take CRs away.
int key_file_open(const char* name) {
    WidePath wide;
    if (!to_wide(name, wide)) return -1;
    return _wopen(wide.data(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int key_file_standard_input() {
    const int file = _fileno(stdin);
    _setmode(file, _O_BINARY);
    return file;
}

int key_file_read_byte(int file, char* byte) { return _read(file, byte, 1); }

void key_file_close(int file) { _close(file); }

}  // namespace zelno
