// The file slots of the run (infile, outfile, selffile in RunState) and the
// checked reads and writes through which the pipelines use them.
#pragma once

#include <cstddef>

namespace zelno {

// Closes infile, outfile and selffile, in that order, and empties the slots.
void close_slots();

// Read from infile / write to outfile; a stream fault ends the run with
// "infile read error" / "outfile write error". A short read is no failure.
std::size_t read_infile(void* buffer, std::size_t count);
std::size_t write_outfile(const void* buffer, std::size_t count);
// Flushes outfile; "outfile write error" when that fails.
void xflush_outfile();

// Ends the run with "outfile write error" and the reason stream_error()
// gives.
[[noreturn]] void fail_outfile_write();

}  // namespace zelno
