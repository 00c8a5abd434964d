#include "container/run_state.hpp"

#include <algorithm>
#include <memory>

#include "container/secret_memory.hpp"
#include "crypto/wipe.hpp"

namespace zelno {

RunState run;

void reset_run_state() {
    std::destroy_at(&run);
    std::construct_at(&run);
}

namespace {

template <class T>
std::span<std::byte> bytes_of(T& object) {
    return std::as_writable_bytes(std::span(&object, 1));
}

}  // namespace

std::array<std::span<std::byte>, 12> secret_areas(std::size_t data_bytes) {
    auto data = [data_bytes](std::size_t i) {
        return std::as_writable_bytes(std::span(run.data_buffers[i])).first(data_bytes);
    };
    return {bytes_of(run.key_buffer),
            bytes_of(run.confirm_buffer),
            bytes_of(run.cipher),
            bytes_of(run.digest),
            bytes_of(run.header),
            data(0),
            data(1),
            data(2),
            data(3),
            bytes_of(run.infile_buffer),
            bytes_of(run.outfile_buffer),
            bytes_of(run.console.queued)};
}

void note_data_in_use(std::uint64_t bytes) {
    run.data_in_use =
        std::max(run.data_in_use, static_cast<std::size_t>(std::min<std::uint64_t>(bytes, DATA_CHUNK_SIZE)));
}

void protect_secrets() {
    for (std::span<std::byte> area : secret_areas()) keep_out_of_swap_and_dumps(area);
}

void wipe_secrets() {
    for (std::span<std::byte> area : secret_areas(run.data_in_use)) wipe(area.data(), area.size());
}

bool secrets_wiped() {
    for (std::span<std::byte> area : secret_areas()) {
        if (std::any_of(area.begin(), area.end(), [](std::byte b) { return b != std::byte{0}; })) return false;
    }
    return true;
}

}  // namespace zelno
