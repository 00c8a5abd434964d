// Zeroing that the optimiser may not drop although the memory is dead after
// it: for the key, key schedules and plaintext. Safe in a signal handler.
#pragma once

#include <cstddef>
#include <cstring>

namespace zelno {

inline void wipe(void* area, std::size_t size) {
    std::memset(area, 0, size);
    // The compiler must assume that the zeros are read, so the memset stays.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

}  // namespace zelno
