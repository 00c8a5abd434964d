#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "container/names.hpp"
#include "container/output_platform.hpp"
#include "container/platform_windows.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// The longest name of one file or folder the file systems take, in UTF-16
// units.
constexpr std::size_t name_max = 255;

bool fail_with(int error) {
    errno = error;
    return false;
}

bool fail_from_last_error() {
    set_errno_from_last_error();
    return false;
}

HANDLE handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Whether the file open in `file` goes away when it is closed, as when the
// process ends in any way.
bool delete_on_close(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool same_disk_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION one, other;
    return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

// The path of the file open in `file` on its volume, under the volume of
// `wide`, into `followed` as a "\\?\" path: for where the system does not
// name the file itself (wine names none longer than 260 units). Only a path
// that leads to that very file counts.
bool path_on_volume(HANDLE file, const wchar_t* wide, WidePath& followed) {
    std::array<wchar_t, MAX_PATH + 1> volume;
    alignas(FILE_NAME_INFO) std::array<std::byte, sizeof(FILE_NAME_INFO) + path_units * sizeof(wchar_t)> buffer;
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetVolumePathNameW(wide, volume.data(), static_cast<DWORD>(volume.size())) ||
        !GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        return fail_from_last_error();
    }
    // The volume as the system gives it ("Z:\" or "\\server\share\", after
    // "\\?\" where the name came so) under one prefix of the long form.
    std::wstring_view root(volume.data());
    if (root.starts_with(L"\\\\?\\")) root.remove_prefix(4);
    const std::wstring_view prefix = root.starts_with(L"\\\\") ? L"\\\\?\\UNC" : L"\\\\?\\";
    if (root.starts_with(L"\\\\")) root.remove_prefix(1);
    if (root.ends_with(L'\\')) root.remove_suffix(1);
    std::size_t name_length = name->FileNameLength / sizeof(wchar_t);
    std::size_t length = prefix.size() + root.size() + name_length;
    if (length >= followed.size()) return fail_with(ENAMETOOLONG);
    std::wmemcpy(followed.data(), prefix.data(), prefix.size());
    std::wmemcpy(followed.data() + prefix.size(), root.data(), root.size());
    std::wmemcpy(followed.data() + prefix.size() + root.size(), name->FileName, name_length);
    followed[length] = L'\0';
    HANDLE there =
        CreateFileW(followed.data(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (there == INVALID_HANDLE_VALUE) return fail_from_last_error();
    bool same = same_disk_file(file, there);
    CloseHandle(there);
    return same || fail_with(ENOENT);
}

// The name of the file `existing` is open as (`wide`), its links followed,
// into `path`: the output replaces that file and the link stays. A name the
// system cannot tell fails the run; the link itself is never replaced.
bool follow_links(HANDLE existing, const wchar_t* wide, std::span<char> path) {
    WidePath followed;
    DWORD length = GetFinalPathNameByHandleW(existing, followed.data(), static_cast<DWORD>(followed.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
        if (!path_on_volume(existing, wide, followed)) return false;
    } else if (length >= followed.size()) {
        return fail_with(ENAMETOOLONG);
    }
    return from_wide(followed.data(), path) || fail_with(ENAMETOOLONG);
}

// Whether the folder holds an entry of the name that opening it did not
// find: a link that leads nowhere (wine lists its name and can tell nothing
// else of it). A name with a wildcard of the search names none.
bool names_an_entry(const wchar_t* wide) {
    if (std::wcspbrk(wide, L"*?<>\"") != nullptr) return false;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(wide, &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return true;
}

// A link that leads nowhere: the output creates the file it names, as on
// Linux. Where that is comes from creating the file through the link and
// taking it away at once; one that came there meanwhile is replaced.
bool follow_dangling_link(const wchar_t* wide, std::span<char> path, FoundOutput& found) {
    HANDLE made =
        CreateFileW(wide, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE) return fail_from_last_error();
    LARGE_INTEGER size{};
    bool ours = GetFileSizeEx(made, &size) && size.QuadPart == 0;
    bool followed = follow_links(made, wide, path);
    if (ours) delete_on_close(made, true);
    close_file(reinterpret_cast<FileHandle>(made));
    found.kind = ours ? FoundOutput::Kind::New : FoundOutput::Kind::Existing;
    return followed;
}

// Whether the file at `wide` may be replaced now: a program that holds it
// open without letting it be deleted keeps it (ERROR_SHARING_VIOLATION).
bool may_go(const wchar_t* wide) {
    HANDLE file = CreateFileW(wide, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || fail_from_last_error();
    CloseHandle(file);
    return true;
}

// What exists at a name the output will take: a folder is refused, and a
// read-only file is not replaced, whoever runs the program.
bool usable(const wchar_t* wide) {
    DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail_with(EISDIR);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return fail_with(EACCES);
    return true;
}

}  // namespace

bool find_output(std::span<char> path, FoundOutput& found) {
    WidePath wide;
    std::array<wchar_t, name_max + 1> base;
    if (!to_wide(path.data(), wide)) return false;
    if (!to_wide(base_name_of(path.data()), base) || std::wcslen(base.data()) > name_max) {
        return fail_with(ENAMETOOLONG);
    }
    if (!usable(wide.data())) return false;
    // What is there: nothing, a file that may be replaced only where it may
    // be written, or a device or pipe to write in place.
    HANDLE existing = CreateFileW(wide.data(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // The console of a process that has none, as a terminal where there
        // is none.
        if (error == ERROR_INVALID_HANDLE) return fail_with(ENXIO);
        if (error != ERROR_FILE_NOT_FOUND) return fail_from_last_error();
        found.kind = FoundOutput::Kind::New;
        return !names_an_entry(wide.data()) || follow_dangling_link(wide.data(), path, found);
    }
    if (GetFileType(existing) != FILE_TYPE_DISK) {
        found.kind = FoundOutput::Kind::InPlace;
        found.opened = reinterpret_cast<FileHandle>(existing);
        return true;
    }
    // A link is followed: the file it leads to is replaced, the link stays.
    // Its attributes (found.mode here) pass to the output.
    BY_HANDLE_FILE_INFORMATION info;
    bool followed = may_go(wide.data()) && follow_links(existing, wide.data(), path) &&
                    (GetFileInformationByHandle(existing, &info) || fail_from_last_error());
    if (followed) found.mode = info.dwFileAttributes;
    close_file(reinterpret_cast<FileHandle>(existing));
    found.kind = FoundOutput::Kind::Existing;
    return followed;
}

bool find_standard_output(FoundOutput& found) {
    HANDLE own = GetCurrentProcess();
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE copy = nullptr;
    if (output == nullptr || output == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(own, output, own, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return fail_with(EBADF);
    }
    found.kind = FoundOutput::Kind::InPlace;
    found.opened = reinterpret_cast<FileHandle>(copy);
    return true;
}

FileHandle open_in_place(const char*, const FoundOutput& found) { return found.opened; }

// A console or a pipe cannot seek, which a container needs.
bool position_of(FileHandle file, std::uint64_t& position) {
    DWORD console_mode;
    LARGE_INTEGER at{};
    if (GetFileType(handle(file)) == FILE_TYPE_PIPE || GetConsoleMode(handle(file), &console_mode) ||
        !SetFilePointerEx(handle(file), LARGE_INTEGER{}, &at, FILE_CURRENT)) {
        return fail_with(ESPIPE);
    }
    position = static_cast<std::uint64_t>(at.QuadPart);
    return true;
}

// A console, also through a handle that may only write to it (GetConsoleMode
// needs read access): a character device that cannot seek.
bool is_terminal(FileHandle file) {
    DWORD console_mode;
    if (GetConsoleMode(handle(file), &console_mode)) return true;
    LARGE_INTEGER at{};
    return GetFileType(handle(file)) == FILE_TYPE_CHAR &&
           !SetFilePointerEx(handle(file), LARGE_INTEGER{}, &at, FILE_CURRENT);
}

// No name leads to the standard streams' own files here.
bool is_standard_stream(FileHandle, int) { return false; }

bool same_file(FileHandle file, FileHandle other) {
    return GetFileType(handle(file)) == FILE_TYPE_DISK && GetFileType(handle(other)) == FILE_TYPE_DISK &&
           same_disk_file(handle(file), handle(other));
}

std::FILE* stream_of(FileHandle file) { return stream_over(handle(file), true); }

FileHandle handle_of(std::FILE* stream) { return _get_osfhandle(_fileno(stream)); }

void close_file(FileHandle file) {
    int saved_errno = errno;
    CloseHandle(handle(file));
    errno = saved_errno;
}

FileHandle create_unnamed_file(const char*) {
    errno = EOPNOTSUPP;
    return no_file;
}

// In the folder for temporary files, gone when closed.
FileHandle create_spool_file() {
    WidePath name;
    const DWORD length = GetTempPathW(static_cast<DWORD>(name.size()), name.data());
    constexpr std::size_t suffix = 16;  // "zelno-XXXXXX.tmp"
    if (length == 0 || length + suffix >= name.size()) {
        if (length != 0)
            errno = ENAMETOOLONG;
        else
            set_errno_from_last_error();
        return no_file;
    }
    constexpr wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::array<std::uint8_t, 6> bytes{};
        random_bytes(bytes, attempt);
        wchar_t* end = name.data() + length;
        std::wmemcpy(end, L"zelno-", 6);
        for (std::size_t i = 0; i < bytes.size(); ++i) end[6 + i] = letters[bytes[i] % (std::size(letters) - 1)];
        std::wmemcpy(end + 12, L".tmp", 5);
        HANDLE file = CreateFileW(name.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) return reinterpret_cast<FileHandle>(file);
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    set_errno_from_last_error();
    return no_file;
}

bool read_file(FileHandle file, std::uint64_t offset, std::span<std::uint8_t> bytes, std::size_t& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    got = 0;
    if (!ReadFile(handle(file), bytes.data(), static_cast<DWORD>(bytes.size()), &count, &at)) {
        return GetLastError() == ERROR_HANDLE_EOF || fail_from_last_error();
    }
    got = count;
    return true;
}

// It goes away when it is closed until it is published, so that even a run
// killed outright leaves nothing, where the file system allows; elsewhere
// the exits and the handler of console events delete it. Others may read it
// but not write it.
FileHandle create_named_file(const char* name, bool& vanishes) {
    WidePath wide;
    if (!to_wide(name, wide)) return no_file;
    HANDLE file = CreateFileW(wide.data(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return no_file;
    }
    vanishes = delete_on_close(file, true);
    return reinterpret_cast<FileHandle>(file);
}

bool keep_working_file(FileHandle file, const char*, bool& named) {
    named = false;
    return delete_on_close(handle(file), false) || fail_from_last_error();
}

bool stored_name_usable(const char* name, bool& taken) {
    WidePath wide;
    if (!to_wide(name, wide)) return false;
    taken = GetFileAttributesW(wide.data()) != INVALID_FILE_ATTRIBUTES;
    return usable(wide.data());
}

// Files have no permission bits here: an output gets the security its
// folder gives, and a file replaced passes on the attributes that describe
// it (hidden, system, archive, not indexed), which a move would not keep.
bool set_permissions(FileHandle file, bool, const FoundOutput* replaced) {
    constexpr DWORD kept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (replaced == nullptr || (replaced->mode & kept) == 0) return true;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = replaced->mode & kept;
    return SetFileInformationByHandle(handle(file), FileBasicInfo, &basic, sizeof basic) || fail_from_last_error();
}

bool set_times(FileHandle file, std::uint32_t time) {
    // Seconds since 1970 as the system's 100-nanosecond count since 1601.
    auto ticks = (static_cast<unsigned long long>(time) + 11'644'473'600ull) * 10'000'000ull;
    FILETIME stamp{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return SetFileTime(handle(file), nullptr, &stamp, &stamp) || fail_from_last_error();
}

bool sync_file(FileHandle file) { return FlushFileBuffers(handle(file)) || fail_from_last_error(); }

// A file replaced keeps its security and identity (ReplaceFileW), as
// writing into it would have kept them; where there is nothing to replace
// any more, or the file system cannot replace, the working file is moved
// into place. Where the old file is gone and the new one cannot follow, the
// new one is the only copy: it stays under its temporary name.
bool give_final_name(const char* temp_name, const char* final_name, bool replaces) {
    WidePath temp, final;
    if (!to_wide(temp_name, temp) || !to_wide(final_name, final)) return false;
    // Checked first: wine's ReplaceFileW leaves a file of its own behind
    // where the old one cannot go.
    if (replaces && !may_go(final.data())) return false;
    if (replaces && ReplaceFileW(final.data(), temp.data(), nullptr, 0, nullptr, nullptr)) return true;
    DWORD error = replaces ? GetLastError() : ERROR_FILE_NOT_FOUND;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_INVALID_FUNCTION &&
        error != ERROR_NOT_SUPPORTED) {
        set_errno_from_failed_replace();
        return false;
    }
    if (MoveFileExW(temp.data(), final.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return fail_from_last_error();
    run.output.created = 0;
    SetLastError(error);
    return fail_from_last_error();
}

// The rename is written through.
void sync_directory_of(const char*) {}

void remove_file(const char* name) {
    WidePath wide;
    if (to_wide(name, wide)) DeleteFileW(wide.data());
}

// The data go to disk at publishing (the system has no way to start that
// early without waiting for it).
void start_writeback_range(FileHandle, std::uint64_t, std::uint64_t) {}

bool stream_position(std::FILE* stream, std::uint64_t& position) {
    long long at = _ftelli64(stream);
    if (at < 0) return false;
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool stream_seek(std::FILE* stream, std::uint64_t position) {
    return _fseeki64(stream, static_cast<long long>(position), SEEK_SET) == 0;
}

// The name need not be secret: the file is created only where no file of
// its name exists.
void random_bytes(std::span<std::uint8_t> bytes, unsigned attempt) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    auto mix = static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^
               (static_cast<unsigned long long>(GetCurrentProcessId()) << 20) ^ attempt * 40503ull;
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(mix % 251);
        mix /= 251;
    }
}

}  // namespace zelno
