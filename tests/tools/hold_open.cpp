// Another program holding a file open, as an editor may: hold_open FILE
// opens it without letting it be deleted, says "held" and keeps it open
// until its standard input ends.
#include <cstdio>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int wmain(int, wchar_t** argv) {
    if (CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) ==
        INVALID_HANDLE_VALUE) {
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
