#include "container/side_worker.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "cli/exits.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

struct Job {
    bool write;
    const std::uint8_t* data;
    std::size_t length;
};

constexpr std::size_t queue_size = 4;

std::thread worker;
std::mutex lock;
std::condition_variable changed;
std::array<Job, queue_size> queue{};
std::uint64_t handed = 0;  // tickets handed out
std::uint64_t done = 0;    // tickets finished, in order
bool stopping = false;
// Set on the thread when a write failed; read by the pipeline at any time.
std::atomic<int> write_errno = 0;

void digest_in_line(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        std::size_t part = length < INT32_MAX ? length : INT32_MAX;
        digest_add(run.digest, data, static_cast<std::int32_t>(part));
        data += part;
        length -= part;
    }
}

// Writes on the thread; a failure is kept for the pipeline to report.
void write_on_thread(const std::uint8_t* data, std::size_t length) {
    std::fwrite(data, 1, length, run.outfile);
    if (std::ferror(run.outfile) || !try_start_writeback()) write_errno = errno != 0 ? errno : EIO;
}

void work() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [] { return done < handed || stopping; });
        if (done == handed) return;
        Job job = queue[done % queue_size];
        bool skip = write_errno != 0;
        guard.unlock();
        if (!skip) {
            if (job.write)
                write_on_thread(job.data, job.length);
            else
                digest_in_line(job.data, job.length);
        }
        guard.lock();
        ++done;
        changed.notify_all();
    }
}

std::uint64_t hand_over(const Job& job) {
    if (!worker.joinable()) {
        if (job.write) {
            write_outfile(job.data, job.length);
            start_writeback();
        } else {
            digest_in_line(job.data, job.length);
        }
        done = ++handed;
        return handed;
    }
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [] { return handed - done < queue_size; });
    queue[handed % queue_size] = job;
    ++handed;
    changed.notify_all();
    return handed;
}

void report_failed_write() {
    if (write_errno == 0) return;
    errno = write_errno;
    fail_system("outfile write error");
}

}  // namespace

void side_worker_start(std::uint64_t total) {
    constexpr std::uint64_t worth_a_thread = 4 << 20;
    if (total < worth_a_thread || worker.joinable() || std::thread::hardware_concurrency() < 2) return;
    stopping = false;
    write_errno = 0;
    worker = std::thread(work);
}

std::uint64_t side_digest(const std::uint8_t* data, std::size_t length) { return hand_over({false, data, length}); }

std::uint64_t side_write(const std::uint8_t* data, std::size_t length) { return hand_over({true, data, length}); }

void side_wait(std::uint64_t ticket) {
    if (worker.joinable()) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [ticket] { return done >= ticket; });
    }
    report_failed_write();
}

void side_worker_finish() {
    side_worker_stop();
    report_failed_write();
}

void side_worker_stop() {
    if (!worker.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        changed.notify_all();
    }
    worker.join();
}

}  // namespace zelno
