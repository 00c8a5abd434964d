#include "container/digest_worker.hpp"

#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "container/run_state.hpp"

namespace zelno {
namespace {

std::thread worker;
std::mutex lock;
std::condition_variable changed;
const std::uint8_t* piece = nullptr;  // handed over, not yet taken
std::size_t piece_length = 0;
bool busy = false;                    // the worker is digesting a piece
bool stopping = false;

void digest_in_line(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        std::size_t part = length < INT32_MAX ? length : INT32_MAX;
        digest_add(run.digest, data, static_cast<std::int32_t>(part));
        data += part;
        length -= part;
    }
}

void work() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [] { return piece != nullptr || stopping; });
        if (piece == nullptr) return;
        const std::uint8_t* data = piece;
        std::size_t length = piece_length;
        piece = nullptr;
        busy = true;
        guard.unlock();
        digest_in_line(data, length);
        guard.lock();
        busy = false;
        changed.notify_all();
    }
}

}  // namespace

void digest_worker_start(std::uint64_t total) {
    constexpr std::uint64_t worth_a_thread = 4 << 20;
    if (total < worth_a_thread || worker.joinable() || std::thread::hardware_concurrency() < 2) return;
    stopping = false;
    worker = std::thread(work);
}

void digest_worker_add(const std::uint8_t* data, std::size_t length) {
    if (!worker.joinable()) {
        digest_in_line(data, length);
        return;
    }
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [] { return piece == nullptr && !busy; });
    piece = data;
    piece_length = length;
    changed.notify_all();
}

void digest_worker_finish() {
    if (!worker.joinable()) return;
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [] { return piece == nullptr && !busy; });
        stopping = true;
        changed.notify_all();
    }
    worker.join();
}

}  // namespace zelno
