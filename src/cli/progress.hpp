// A one-line progress indicator on the console for long runs: percentage and
// MB/s, a few updates a second, blanked at the end. Nothing is shown without
// a console or for files under 64 MiB.
#pragma once

#include <cstdint>

namespace zelno {

// A pipeline's data of `total` bytes begin; each piece done advances the
// line, and the end blanks it.
void progress_begin(std::uint64_t total);
void progress_advance(std::uint64_t bytes);
void progress_end();

// Blanks the indicator line if one is showing; the failure exits call it
// before their message. Keeps errno.
void clear_progress_line();

}  // namespace zelno
