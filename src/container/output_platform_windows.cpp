#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
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
    std::size_t volume_length = std::wcslen(volume.data());
    if (volume_length > 0 && volume[volume_length - 1] == L'\\') volume[--volume_length] = L'\0';
    std::size_t name_length = name->FileNameLength / sizeof(wchar_t);
    if (4 + volume_length + name_length >= followed.size()) return fail_with(ENAMETOOLONG);
    std::wmemcpy(followed.data(), L"\\\\?\\", 4);
    std::wmemcpy(followed.data() + 4, volume.data(), volume_length);
    std::wmemcpy(followed.data() + 4 + volume_length, name->FileName, name_length);
    followed[4 + volume_length + name_length] = L'\0';
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
    HANDLE existing = CreateFileW(wide.data(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return fail_from_last_error();
        found.kind = FoundOutput::Kind::New;
        return !names_an_entry(wide.data()) || follow_dangling_link(wide.data(), path, found);
    }
    if (GetFileType(existing) != FILE_TYPE_DISK) {
        found.kind = FoundOutput::Kind::InPlace;
        found.opened = reinterpret_cast<FileHandle>(existing);
        return true;
    }
    // A link is followed: the file it leads to is replaced, the link stays.
    bool followed = follow_links(existing, wide.data(), path);
    close_file(reinterpret_cast<FileHandle>(existing));
    found.kind = FoundOutput::Kind::Existing;
    return followed;
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

// Files have no permission bits here: an output gets those its folder gives.
bool set_permissions(FileHandle, bool, const FoundOutput*) { return true; }

bool set_times(FileHandle file, std::uint32_t time) {
    // Seconds since 1970 as the system's 100-nanosecond count since 1601.
    auto ticks = (static_cast<unsigned long long>(time) + 11'644'473'600ull) * 10'000'000ull;
    FILETIME stamp{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return SetFileTime(handle(file), nullptr, &stamp, &stamp) || fail_from_last_error();
}

bool sync_file(FileHandle file) { return FlushFileBuffers(handle(file)) || fail_from_last_error(); }

// A file replaced keeps its security, attributes and identity (ReplaceFileW),
// as writing into it would have kept them; where there is nothing to replace
// any more, or the file system cannot replace (or has already removed the old
// file), the working file is moved into place.
bool give_final_name(const char* temp_name, const char* final_name, bool replaces) {
    WidePath temp, final;
    if (!to_wide(temp_name, temp) || !to_wide(final_name, final)) return false;
    if (replaces && ReplaceFileW(final.data(), temp.data(), nullptr, 0, nullptr, nullptr)) return true;
    if (replaces) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
            return fail_from_last_error();
        }
    }
    return MoveFileExW(temp.data(), final.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
           fail_from_last_error();
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
