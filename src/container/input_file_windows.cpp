#include <cerrno>
#include <cstdint>
#include <ctime>
#include <io.h>
#include <sys/stat.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/input_file.hpp"
#include "container/platform_windows.hpp"

namespace zelno {
namespace {

// Seconds since 1970 UTC, rounded down, from the system's 100-nanosecond
// count since 1601.
std::int64_t unix_seconds(const FILETIME& time) {
    constexpr std::int64_t ticks_per_second = 10'000'000;
    constexpr std::int64_t ticks_1601_to_1970 = 116'444'736'000'000'000;
    std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) -
        ticks_1601_to_1970;
    std::int64_t seconds = ticks / ticks_per_second;
    return ticks % ticks_per_second < 0 ? seconds - 1 : seconds;
}

}  // namespace

// As the C runtime's fopen opens it, and so that it may be replaced
// meanwhile (by the output it is named as), with the system's errors turned
// into those of Linux.
std::FILE* open_input(const char* name) {
    WidePath wide;
    if (!to_wide(name, wide)) return nullptr;
    HANDLE file = CreateFileW(wide.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return stream_over(file, false);
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(wide.data());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        return nullptr;
    }
    SetLastError(error);
    set_errno_from_last_error();
    return nullptr;
}

std::FILE* open_standard_input() {
    HANDLE own = GetCurrentProcess();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE copy = nullptr;
    if (input == nullptr || input == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(own, input, own, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        errno = EBADF;
        return nullptr;
    }
    return stream_over(copy, false);
}

// The mode bits are those the C runtime's stat reports: a regular file is
// readable by all, and writable by all unless it is read-only.
bool input_status(std::FILE* stream, InputStatus& status) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
            set_errno_from_last_error();
            return false;
        }
        // A device or a pipe: read to its end, as a writable file made now.
        status = {.size = 0,
                  .mtime = static_cast<std::uint32_t>(std::time(nullptr)),
                  .mode = std::uint32_t{_S_IFREG} | 0666,
                  .directory = false,
                  .sized = false};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        set_errno_from_last_error();
        return false;
    }
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::uint32_t mode = (directory ? _S_IFDIR | _S_IEXEC : _S_IFREG) | _S_IREAD;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) mode |= _S_IWRITE;
    mode |= (mode & 0700) >> 3 | (mode & 0700) >> 6;
    // Standard input may stand anywhere in its file.
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    LARGE_INTEGER at{};
    if (!SetFilePointerEx(handle, LARGE_INTEGER{}, &at, FILE_CURRENT)) at.QuadPart = 0;
    const auto done = static_cast<std::uint64_t>(at.QuadPart > 0 ? at.QuadPart : 0);
    status = {.size = size > done ? size - done : 0,
              .mtime = static_cast<std::uint32_t>(unix_seconds(info.ftLastWriteTime)),
              .mode = mode,
              .directory = directory,
              .sized = !directory};
    return true;
}

}  // namespace zelno
