// Feeds the run's digest from a second thread while the pipeline goes on with
// the cipher and the files. The digest sees the same bytes in the same order
// as when it is fed in line; on a single core it is fed in line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelno {

// Starts the thread for `total` bytes of data; small amounts are not worth it.
void digest_worker_start(std::uint64_t total);
// Hands `length` bytes to the digest, after everything handed before. Returns
// once the piece handed before this one is digested, so the caller may then
// reuse that piece's buffer; this piece's buffer must stay as it is until the
// next call or digest_worker_finish.
void digest_worker_add(const std::uint8_t* data, std::size_t length);
// Waits until everything handed over is digested and ends the thread; the
// digest may then be used directly again.
void digest_worker_finish();

}  // namespace zelno
