#include <gtest/gtest.h>

#include <cerrno>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/platform_windows.hpp"
#include "container/system_error.hpp"

namespace zelno {
namespace {

// Each error of the system the program can meet reads as Linux reads the
// same case; any other is an input/output error.
TEST(SystemErrors, ReadAsOnLinux) {
    struct Row {
        const char* text;
        std::initializer_list<DWORD> errors;
    };
    const Row rows[] = {
        {"No such file or directory",
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME,
          ERROR_BAD_PATHNAME, ERROR_INVALID_NAME}},
        {"Permission denied", {ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION, ERROR_NETWORK_ACCESS_DENIED}},
        // Those Linux has none of, as a user can act on them.
        {"File is open in another program", {ERROR_SHARING_VIOLATION}},
        {"Old file cannot be removed (open elsewhere?); it is kept", {ERROR_UNABLE_TO_REMOVE_REPLACED}},
        {"Old file gone, new one cannot take its name: it stays as .zelno-XXXXXX", {ERROR_UNABLE_TO_MOVE_REPLACEMENT}},
        {"New file cannot take its name; the old one is kept under another", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}},
        {"Operation not permitted", {ERROR_PRIVILEGE_NOT_HELD}},
        {"Read-only file system", {ERROR_WRITE_PROTECT}},
        {"File exists", {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
        {"Directory not empty", {ERROR_DIR_NOT_EMPTY}},
        {"Not a directory", {ERROR_DIRECTORY}},
        {"Too many levels of symbolic links", {ERROR_CANT_RESOLVE_FILENAME}},
        {"File name too long", {ERROR_FILENAME_EXCED_RANGE}},
        {"No space left on device", {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
        {"File too large", {ERROR_FILE_TOO_LARGE}},
        {"Invalid cross-device link", {ERROR_NOT_SAME_DEVICE}},
        {"Bad file descriptor", {ERROR_INVALID_HANDLE}},
        {"Too many open files", {ERROR_TOO_MANY_OPEN_FILES}},
        {"Cannot allocate memory", {ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY}},
        {"Device or resource busy", {ERROR_BUSY}},
        {"Invalid argument", {ERROR_INVALID_PARAMETER, ERROR_NEGATIVE_SEEK}},
        {"Broken pipe", {ERROR_BROKEN_PIPE, ERROR_NO_DATA}},
        {"Input/output error", {ERROR_GEN_FAILURE}},
    };
    for (const Row& row : rows) {
        for (DWORD error : row.errors) {
            SetLastError(error);
            set_errno_from_last_error();
            EXPECT_STREQ(system_error_text(errno), row.text) << error;
        }
    }
    // Those the C runtime sets itself, as Linux reads them.
    EXPECT_STREQ(system_error_text(EISDIR), "Is a directory");
    EXPECT_STREQ(system_error_text(EINTR), "Interrupted system call");
    // A failed replace names itself, with the system's reason or its own.
    for (auto [error, text] : {std::pair{ERROR_PATH_NOT_FOUND, " (No such file or directory); it is kept"},
                               std::pair{ERROR_SHARING_VIOLATION, " (File is open in another program); it is kept"},
                               std::pair{ERROR_UNABLE_TO_REMOVE_REPLACED, ""}}) {
        SetLastError(error);
        set_errno_from_failed_replace();
        EXPECT_EQ(system_error_text(errno), *text ? "Replacing the old file failed" + std::string(text)
                                                  : "Old file cannot be removed (open elsewhere?); it is kept");
    }
}

// A failed write: the system's error where the C runtime kept one, else a
// short write (errno untouched, or EINVAL from wine's runtime), a full disk;
// never what an earlier call left.
TEST(SystemErrors, FailedWriteReadsAsItsCause) {
    for (auto [system, runtime, expected] : {std::tuple{0ul, 0, ENOSPC},
                                             {0ul, EINVAL, ENOSPC},
                                             {0ul, EBADF, EBADF},
                                             {ERROR_GEN_FAILURE + 0ul, EINVAL, EIO}}) {
        errno = EEXIST;
        _doserrno = ERROR_ACCESS_DENIED;
        clear_stream_error();
        errno = runtime != 0 ? runtime : errno;
        _doserrno = system != 0 ? system : _doserrno;
        EXPECT_EQ(stream_error(), expected) << system << " " << runtime;
    }
}

}  // namespace
}  // namespace zelno
