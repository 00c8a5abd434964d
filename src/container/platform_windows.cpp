#include "container/platform_windows.hpp"

#include <array>
#include <cerrno>
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

void set_errno_from_last_error() {
    struct Mapping {
        DWORD error;
        int number;
    };
    static constexpr std::array<Mapping, 22> mappings{{
        {ERROR_FILE_NOT_FOUND, ENOENT},
        {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_INVALID_DRIVE, ENOENT},
        {ERROR_BAD_NETPATH, ENOENT},
        {ERROR_BAD_NET_NAME, ENOENT},
        {ERROR_INVALID_NAME, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_SHARING_VIOLATION, EACCES},
        {ERROR_LOCK_VIOLATION, EACCES},
        {ERROR_WRITE_PROTECT, EACCES},
        {ERROR_NETWORK_ACCESS_DENIED, EACCES},
        {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST},
        {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {ERROR_NOT_SAME_DEVICE, EXDEV},
        {ERROR_INVALID_HANDLE, EBADF},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
        {ERROR_BROKEN_PIPE, EPIPE},
        {ERROR_NO_DATA, EPIPE},
        {ERROR_DIRECTORY, ENOTDIR},
    }};
    DWORD error = GetLastError();
    errno = EIO;
    for (const Mapping& m : mappings) {
        if (m.error == error) errno = m.number;
    }
}

}  // namespace zelno
