// The file slots of the run (infile, outfile, selffile in RunState) and the
// checked reads and writes through which the pipelines use them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelno {

// Closes infile, outfile and selffile, in that order, and empties the slots.
void close_slots();

// Read from infile / write to outfile; a stream fault ends the run with
// "infile read error" / "outfile write error". A short read is no failure.
std::size_t read_infile(void* buffer, std::size_t count);
std::size_t write_outfile(const void* buffer, std::size_t count);
// The read without the check (the stream's error indicator tells): what the
// scan read ahead first, then the stream.
std::size_t read_input(void* buffer, std::size_t count);

// Where the next byte read from infile comes from, and a move there, in an
// input that can seek; "infile seek error".
std::uint64_t xinput_position();
void xseek_input(std::uint64_t position);

// Flushes outfile; "outfile write error" when that fails.
void xflush_outfile();

// Ends the run with "outfile write error" and the reason stream_error()
// gives.
[[noreturn]] void fail_outfile_write();

}  // namespace zelno
