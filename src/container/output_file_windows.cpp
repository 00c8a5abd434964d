#include "container/output_file.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/program.hpp"
#include "container/slots.hpp"
#include "container/names.hpp"
#include "container/platform_windows.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

using WideName = std::array<wchar_t, 1024>;

constexpr const char temp_pattern[] = ".zelno-XXXXXX";
// The longest name of one file or folder the file systems take, in UTF-16
// units.
constexpr std::size_t name_max = 255;

[[noreturn]] void fail_from_last_error(const char* message) {
    set_errno_from_last_error();
    fail_system(message);
}

void wide_or_fail(const char* name, WideName& wide, const char* message) {
    if (!to_wide(name, wide)) fail_system(message);
}

// "<directory of final_name>.zelno-XXXXXX" into run.output.temp_name; the
// directory part ends at the last "\\", "/" or ":".
bool make_temp_pattern(const char* final_name) {
    std::size_t dir_len = static_cast<std::size_t>(base_name_of(final_name) - final_name);
    if (dir_len + sizeof temp_pattern > run.output.temp_name.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(run.output.temp_name.data(), final_name, dir_len);
    std::memcpy(run.output.temp_name.data() + dir_len, temp_pattern, sizeof temp_pattern);
    return true;
}

// Fills the "XXXXXX" that end run.output.temp_name. The name need not be
// secret: the file is created only where no file of its name exists.
void vary_temp_name(unsigned attempt) {
    constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // the system ignores case
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    auto mix = static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^
               (static_cast<unsigned long long>(GetCurrentProcessId()) << 20) ^ attempt * 40503ull;
    char* suffix = run.output.temp_name.data() + std::strlen(run.output.temp_name.data()) - 6;
    for (int i = 0; i < 6; ++i, mix /= sizeof letters - 1) suffix[i] = letters[mix % (sizeof letters - 1)];
}

void attach_stream(HANDLE handle) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        fail_system("outfile open error");
    }
    run.outfile = _fdopen(fd, "wb");
    if (run.outfile == nullptr) {
        int saved_errno = errno;
        _close(fd);
        errno = saved_errno;
        fail_system("outfile open error");
    }
    std::setvbuf(run.outfile, run.outfile_buffer.data(), _IOFBF, run.outfile_buffer.size());
}

// A device or a pipe: written where it stands, from where it stands. A
// console or a pipe cannot seek, which a container needs.
void attach_in_place(HANDLE handle, bool rewrites_header) {
    if (rewrites_header) {
        DWORD console_mode;
        LARGE_INTEGER at{};
        if (GetFileType(handle) == FILE_TYPE_PIPE || GetConsoleMode(handle, &console_mode) ||
            !SetFilePointerEx(handle, LARGE_INTEGER{}, &at, FILE_CURRENT)) {
            CloseHandle(handle);
            errno = ESPIPE;
            fail_system("outfile seek error");
        }
        run.output.start = static_cast<std::uint64_t>(at.QuadPart);
    }
    run.output.direct = true;
    attach_stream(handle);
}

// Whether the file open in `handle` goes away when it is closed, as when the
// process ends in any way.
bool delete_on_close(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The working file, in the directory of the final name, created only where
// no file of its name exists. It goes away when it is closed until it is
// published, so that even a run killed outright leaves nothing, where the
// file system allows; elsewhere the exits and the handler of console events
// delete it. Others may read it but not write it.
void create_working_file(const char* final_name) {
    if (!make_temp_pattern(final_name)) fail_system("outfile open error");
    WideName wide;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        vary_temp_name(attempt);
        wide_or_fail(run.output.temp_name.data(), wide, "outfile open error");
        // The handler must never see a created file without its flag, nor
        // the flag without the file.
        hold_terminating_signals();
        HANDLE handle = CreateFileW(wide.data(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            run.output.created = 1;
            run.output.unnamed = delete_on_close(handle, true);
        }
        release_terminating_signals();
        if (handle != INVALID_HANDLE_VALUE) {
            attach_stream(handle);
            return;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            run.output.temp_name[0] = '\0';
            SetLastError(error);
            fail_from_last_error("outfile open error");
        }
    }
    run.output.temp_name[0] = '\0';
    errno = EEXIST;
    fail_system("outfile open error");
}

// The name of the file `existing` is open as, its links followed, into
// run.output.final_path; the name as given stays where the system cannot
// tell or the result does not fit.
void follow_links(HANDLE existing) {
    WideName followed;
    DWORD length = GetFinalPathNameByHandleW(existing, followed.data(), static_cast<DWORD>(followed.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    std::array<char, PATH_MAX> name;
    if (length == 0 || length >= followed.size() || !from_wide(followed.data(), name)) return;
    std::memcpy(run.output.final_path.data(), name.data(), name.size());
}

// What exists at a name the output will take: a folder is refused, and a
// read-only file is not replaced, whoever runs the program.
void check_existing(const wchar_t* wide, const char* message) {
    DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        fail_system(message);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        errno = EACCES;
        fail_system(message);
    }
}

// Gives the finished working file its final name. A file it replaces keeps
// its security, attributes and identity (ReplaceFileW), as writing into it
// would have kept them; where there is nothing to replace any more, or the
// file system cannot replace (or has already removed the old file), the
// working file is moved into place.
bool give_final_name(const wchar_t* temp, const wchar_t* final, bool replaces) {
    if (replaces && ReplaceFileW(final, temp, nullptr, 0, nullptr, nullptr)) return true;
    if (replaces) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
            return false;
        }
    }
    return MoveFileExW(temp, final, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

void open_output(const char* final_name, bool rewrites_header) {
    if (final_name == nullptr) {
        run.output.final_path[0] = '\0';
        create_working_file("");
        return;
    }
    std::size_t length = std::strlen(final_name);
    if (length == 0 || length >= run.output.final_path.size()) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        fail_system("outfile open error");
    }
    std::memcpy(run.output.final_path.data(), final_name, length + 1);
    WideName wide, base;
    wide_or_fail(final_name, wide, "outfile open error");
    if (!to_wide(base_name_of(final_name), base) || std::wcslen(base.data()) > name_max) {
        errno = ENAMETOOLONG;
        fail_system("outfile open error");
    }
    check_existing(wide.data(), "outfile open error");
    // What is there: nothing, a file that may be replaced only where it may
    // be written, or a device or pipe to write in place.
    HANDLE existing = CreateFileW(wide.data(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) fail_from_last_error("outfile open error");
    } else if (GetFileType(existing) != FILE_TYPE_DISK) {
        attach_in_place(existing, rewrites_header);
        return;
    } else {
        // A link is followed: the file it leads to is replaced, the link stays.
        follow_links(existing);
        run.output.replaces = true;
        CloseHandle(existing);
    }
    create_working_file(run.output.final_path.data());
}

// The data go to disk at publishing (the system has no way to start that
// early without waiting for it).
bool try_start_writeback() { return true; }

void start_writeback() {}

void drop_working_file() {
    if (run.output.created && run.output.temp_name[0] != '\0') {
        WideName wide;
        if (to_wide(run.output.temp_name.data(), wide)) DeleteFileW(wide.data());
    }
    run.output.created = 0;
}

void seek_output(std::uint64_t offset) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (_fseeki64(run.outfile, static_cast<long long>(run.output.start + offset), SEEK_SET) != 0) {
        fail_system("outfile seek error");
    }
}

void publish_output(const PublishOptions& options) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (run.output.direct) {
        close_slots();
        return;
    }
    const char* final_name = options.stored_name != nullptr ? options.stored_name : run.output.final_path.data();
    WideName final_wide, temp_wide;
    wide_or_fail(final_name, final_wide, "outfile name error");
    wide_or_fail(run.output.temp_name.data(), temp_wide, "outfile name error");
    // A file restored under the name its sender chose is a new file; what is
    // there passes the checks of a typed name first.
    if (options.stored_name != nullptr) check_existing(final_wide.data(), "outfile name error");
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(run.outfile)));
    if (options.mtime) {
        // Seconds since 1970 as the system's 100-nanosecond count since 1601.
        auto ticks = (static_cast<unsigned long long>(*options.mtime) + 11'644'473'600ull) * 10'000'000ull;
        FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        if (!SetFileTime(handle, nullptr, &time, &time)) fail_from_last_error("outfile time error");
    }
    if (!FlushFileBuffers(handle)) fail_from_last_error("outfile write error");

    hold_terminating_signals();  // to the end of the run; a failure lets them through
    if (run.output.unnamed && !delete_on_close(handle, false)) fail_from_last_error("outfile name error");
    close_slots();
    bool replaces = run.output.replaces && options.stored_name == nullptr;
    if (!give_final_name(temp_wide.data(), final_wide.data(), replaces)) fail_from_last_error("outfile name error");
    run.output.created = 0;
    run.output.temp_name[0] = '\0';
}

}  // namespace zelno
