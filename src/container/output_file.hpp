// Output files are written aside and published on success: a new file under
// a unique temporary name beside the final name, renamed into place only once
// it is complete and on disk. A failed run thus never leaves a partial output
// and never touches a file that existed before it. Names are followed through
// symbolic links; a device, a pipe or one of the process's own descriptors
// (/dev/stdout, /dev/fd/N) is written in place and never created, renamed or
// deleted.
#pragma once

#include <cstdint>
#include <optional>

namespace zelno {

// Opens the output into the outfile slot; "outfile open error" on failure.
// From here on the failure exits and the signal handler delete what is
// written aside. A null name means a file of the current directory whose
// name is known only at the end; "-" is standard output. `rewrites_header`:
// the output is written again at its start once the data are done; where it
// cannot seek (a pipe) it is finished aside and copied there at publishing,
// and a terminal is refused here, before the first byte.
void xopen_output(const char* final_name, bool rewrites_header);

// Starts writing what the output holds so far to disk in the background, a
// few megabytes at a time, so that the sync at publishing has little left.
void xstart_writeback();
// The same without ending the run: false, with errno, when flushing failed.
bool try_start_writeback();

// Deletes the working file under its temporary name, if it has one; the
// failure exits call it once the slots are closed. Safe in a signal handler.
void drop_working_file();

// Seeks to `offset` from where the output began; "outfile seek error".
void xseek_output(std::uint64_t offset);

struct PublishOptions {
    bool executable = false;             // self-decrypting executables must start
    std::optional<std::uint32_t> mtime;  // access and modification time to set
    const char* stored_name = nullptr;   // restored under this name, in the current directory
};

// Flushes and syncs the output, gives it its permissions (and times), closes
// the file slots and renames it to the name it was opened for (or to
// `stored_name`).
void xpublish_output(const PublishOptions& options);

}  // namespace zelno
