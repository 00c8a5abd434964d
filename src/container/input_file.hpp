// What the platform tells of an open input file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zelno {

struct InputStatus {
    std::uint64_t size = 0;
    std::uint32_t mtime = 0;  // seconds since 1970 UTC, low 32 bits
    std::uint32_t mode = 0;   // the file's mode bits, 16 of them
    bool directory = false;
};

// Opens `name` for binary reading, as fopen(name, "rb"); null, with the
// errno Linux would give (a folder: EISDIR where the system opens none as a
// file), where it cannot.
std::FILE* open_input(const char* name);

// The status of the file open in `stream`; false, with errno, when the
// system cannot tell.
bool input_status(std::FILE* stream, InputStatus& status);

}  // namespace zelno
