// Finding the program's own executable file.
#pragma once

#include <span>

namespace zelno {

// What separates the directories of PATH: ':' on Linux, ';' on Windows.
extern const char path_list_separator;

// The search of a program name: a name holding a separator ("/"; on Windows
// also "\\" and ":") is a path taken as it is (relative to the current
// directory). A bare name is looked for in each directory of `path_list` in
// order: on Linux only there, as the shell found the program (an empty entry
// or "." names the current directory); on Windows, as _searchenv, in the
// current directory first. Only regular files count. Fills `result` and
// returns true on a find; a result that would not fit counts as no find.
bool search_along_path(const char* name, const char* path_list, std::span<char> result);

// The running program's file: what the system names (on Linux the kernel's
// /proc/self/exe, else the path it was asked to execute), else the search
// for argument 0 with ".exe" appended, then for argument 0 unchanged.
bool find_own_executable(const char* argv0, std::span<char> result);

}  // namespace zelno
