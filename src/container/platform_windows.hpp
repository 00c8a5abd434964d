// What the Windows files of the platform seam share: names turned into the
// system's UTF-16 form, and the system's error as errno, so that the failure
// exits print it like any other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <span>

#include "container/path_limit_windows.hpp"

namespace zelno {

// A path in the system's UTF-16 form, as long as the system takes one.
using WidePath = std::array<wchar_t, path_units + 1>;

// A name in the active code page (UTF-8 through the program's manifest), as
// the C runtime's fopen reads it, into `wide`; false (errno ENAMETOOLONG or
// EINVAL) when it does not fit or is not valid in that code page.
bool to_wide(const char* name, std::span<wchar_t> wide);
// The reverse; false when it does not fit.
bool from_wide(const wchar_t* wide, std::span<char> name);

// errno from GetLastError(): the error Linux gives in the same case, or
// one of the system's own where Linux has none.
void set_errno_from_last_error();
// The same for a ReplaceFileW that failed: the text names the replacing.
void set_errno_from_failed_replace();

// A C runtime stream over the open `file` (a HANDLE), for writing or for
// reading, binary; null, with errno, and the handle closed, on failure.
std::FILE* stream_over(void* file, bool writing);

}  // namespace zelno
