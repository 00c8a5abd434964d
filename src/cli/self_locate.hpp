// Finding the program's own executable file: ask the system, else search as
// the shell or the system found the program. The search is written once
// (self_locate.cpp); each system gives its rules and primitives
// (self_locate_<system>.cpp).
#pragma once

#include <span>

namespace zelno {

// How the system searches a program name along PATH.
struct SearchRules {
    char list_separator;           // between the directories of PATH
    char directory_separator;      // put between a directory and a name
    const char* name_separators;   // any of these in a name makes it a path
    bool current_directory_first;  // a bare name is looked for in the current directory first
    bool empty_entry_is_current;   // an empty entry of PATH names the current directory
};

// The search of a program name: a name holding a separator is a path taken
// as it is (relative to the current directory). A bare name is looked for in
// each directory of `path_list` in order: on Linux only there, as the shell
// found the program (an empty entry or "." names the current directory); on
// Windows, as _searchenv, in the current directory first. Only regular files
// count. Fills `result` and returns true on a find; a result that would not
// fit counts as no find.
bool search_along_path(const char* name, const char* path_list, std::span<char> result);

// The running program's file: what the system names (on Linux the kernel's
// /proc/self/exe, else the path it was asked to execute), else the search
// for argument 0 with ".exe" appended, then for argument 0 unchanged.
bool find_own_executable(const char* argv0, std::span<char> result);

// The system's part.
extern const SearchRules search_rules;
bool is_regular_file(const char* path);
// The program's file as the system names it; false where it cannot tell.
bool own_file_from_system(std::span<char> result);

}  // namespace zelno
