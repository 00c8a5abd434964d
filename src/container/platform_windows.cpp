#include "container/platform_windows.hpp"
#include "container/system_error.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace zelno {

bool to_wide(const char* name, std::span<wchar_t> wide) {
    int got = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wide.data(), static_cast<int>(wide.size()));
    if (got > 0) return true;
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EINVAL;
    return false;
}

bool from_wide(const wchar_t* wide, std::span<char> name) {
    int got = WideCharToMultiByte(CP_ACP, 0, wide, -1, name.data(), static_cast<int>(name.size()), nullptr, nullptr);
    if (got > 0) return true;
    errno = ENAMETOOLONG;
    return false;
}

std::FILE* stream_over(void* file, bool writing) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), (writing ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        int saved_errno = errno;
        CloseHandle(file);
        errno = saved_errno;
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, writing ? "wb" : "rb");
    if (stream == nullptr) {
        int saved_errno = errno;
        _close(fd);
        errno = saved_errno;
    }
    return stream;
}

namespace {

// Errors Linux has no errno for, with a text a user can act on, as numbers
// from own_errors on; a failed replace as its reason from replace_errors on.
constexpr int own_errors = 0x10000;
constexpr int replace_errors = 0x20000;

struct OwnError {
    DWORD error;
    const char* text;
};
constexpr std::array<OwnError, 4> own_texts{{
    {ERROR_SHARING_VIOLATION, "File is open in another program"},
    {ERROR_UNABLE_TO_REMOVE_REPLACED, "Old file cannot be removed (open elsewhere?); it is kept"},
    {ERROR_UNABLE_TO_MOVE_REPLACEMENT, "Old file gone, new one cannot take its name: it stays as .zelno-XXXXXX"},
    {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, "New file cannot take its name; the old one is kept under another"},
}};
}  // namespace

// Every error of the system that the program's own calls can meet, as the
// errno Linux gives in the same case, so that a message reads the same on
// both. Anything else is an input/output error.
void set_errno_from_last_error() {
    struct Mapping {
        DWORD error;
        int number;
    };
    static constexpr std::array<Mapping, 32> mappings{{
        {ERROR_FILE_NOT_FOUND, ENOENT},
        {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_INVALID_DRIVE, ENOENT},
        {ERROR_BAD_NETPATH, ENOENT},
        {ERROR_BAD_NET_NAME, ENOENT},
        {ERROR_BAD_PATHNAME, ENOENT},
        {ERROR_INVALID_NAME, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_SHARING_VIOLATION, EACCES},
        {ERROR_LOCK_VIOLATION, EACCES},
        {ERROR_NETWORK_ACCESS_DENIED, EACCES},
        {ERROR_PRIVILEGE_NOT_HELD, EPERM},
        {ERROR_WRITE_PROTECT, EROFS},
        {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST},
        {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
        {ERROR_DIRECTORY, ENOTDIR},
        {ERROR_CANT_RESOLVE_FILENAME, ELOOP},  // a link that leads back to itself
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_FILE_TOO_LARGE, EFBIG},
        {ERROR_NOT_SAME_DEVICE, EXDEV},
        {ERROR_INVALID_HANDLE, EBADF},
        {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
        {ERROR_OUTOFMEMORY, ENOMEM},
        {ERROR_BUSY, EBUSY},
        {ERROR_INVALID_PARAMETER, EINVAL},
        {ERROR_NEGATIVE_SEEK, EINVAL},
        {ERROR_BROKEN_PIPE, EPIPE},
        {ERROR_NO_DATA, EPIPE},
    }};
    DWORD error = GetLastError();
    errno = EIO;
    for (const Mapping& m : mappings) {
        if (m.error == error) errno = m.number;
    }
    for (const OwnError& own : own_texts) {
        if (own.error == error) errno = own_errors + static_cast<int>(error);
    }
}

void set_errno_from_failed_replace() {
    DWORD error = GetLastError();
    set_errno_from_last_error();
    // ReplaceFileW's own errors name the replacing already.
    if (error != ERROR_UNABLE_TO_REMOVE_REPLACED && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        errno += replace_errors;
    }
}

void clear_stream_error() {
    errno = 0;
    _doserrno = 0;
    SetLastError(NO_ERROR);
}

// The C runtime tells the system's error of a failed write in _doserrno. A
// short write comes without one, as ENOSPC where nothing was written, with
// errno untouched or (wine's runtime) EINVAL where some was.
int stream_error() {
    if (_doserrno != 0) {
        SetLastError(_doserrno);
        set_errno_from_last_error();
    } else if (errno == 0 || errno == EINVAL) {
        errno = ENOSPC;
    }
    return errno;
}

// The texts Linux gives for the errors of the table above; the C runtime's
// own differ for some ("Filename too long", "Resource device") and know none
// for the errors of POSIX alone (ELOOP).
const char* system_error_text(int number) {
    struct Text {
        int number;
        const char* text;
    };
    static constexpr std::array<Text, 22> texts{{
        {error_output_is_input, "Output is the input file"},
        {EPERM, "Operation not permitted"},
        {ENOENT, "No such file or directory"},
        {EIO, "Input/output error"},
        {EBADF, "Bad file descriptor"},
        {ENOMEM, "Cannot allocate memory"},
        {EACCES, "Permission denied"},
        {EBUSY, "Device or resource busy"},
        {EEXIST, "File exists"},
        {EXDEV, "Invalid cross-device link"},
        {ENOTDIR, "Not a directory"},
        {EISDIR, "Is a directory"},
        {EINVAL, "Invalid argument"},
        {EMFILE, "Too many open files"},
        {EFBIG, "File too large"},
        {ENOSPC, "No space left on device"},
        {EROFS, "Read-only file system"},
        {EPIPE, "Broken pipe"},
        {ENAMETOOLONG, "File name too long"},
        {ENOTEMPTY, "Directory not empty"},
        {ELOOP, "Too many levels of symbolic links"},
        {EINTR, "Interrupted system call"},
    }};
    for (const Text& t : texts) {
        if (t.number == number) return t.text;
    }
    for (const OwnError& own : own_texts) {
        if (own_errors + static_cast<int>(own.error) == number) return own.text;
    }
    if (number >= replace_errors) {
        static std::array<char, 128> line;
        std::snprintf(line.data(), line.size(), "Replacing the old file failed (%s); it is kept",
                      system_error_text(number - replace_errors));
        return line.data();
    }
    return std::strerror(number);
}

}  // namespace zelno
