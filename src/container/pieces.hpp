// The loop both pipelines run over their data: pieces of at most
// DATA_CHUNK_SIZE bytes in two alternating turns. A turn's buffers are used
// again only once the second thread is done with what was handed to it from
// them; the progress hooks follow the bytes done.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "container/run_state.hpp"
#include "container/side_worker.hpp"

namespace zelno {

struct PieceDone {
    std::uint64_t bytes;   // of the data, done with this piece
    std::uint64_t ticket;  // of the last job handed over from the turn's buffers
    bool last = false;     // an input of unknown size ended with it
};

// `piece(turn, remaining)` does one piece with the buffers of `turn` (0 or 1)
// and says what it did. A `size` of UNKNOWN_SIZE goes on until a piece is
// the last.
template <class Piece>
void for_each_piece(std::uint64_t size, Piece piece) {
    run.progress_hooks.begin(size);
    // Pieces are read and written in whole blocks.
    note_data_in_use(size == UNKNOWN_SIZE ? DATA_CHUNK_SIZE : round_up(size, BLOCK_SIZE));
    side_worker_start(size);
    std::array<std::uint64_t, 2> last_use{};
    std::uint64_t remaining = size;
    for (std::size_t turn = 0; remaining > 0; turn ^= 1) {
        xside_wait(last_use[turn]);
        PieceDone done = piece(turn, remaining);
        last_use[turn] = done.ticket;
        remaining -= done.bytes;
        run.progress_hooks.advance(done.bytes);
        if (done.last) break;
    }
    xside_worker_finish();
    run.progress_hooks.end();
}

}  // namespace zelno
