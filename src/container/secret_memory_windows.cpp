#include "container/secret_memory.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace zelno {

// Windows marks no area as left out of crash dumps; the program asks it not
// to show its crash dialog (install_signal_handlers).
void keep_out_of_swap_and_dumps(std::span<std::byte> area) {
    if (area.empty()) return;
    // A process locks no more than its minimum working set: it grows by the
    // area first. Where that is refused, the area may still be paged out.
    constexpr SIZE_T page_slack = 2 * 4096;
    HANDLE self = GetCurrentProcess();
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    if (GetProcessWorkingSetSize(self, &minimum, &maximum)) {
        SetProcessWorkingSetSize(self, minimum + area.size() + page_slack, maximum + area.size() + page_slack);
    }
    VirtualLock(area.data(), area.size());
}

}  // namespace zelno
