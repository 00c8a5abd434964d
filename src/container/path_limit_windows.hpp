// The longest path the system takes, in bytes with its terminating zero:
// the size of every buffer that holds a path (the build includes the file
// of its system through ZELNO_PATH_LIMIT_HEADER).
#pragma once

#include <cstddef>

namespace zelno {

// The long-path limit, in UTF-16 units (a "\\?\" path, or any path of a
// program that is longPathAware where long paths are enabled).
inline constexpr std::size_t path_units = 32'767;
// In UTF-8 a unit takes at most three bytes (a pair of them four).
inline constexpr std::size_t path_bytes = path_units * 3 + 1;

}  // namespace zelno
