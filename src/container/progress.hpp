// A one-line progress indicator on the console for long runs: percentage and
// MB/s, a few updates a second, blanked at the end. Nothing is shown without
// a console or for files under 64 MiB.
#pragma once

#include <cstdint>

namespace zelno {

// Blanks the indicator line if one is showing; the failure exits call it
// before their message. Keeps errno.
void clear_progress_line();

class Progress {
public:
    explicit Progress(std::uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::uint64_t bytes) {
        done_ += bytes;
        if (shown_) update();
    }

private:
    void update();

    std::uint64_t total_;
    std::uint64_t done_ = 0;
    bool shown_ = false;
    double start_ = 0;
    double last_ = 0;
};

}  // namespace zelno
