#include <gtest/gtest.h>

#include <cerrno>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/platform_windows.hpp"
#include "container/system_error.hpp"

namespace zelno {
namespace {

// Each error of the system the program can meet reads as Linux reads the
// same case.
TEST(SystemErrors, ReadAsOnLinux) {
    struct Row {
        DWORD error;
        const char* text;
    };
    constexpr Row rows[] = {
        {ERROR_FILE_NOT_FOUND, "No such file or directory"},
        {ERROR_PATH_NOT_FOUND, "No such file or directory"},
        {ERROR_INVALID_DRIVE, "No such file or directory"},
        {ERROR_BAD_NETPATH, "No such file or directory"},
        {ERROR_BAD_NET_NAME, "No such file or directory"},
        {ERROR_BAD_PATHNAME, "No such file or directory"},
        {ERROR_INVALID_NAME, "No such file or directory"},
        {ERROR_ACCESS_DENIED, "Permission denied"},
        {ERROR_SHARING_VIOLATION, "Permission denied"},
        {ERROR_LOCK_VIOLATION, "Permission denied"},
        {ERROR_NETWORK_ACCESS_DENIED, "Permission denied"},
        {ERROR_PRIVILEGE_NOT_HELD, "Operation not permitted"},
        {ERROR_WRITE_PROTECT, "Read-only file system"},
        {ERROR_FILE_EXISTS, "File exists"},
        {ERROR_ALREADY_EXISTS, "File exists"},
        {ERROR_DIR_NOT_EMPTY, "Directory not empty"},
        {ERROR_DIRECTORY, "Not a directory"},
        {ERROR_CANT_RESOLVE_FILENAME, "Too many levels of symbolic links"},
        {ERROR_FILENAME_EXCED_RANGE, "File name too long"},
        {ERROR_DISK_FULL, "No space left on device"},
        {ERROR_HANDLE_DISK_FULL, "No space left on device"},
        {ERROR_FILE_TOO_LARGE, "File too large"},
        {ERROR_NOT_SAME_DEVICE, "Invalid cross-device link"},
        {ERROR_INVALID_HANDLE, "Bad file descriptor"},
        {ERROR_TOO_MANY_OPEN_FILES, "Too many open files"},
        {ERROR_NOT_ENOUGH_MEMORY, "Cannot allocate memory"},
        {ERROR_OUTOFMEMORY, "Cannot allocate memory"},
        {ERROR_BUSY, "Device or resource busy"},
        {ERROR_INVALID_PARAMETER, "Invalid argument"},
        {ERROR_NEGATIVE_SEEK, "Invalid argument"},
        {ERROR_BROKEN_PIPE, "Broken pipe"},
        {ERROR_NO_DATA, "Broken pipe"},
        {ERROR_GEN_FAILURE, "Input/output error"},  // any other
    };
    for (const Row& row : rows) {
        SetLastError(row.error);
        set_errno_from_last_error();
        EXPECT_STREQ(system_error_text(errno), row.text) << row.error;
    }
    // Those the C runtime sets itself, as Linux reads them.
    EXPECT_STREQ(system_error_text(EISDIR), "Is a directory");
    EXPECT_STREQ(system_error_text(EINTR), "Interrupted system call");
}

}  // namespace
}  // namespace zelno
