// Finding the program's own executable file.
#pragma once

#include <span>

namespace zelno {

// What separates the directories of PATH: ':' on Linux, ';' on Windows.
extern const char path_list_separator;

// The search of a program name: a name holding a separator ("/"; on Windows
// also "\\" and ":") is a path taken as it is (relative to the current
// directory); a bare name is looked for in the current directory, then in
// each directory of `path_list` in order. Only regular files count. Fills `result` and returns true on a find; a result
// that would not fit counts as no find.
bool search_along_path(const char* name, const char* path_list, std::span<char> result);

// The running program's file: what the system names, else the search for
// argument 0 with ".exe" appended, then for argument 0 unchanged.
bool find_own_executable(const char* argv0, std::span<char> result);

}  // namespace zelno
