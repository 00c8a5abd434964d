// A second thread beside the pipeline: it feeds the run's digest, writes the
// output, reads the input ahead and decrypts parts of pieces, in the order
// they are handed over, while the pipeline goes on with the files and the
// cipher. The digest sees the same bytes in the same order as when it is fed
// in line; small runs, single cores and runs that get no thread from the
// system do all of it in line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/cipher_context.hpp"

namespace zelno {

// Starts the thread for `total` bytes of data; small amounts are not worth it.
void side_worker_start(std::uint64_t total);

// Queue a piece for the digest, or for the output file; each returns the
// piece's ticket. The bytes must stay as they are until the ticket is done.
std::uint64_t side_digest(const std::uint8_t* data, std::size_t length);
std::uint64_t side_write(const std::uint8_t* data, std::size_t length);
// Queue `blocks` blocks for CBC decryption in place with the key of `cipher`; `chain` is the
// ciphertext block before them, copied.
std::uint64_t side_decrypt(const CipherContext& cipher, std::uint8_t* data, std::size_t blocks,
                           const std::uint8_t* chain);
// Queue a read of up to `length` bytes of the input into `data`; one at a
// time. xside_read_result waits for it and returns the count read; a read
// that failed ends the run there with "infile read error" (after a failed
// write, which comes first).
std::uint64_t side_read(std::uint8_t* data, std::size_t length);
std::size_t xside_read_result(std::uint64_t ticket);
// Whether a second thread runs: without one, handing work over gains nothing.
bool side_worker_running();

// Whether the piece of `ticket` and all before it are done, without waiting.
bool side_done(std::uint64_t ticket);

// Waits until the piece of `ticket` and all before it are done. A write that
// failed on the thread ends the run here with "outfile write error".
void xside_wait(std::uint64_t ticket);

// Waits for everything and ends the thread; a failed write ends the run.
void xside_worker_finish();

// For the failure exits: waits for the thread to stop, and reports nothing.
void side_worker_stop();

}  // namespace zelno
