#include "container/side_worker.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "container/program.hpp"
#include "container/slots.hpp"
#include "container/cipher_context.hpp"
#include "container/output_file.hpp"
#include "container/run_state.hpp"
#include "container/system_error.hpp"

namespace zelno {
namespace {

// Writes on the thread; a failure is kept for the pipeline to report.
void write_on_thread(const std::uint8_t* data, std::size_t length) {
    clear_stream_error();
    std::fwrite(data, 1, length, run.outfile);
    if (std::ferror(run.outfile) || !try_start_writeback()) run.worker.write_error = stream_error();
}

// Reads on the thread; the pipeline takes the outcome when it waits for it.
void read_on_thread(std::uint8_t* data, std::size_t length) {
    errno = 0;
    run.worker.read_got = read_input(data, length);
    run.worker.read_error = std::ferror(run.infile) ? (errno != 0 ? errno : EIO) : 0;
}

void do_job(WorkerJob& job) {
    switch (job.kind) {
        case WorkerJob::Kind::Digest: digest_add_bytes(run.digest, job.data, job.length); break;
        case WorkerJob::Kind::Write: write_on_thread(job.data, job.length); break;
        case WorkerJob::Kind::Decrypt:
            cbc_decrypt_blocks_with(*job.cipher, job.chain.data(), job.target, job.length / BLOCK_SIZE);
            break;
        case WorkerJob::Kind::Read: read_on_thread(job.target, job.length); break;
    }
}

void work() {
    WorkerState& w = run.worker;
    std::unique_lock<std::mutex> guard(w.lock);
    for (;;) {
        w.changed.wait(guard, [] { return run.worker.done < run.worker.handed || run.worker.stopping; });
        if (w.done == w.handed) return;
        WorkerJob job = w.queue[w.done % w.queue.size()];
        bool skip = w.write_error != 0;
        guard.unlock();
        if (!skip) do_job(job);
        guard.lock();
        ++w.done;
        w.changed.notify_all();
    }
}

std::uint64_t hand_over(WorkerJob job) {
    WorkerState& w = run.worker;
    if (!w.thread.joinable()) {
        if (job.kind == WorkerJob::Kind::Write) {
            write_outfile(job.data, job.length);
            xstart_writeback();
        } else {
            do_job(job);
        }
        w.done = ++w.handed;
        return w.handed;
    }
    std::unique_lock<std::mutex> guard(w.lock);
    w.changed.wait(guard, [] { return run.worker.handed - run.worker.done < run.worker.queue.size(); });
    w.queue[w.handed % w.queue.size()] = job;
    ++w.handed;
    w.changed.notify_all();
    return w.handed;
}

void report_failed_write() {
    if (run.worker.write_error == 0) return;
    errno = run.worker.write_error;
    fail_system("outfile write error");
}

}  // namespace

void side_worker_start(std::uint64_t total) {
    constexpr std::uint64_t worth_a_thread = 4 << 20;
    WorkerState& w = run.worker;
    if (total < worth_a_thread || w.thread.joinable() || std::thread::hardware_concurrency() < 2) return;
    w.stopping = false;
    w.write_error = 0;
    try {
        w.thread = start_thread_without_signals(work);
    } catch (const std::exception&) {
        // No thread to be had (address space or process limits): the work
        // is done in line.
    }
}

std::uint64_t side_digest(const std::uint8_t* data, std::size_t length) {
    return hand_over({.kind = WorkerJob::Kind::Digest, .data = data, .length = length});
}

std::uint64_t side_write(const std::uint8_t* data, std::size_t length) {
    return hand_over({.kind = WorkerJob::Kind::Write, .data = data, .length = length});
}

std::uint64_t side_decrypt(const CipherContext& cipher, std::uint8_t* data, std::size_t blocks,
                           const std::uint8_t* chain) {
    WorkerJob job{.kind = WorkerJob::Kind::Decrypt,
                  .data = data,
                  .length = blocks * BLOCK_SIZE,
                  .target = data,
                  .cipher = &cipher};
    std::memcpy(job.chain.data(), chain, BLOCK_SIZE);
    return hand_over(job);
}

std::uint64_t side_read(std::uint8_t* data, std::size_t length) {
    // A read skipped after a failed write must not show an earlier one's count.
    run.worker.read_got = 0;
    run.worker.read_error = 0;
    return hand_over({.kind = WorkerJob::Kind::Read, .data = data, .length = length, .target = data});
}

std::size_t xside_read_result(std::uint64_t ticket) {
    xside_wait(ticket);
    if (run.worker.read_error != 0) {
        errno = run.worker.read_error;
        fail_system("infile read error");
    }
    return run.worker.read_got;
}

bool side_worker_running() { return run.worker.thread.joinable(); }

bool side_done(std::uint64_t ticket) {
    WorkerState& w = run.worker;
    if (!w.thread.joinable()) return true;
    std::lock_guard<std::mutex> guard(w.lock);
    return w.done >= ticket;
}

void xside_wait(std::uint64_t ticket) {
    WorkerState& w = run.worker;
    if (w.thread.joinable()) {
        std::unique_lock<std::mutex> guard(w.lock);
        w.changed.wait(guard, [ticket] { return run.worker.done >= ticket; });
    }
    report_failed_write();
}

void xside_worker_finish() {
    side_worker_stop();
    report_failed_write();
}

void side_worker_stop() {
    WorkerState& w = run.worker;
    if (!w.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        w.stopping = true;
        w.changed.notify_all();
    }
    w.thread.join();
}

}  // namespace zelno
