// Memory that holds secrets: kept out of swap and out of core files.
#pragma once

#include <cstddef>
#include <span>

namespace zelno {

// Locks the area in memory where the system allows it (a limit that refuses
// leaves it as it is) and leaves it out of core files.
void keep_out_of_swap_and_dumps(std::span<std::byte> area);

}  // namespace zelno
