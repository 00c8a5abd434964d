#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/input_file.hpp"

namespace zelno {

namespace {

// A pipe holds 64 KiB: the writer and the run would take turns. With room
// for a whole piece they go on side by side; where the system refuses
// (a user past the limit of pipe buffers), the pipe stays as it is.
std::FILE* widened(std::FILE* stream) {
    struct stat st;
    if (stream != nullptr && fstat(fileno(stream), &st) == 0 && S_ISFIFO(st.st_mode)) {
        fcntl(fileno(stream), F_SETPIPE_SZ, 1 << 20);
    }
    return stream;
}

}  // namespace

std::FILE* open_input(const char* name) { return widened(std::fopen(name, "rb")); }

std::FILE* open_standard_input() {
    int fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) close(fd);
    return widened(stream);
}

bool input_status(std::FILE* stream, InputStatus& status) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return false;
    // A file that reports no size (as those of /proc do) is read to its end too.
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        mode_t mask = umask(0);
        umask(mask);
        status = {
            .size = 0,
            .mtime = static_cast<std::uint32_t>(S_ISREG(st.st_mode) ? st.st_mtime : std::time(nullptr)),
            .mode = static_cast<std::uint32_t>(S_ISREG(st.st_mode) ? st.st_mode & 0xFFFF : S_IFREG | (0666 & ~mask)),
            .directory = S_ISDIR(st.st_mode),
            .sized = false};
        return true;
    }
    // Standard input may stand anywhere in its file.
    off_t at = lseek(fileno(stream), 0, SEEK_CUR);
    off_t left = st.st_size - (at > 0 ? at : 0);
    status = {.size = left > 0 ? static_cast<std::uint64_t>(left) : 0,
              .mtime = static_cast<std::uint32_t>(st.st_mtime),
              .mode = static_cast<std::uint32_t>(st.st_mode & 0xFFFF),
              .directory = false,
              .sized = true};
    return true;
}

}  // namespace zelno
