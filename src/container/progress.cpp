#include "container/progress.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "cli/console.hpp"

namespace zelno {
namespace {

constexpr std::uint64_t threshold = 64ull << 20;
constexpr double interval = 0.25;  // seconds between updates
constexpr const char* blank_width = "                        ";

Progress* showing = nullptr;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

Progress::Progress(std::uint64_t total) : total_(total) {
    if (total_ < threshold || !console_open()) return;
    shown_ = true;
    showing = this;
    start_ = last_ = now();
}

Progress::~Progress() {
    if (shown_) {
        console_blank(blank_width);
        showing = nullptr;
    }
}

void clear_progress_line() {
    if (showing == nullptr) return;
    int saved_errno = errno;
    console_blank(blank_width);
    errno = saved_errno;
}

void Progress::update() {
    double t = now();
    if (t - last_ < interval) return;
    last_ = t;
    double rate = static_cast<double>(done_) / (t - start_) / 1e6;
    char line[64];
    std::snprintf(line, sizeof line, "\r%3u%%  %.1f MB/s ", static_cast<unsigned>(done_ * 100 / total_), rate);
    console_puts(line);
}

}  // namespace zelno
