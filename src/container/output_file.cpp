#include "container/output_file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/exits.hpp"
#include "cli/signals.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

constexpr const char temp_pattern[] = ".zelno-XXXXXX";

// "<directory of final_name>/.zelno-XXXXXX" into run.temp_name.
bool make_temp_pattern(const char* final_name) {
    const char* slash = std::strrchr(final_name, '/');
    std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash - final_name) + 1 : 0;
    if (dir_len + sizeof temp_pattern > run.temp_name.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(run.temp_name.data(), final_name, dir_len);
    std::memcpy(run.temp_name.data() + dir_len, temp_pattern, sizeof temp_pattern);
    return true;
}

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void sync_directory_of(const char* name) {
    const char* slash = std::strrchr(name, '/');
    std::array<char, PATH_MAX> dir{};
    if (slash == nullptr) {
        dir[0] = '.';
    } else {
        std::size_t len = slash == name ? 1 : static_cast<std::size_t>(slash - name);
        if (len >= dir.size()) return;
        std::memcpy(dir.data(), name, len);
    }
    int fd = open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// An existing output that is not a regular file: a directory is refused; a
// device or a pipe (/dev/null, /dev/stdout) cannot be replaced by a renamed
// file, so it is written directly and never deleted. Returns true then.
bool open_special_output(const char* final_name) {
    struct stat existing;
    if (stat(final_name, &existing) != 0 || S_ISREG(existing.st_mode)) return false;
    if (S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        fail_system("outfile open error");
    }
    run.outfile = std::fopen(final_name, "wb");
    if (run.outfile == nullptr) fail_system("outfile open error");
    std::setvbuf(run.outfile, run.outfile_buffer.data(), _IOFBF, run.outfile_buffer.size());
    run.output_direct = true;
    return true;
}

}  // namespace

void open_output(const char* final_name) {
    if (final_name != nullptr) {
        if (final_name[0] == '\0') {
            errno = ENOENT;
            fail_system("outfile open error");
        }
        if (open_special_output(final_name)) return;
    }
    if (!make_temp_pattern(final_name != nullptr ? final_name : "")) fail_system("outfile open error");

    // The signal handler must never see a created file without its name, nor
    // the flag without the file: hold the signals while both come about.
    hold_terminating_signals();
    int fd = mkostemp(run.temp_name.data(), O_CLOEXEC);
    int saved_errno = errno;
    if (fd >= 0) run.output_created = 1;
    release_terminating_signals();
    if (fd < 0) {
        run.temp_name[0] = '\0';
        errno = saved_errno;
        fail_system("outfile open error");
    }
    run.outfile = fdopen(fd, "wb");
    if (run.outfile == nullptr) {
        close(fd);
        fail_system("outfile open error");
    }
    std::setvbuf(run.outfile, run.outfile_buffer.data(), _IOFBF, run.outfile_buffer.size());
}

bool try_start_writeback() {
    constexpr off_t step = 8 << 20;
    static off_t started = 0;
    if (run.output_direct) return true;
    off_t written = ftello(run.outfile);
    if (written < started + step) return true;
    if (std::fflush(run.outfile) != 0) return false;
    sync_file_range(fileno(run.outfile), started, written - started, SYNC_FILE_RANGE_WRITE);
    started = written;
    return true;
}

void start_writeback() {
    if (!try_start_writeback()) fail_system("outfile write error");
}

void publish_output(const char* final_name, const PublishOptions& options) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (run.output_direct) {
        close_slots();
        return;
    }
    int fd = fileno(run.outfile);
    if (fsync(fd) != 0) fail_system("outfile write error");

    // The permissions a plain create would have given.
    mode_t base = options.executable ? 0777 : 0666;
    fchmod(fd, base & ~current_umask());

    if (options.mtime) {
        timespec times[2];
        times[0].tv_sec = static_cast<time_t>(*options.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (futimens(fd, times) != 0) fail_system("outfile time error");
    }

    close_slots();
    hold_terminating_signals();  // to the end of the run; a failure lets them through
    if (std::rename(run.temp_name.data(), final_name) != 0) fail_system("outfile name error");
    run.output_created = 0;
    run.temp_name[0] = '\0';
    sync_directory_of(final_name);
}

}  // namespace zelno
