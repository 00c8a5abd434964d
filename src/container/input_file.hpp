// What the platform tells of an open input file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zelno {

struct InputStatus {
    std::uint64_t size = 0;   // what is left to read, where `sized`
    std::uint32_t mtime = 0;  // seconds since 1970 UTC, low 32 bits
    std::uint32_t mode = 0;   // the file's mode bits, 16 of them
    bool directory = false;
    // A regular file, whose size is known. A pipe, a FIFO, a socket or a
    // device is read to its end instead, and stands for a regular file made
    // now: the time of the run, a plain create's mode.
    bool sized = false;
};

// "-" as an input or output name: the standard stream. A file of that name
// is "./-".
bool names_standard_stream(const char* name);
// The name stored for what came from standard input.
inline constexpr char standard_input_stored_name[] = "stdin";

// Opens `name` for binary reading, as fopen(name, "rb"); null, with the
// errno Linux would give (a folder: EISDIR where the system opens none as a
// file), where it cannot.
std::FILE* open_input(const char* name);
// Standard input as a binary stream of its own.
std::FILE* open_standard_input();

// The status of the file open in `stream`; false, with errno, when the
// system cannot tell.
bool input_status(std::FILE* stream, InputStatus& status);

// Opens the input of the run into the infile slot, from `name` or standard
// input; "infile open error".
void xopen_input(const char* name);

}  // namespace zelno
