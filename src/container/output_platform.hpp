// The system's part of writing an output: small primitives, one set per
// system (output_platform_linux.cpp, output_platform_windows.cpp), on which
// the output sequence (output_file.cpp) runs the same everywhere. A
// primitive that fails returns false (or no_file) with errno set; the
// sequence chooses the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace zelno {

// An open file of the system: a descriptor, or a handle.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// What an output name leads to, once its links are followed.
struct FoundOutput {
    enum class Kind {
        New,       // nothing yet: the output is created
        Existing,  // a regular file, which the output replaces
        InPlace,   // a device, a pipe or a FIFO, written where it stands
        Own,       // one of the process's own descriptors (/dev/stdout)
    } kind = Kind::New;
    int descriptor = -1;          // Own: its number
    FileHandle opened = no_file;  // InPlace, where the system opens a name to look at it
    // Existing and InPlace: what was checked at the name.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

// Follows the output name in `path` through its links, in place, and says
// what is there. A directory, a name too long, a file that may not be
// written or replaced, and what another user left in a shared directory are
// refused here, before any work.
bool find_output(std::span<char> path, FoundOutput& found);
// Standard output, as find_output tells of a name.
bool find_standard_output(FoundOutput& found);
// Opens for writing what find_output found in place at `path` (never
// another file put there since); a duplicate of an Own descriptor.
FileHandle open_in_place(const char* path, const FoundOutput& found);
// Where writing to `file` stands, for an output that is sought back in;
// false (ESPIPE) where it cannot seek or appends.
bool position_of(FileHandle file, std::uint64_t& position);
// Whether `file` is a terminal (a console).
bool is_terminal(FileHandle file);
// Whether standard output (1) or standard error (2) is the same file or
// pipe as `file` (a terminal does not count: the words on it are for the user).
bool is_standard_stream(FileHandle file, int stream);
// Whether writing to `file` changes what reading `other` gives: the same
// regular file, or the same disk.
bool same_file(FileHandle file, FileHandle other);
// A buffered stream over `file`; on failure the handle is closed.
std::FILE* stream_of(FileHandle file);
FileHandle handle_of(std::FILE* stream);
// Keeps errno.
void close_file(FileHandle file);

// The working file: without a name where the file system has such files
// (it disappears with the process), in the directory of `pattern`; no_file
// with EOPNOTSUPP where it has none.
FileHandle create_unnamed_file(const char* pattern);
// Created exclusively under `name` (EEXIST when a file has it); `vanishes`
// when it goes away by itself once closed, until keep_working_file.
FileHandle create_named_file(const char* name, bool& vanishes);
// A working file that no name leads to, open for reading and writing, in
// the directory for temporary files; it goes away with the process.
FileHandle create_spool_file();
// Reads up to `bytes.size()` bytes at `offset`; `got` 0 at the end.
bool read_file(FileHandle file, std::uint64_t offset, std::span<std::uint8_t> bytes, std::size_t& got);
// Keeps the finished working file when it is closed: an unnamed one takes
// `new_name` at once where that is given (an output that is new: EEXIST when
// a file came there meanwhile) and sets `named`, else a fresh temporary name
// (run.output.temp_name); one that would vanish stays.
bool keep_working_file(FileHandle file, const char* new_name, bool& named);

// A stored name, known only at the end: whatever is there passes the checks
// a typed name passes when it is found; `taken` when something is there.
bool stored_name_usable(const char* name, bool& taken);
// The permissions of a new file (those of a plain create, with execute
// permission for a self-decrypting executable), or those of the file
// replaced, and its owner and group where the process may give them.
bool set_permissions(FileHandle file, bool executable, const FoundOutput* replaced);
// Access and modification time, in seconds since 1970.
bool set_times(FileHandle file, std::uint32_t time);
bool sync_file(FileHandle file);
// Renames the working file to `final_name`, replacing what is there.
bool give_final_name(const char* temp_name, const char* final_name, bool replaces);
void sync_directory_of(const char* name);
// Safe in a signal handler.
void remove_file(const char* name);

// Starts writing the bytes from `from` to `to` to disk in the background.
void start_writeback_range(FileHandle file, std::uint64_t from, std::uint64_t to);
bool stream_position(std::FILE* stream, std::uint64_t& position);
bool stream_seek(std::FILE* stream, std::uint64_t position);

// Random bytes for temporary names; other runs only have to differ.
void random_bytes(std::span<std::uint8_t> bytes, unsigned attempt);

// Shared with the primitives (output_file.cpp): a fresh end for the
// ".zelno-XXXXXX" of run.output.temp_name.
void vary_temp_name(unsigned attempt);

}  // namespace zelno
