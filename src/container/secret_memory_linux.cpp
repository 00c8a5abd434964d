#include "container/secret_memory.hpp"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace zelno {

void keep_out_of_swap_and_dumps(std::span<std::byte> area) {
    if (area.empty()) return;
    // madvise takes whole pages: those the area touches.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(area.data()) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(area.data()) + area.size() + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTDUMP);
    // Beyond RLIMIT_MEMLOCK the area may still be swapped: the run goes on.
    // Pages are locked as they are first used, so that the parts of the data
    // buffers a small file never reaches cost nothing (before Linux 4.4, all
    // of them at once).
    if (mlock2(area.data(), area.size(), MLOCK_ONFAULT) != 0) mlock(area.data(), area.size());
}

}  // namespace zelno
