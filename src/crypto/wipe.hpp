// Zeroing that the optimiser may not drop although the memory is dead after
// it: for key material the primitives leave in their own working areas.
#pragma once

#include <cstddef>

namespace zelno {

inline void wipe(void* area, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(area);
    while (size-- > 0) *p++ = 0;
}

}  // namespace zelno
