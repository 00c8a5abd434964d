// Output files are written aside and published on success: a new file under
// a unique temporary name beside the final name, renamed into place only once
// it is complete and on disk. A failed run thus never leaves a partial output
// and never touches a file that existed before it.
#pragma once

#include <cstdint>
#include <optional>

namespace zelno {

// Creates the temporary file beside `final_name` (exclusively, owner-only)
// and opens it into the outfile slot; "outfile open error" on failure. From
// here on the failure exits and the signal handler delete it. A null name
// means a file of the current directory whose name is known only later.
void open_output(const char* final_name);

// Starts writing what the output holds so far to disk in the background, a
// few megabytes at a time, so that the sync at publishing has little left.
void start_writeback();
// The same without ending the run: false, with errno, when flushing failed.
bool try_start_writeback();

struct PublishOptions {
    bool executable = false;                  // self-decrypting executables must start
    std::optional<std::uint32_t> mtime;       // access and modification time to set
};

// Flushes and syncs the output, gives it its permissions (and times), closes
// the file slots and renames it to `final_name`.
void publish_output(const char* final_name, const PublishOptions& options);

}  // namespace zelno
