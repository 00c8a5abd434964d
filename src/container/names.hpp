// File names as the container stores them.
#pragma once

#include <cstdint>
#include <span>

namespace zelno {

// The part of a path after its last "/".
const char* base_name_of(const char* path);

// A stored name may only name a file in the current directory: it ends with a
// zero byte within the field, is not empty, not "." or "..", and holds no "/"
// (on Windows also none of the names the system takes otherwise, nor the
// short name of a file of another name).
bool stored_name_is_safe(std::span<const std::uint8_t> field);

}  // namespace zelno
