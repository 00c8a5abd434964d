// The longest path the system takes, in bytes with its terminating zero:
// the size of every buffer that holds a path (the build includes the file
// of its system through ZELNO_PATH_LIMIT_HEADER).
#pragma once

#include <climits>
#include <cstddef>

namespace zelno {

inline constexpr std::size_t path_bytes = PATH_MAX;

}  // namespace zelno
