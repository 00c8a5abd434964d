#include "cli/progress.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cli/console.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

constexpr std::uint64_t threshold = 64ull << 20;
constexpr double interval = 0.25;  // seconds between updates
constexpr const char* blank_width = "                        ";

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

void update() {
    ProgressState& p = run.progress;
    double t = now();
    if (t - p.last < interval) return;
    p.last = t;
    double rate = static_cast<double>(p.done) / (t - p.start) / 1e6;
    char line[64];
    if (p.total == UNKNOWN_SIZE) {
        std::snprintf(line, sizeof line, "\r%.0f MB  %.1f MB/s ", static_cast<double>(p.done) / 1e6, rate);
    } else {
        std::snprintf(line, sizeof line, "\r%3u%%  %.1f MB/s ", static_cast<unsigned>(p.done * 100 / p.total), rate);
    }
    console_puts(line);
}

}  // namespace

void progress_begin(std::uint64_t total) {
    ProgressState& p = run.progress;
    p = {.shown = false, .total = total};
    p.start = p.last = now();
    if (total != UNKNOWN_SIZE && total >= threshold) p.shown = console_open();
}

void progress_advance(std::uint64_t bytes) {
    ProgressState& p = run.progress;
    p.done += bytes;
    // An input of unknown size shows once it has come as far as a file that
    // shows: bytes and rate, without a share.
    if (!p.shown && p.total == UNKNOWN_SIZE && p.done >= threshold) p.shown = console_open();
    if (p.shown) update();
}

void progress_end() {
    if (!run.progress.shown) return;
    console_blank(blank_width);
    run.progress.shown = false;
}

void clear_progress_line() {
    if (!run.progress.shown) return;
    int saved_errno = errno;
    console_blank(blank_width);
    errno = saved_errno;
}

}  // namespace zelno
