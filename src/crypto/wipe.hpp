// Zeroing that the optimiser may not drop although the memory is dead after
// it: for the key, key schedules and plaintext. Safe in a signal handler.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

namespace zelno {

inline void wipe(void* area, std::size_t size) {
    std::memset(area, 0, size);
    // The compiler must assume that the zeros are read, so the memset stays.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

// Overwrites the stack just below the caller's frame, where the functions it
// called had theirs: the compiler spills round keys from registers into
// slots no wipe of a named variable reaches, and a later function's
// uninitialised locals would carry them to the end of the run. Call it right
// after work on the key.
[[gnu::noinline]] inline void wipe_stack_below() {
    std::array<unsigned char, 8192> area;  // deeper than the ciphers' frames
    wipe(area.data(), area.size());
}

}  // namespace zelno
