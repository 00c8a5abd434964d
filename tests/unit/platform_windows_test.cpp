#include <gtest/gtest.h>

#include <cerrno>
#include <initializer_list>
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
        {"Permission denied",
         {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_NETWORK_ACCESS_DENIED}},
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
}

}  // namespace
}  // namespace zelno
