#include "container/output_file.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "cli/exits.hpp"
#include "cli/signals.hpp"
#include "container/names.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

using PathBuffer = std::array<char, PATH_MAX>;

constexpr const char temp_pattern[] = ".zelno-XXXXXX";
constexpr int max_link_levels = 40;  // as many as the kernel follows

// What an output name leads to.
enum class Found { Nothing, RegularFile, InPlace, Descriptor };

// "<directory of final_name>/.zelno-XXXXXX" into run.output.temp_name.
bool make_temp_pattern(const char* final_name) {
    const char* slash = std::strrchr(final_name, '/');
    std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash - final_name) + 1 : 0;
    if (dir_len + sizeof temp_pattern > run.output.temp_name.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(run.output.temp_name.data(), final_name, dir_len);
    std::memcpy(run.output.temp_name.data() + dir_len, temp_pattern, sizeof temp_pattern);
    return true;
}

// The directory part of `path` ("." when it has none).
bool directory_of(const char* path, PathBuffer& dir) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::memcpy(dir.data(), ".", 2);
        return true;
    }
    std::size_t len = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (len >= dir.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dir.data(), path, len);
    dir[len] = '\0';
    return true;
}

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void sync_directory_of(const char* name) {
    PathBuffer dir;
    if (!directory_of(name, dir)) return;
    int fd = open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// The number of the process's own descriptor that `path` names: an entry of
// /proc/self/fd, where /dev/fd, /dev/stdout and /dev/stderr lead.
std::optional<int> own_descriptor(const char* path) {
    const char* number = base_name_of(path);
    std::size_t digits = std::strlen(number);
    if (digits == 0 || digits > 9 || std::strspn(number, "0123456789") != digits) return std::nullopt;
    PathBuffer dir;
    struct stat here, own;
    if (!directory_of(path, dir) || stat(dir.data(), &here) != 0) return std::nullopt;
    for (const char* own_dir : {"/proc/self/fd", "/proc/thread-self/fd"}) {
        if (stat(own_dir, &own) == 0 && own.st_dev == here.st_dev && own.st_ino == here.st_ino) {
            return std::atoi(number);
        }
    }
    return std::nullopt;
}

// Replaces the symbolic link `path` by the name it holds; a relative one
// counts from the link's directory.
bool follow_link(PathBuffer& path) {
    PathBuffer target;
    ssize_t got = readlink(path.data(), target.data(), target.size());
    if (got < 0) return false;
    auto length = static_cast<std::size_t>(got);
    std::size_t keep = 0;  // the link's directory, with its slash
    if (length > 0 && target[0] != '/') {
        const char* slash = std::strrchr(path.data(), '/');
        if (slash != nullptr) keep = static_cast<std::size_t>(slash - path.data()) + 1;
    }
    if (length == 0 || keep + length >= path.size()) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    std::memcpy(path.data() + keep, target.data(), length);
    path[keep + length] = '\0';
    return true;
}

// Whether the process may act on files it does not own (CAP_FOWNER).
bool may_override_ownership() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0) return false;
    return (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
}

void note_replaced(const struct stat& existing) {
    run.output.replaces = true;
    run.output.replaced_mode = existing.st_mode;
    run.output.replaced_owner = existing.st_uid;
    run.output.replaced_group = existing.st_gid;
}

// An existing file is replaced only where writing into it is allowed, and
// where the rename will be: in a sticky directory (/tmp) that means one's own
// file, or a file in one's own directory.
void check_replaceable(const struct stat& existing) {
    if (faccessat(AT_FDCWD, run.output.final_path.data(), W_OK, AT_EACCESS) != 0) fail_system("outfile open error");
    PathBuffer dir;
    struct stat parent;
    if (!directory_of(run.output.final_path.data(), dir) || stat(dir.data(), &parent) != 0) {
        fail_system("outfile open error");
    }
    uid_t me = geteuid();
    if ((parent.st_mode & S_ISVTX) != 0 && existing.st_uid != me && parent.st_uid != me && !may_override_ownership()) {
        errno = EPERM;
        fail_system("outfile open error");
    }
    note_replaced(existing);
}

// The permission bits (and the owner and group, where the process may give
// them) of the file replaced, as writing into it would have kept them; for a
// new file those of a plain create.
void set_permissions(int fd, bool executable) {
    if (!run.output.replaces) {
        fchmod(fd, (executable ? 0777 : 0666) & ~current_umask());
        return;
    }
    if ((run.output.replaced_owner != geteuid() || run.output.replaced_group != getegid()) &&
        fchown(fd, run.output.replaced_owner, run.output.replaced_group) != 0) {
        // Not allowed to give the file away: at least its group, where the
        // process belongs to it.
        int group_kept = fchown(fd, static_cast<uid_t>(-1), run.output.replaced_group);
        static_cast<void>(group_kept);
    }
    fchmod(fd, run.output.replaced_mode & 0777);
}

// Follows `name` through its symbolic links into run.output.final_path and says what
// is there; a directory is refused, an existing file checked.
Found resolve_output(const char* name, int& descriptor) {
    std::size_t length = std::strlen(name);
    if (length >= run.output.final_path.size()) {
        errno = ENAMETOOLONG;
        fail_system("outfile open error");
    }
    std::memcpy(run.output.final_path.data(), name, length + 1);
    struct stat found;
    for (int level = 0;; ++level) {
        if (auto fd = own_descriptor(run.output.final_path.data())) {
            descriptor = *fd;
            return Found::Descriptor;
        }
        if (lstat(run.output.final_path.data(), &found) != 0) {
            // A new file, also where a dangling link points.
            if (errno == ENOENT) return Found::Nothing;
            fail_system("outfile open error");
        }
        if (!S_ISLNK(found.st_mode)) break;
        if (level == max_link_levels) errno = ELOOP;
        if (level == max_link_levels || !follow_link(run.output.final_path)) fail_system("outfile open error");
    }
    if (S_ISDIR(found.st_mode)) {
        errno = EISDIR;
        fail_system("outfile open error");
    }
    if (!S_ISREG(found.st_mode)) return Found::InPlace;
    check_replaceable(found);
    return Found::RegularFile;
}

[[noreturn]] void fail_closing(int fd, const char* message) {
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    fail_system(message);
}

void attach_stream(int fd) {
    run.outfile = fdopen(fd, "wb");
    if (run.outfile == nullptr) fail_closing(fd, "outfile open error");
    std::setvbuf(run.outfile, run.outfile_buffer.data(), _IOFBF, run.outfile_buffer.size());
}

// A device, a pipe or a descriptor: written where it stands, from where it
// stands.
void attach_in_place(int fd, bool rewrites_header) {
    if (rewrites_header) {
        off_t at = lseek(fd, 0, SEEK_CUR);
        // Appending would put the rewritten header pieces at the end.
        if (at >= 0 && (fcntl(fd, F_GETFL) & O_APPEND) != 0) {
            at = -1;
            errno = ESPIPE;
        }
        if (at < 0) fail_closing(fd, "outfile seek error");
        run.output.start = static_cast<std::uint64_t>(at);
    }
    // The success word must not land in the data (/dev/stdout into a pipe).
    struct stat out, standard;
    run.output.is_stdout = fstat(fd, &out) == 0 && !S_ISCHR(out.st_mode) && fstat(STDOUT_FILENO, &standard) == 0 &&
                           out.st_dev == standard.st_dev && out.st_ino == standard.st_ino;
    run.output.direct = true;
    attach_stream(fd);
}

void open_descriptor(int number, bool rewrites_header) {
    int flags = fcntl(number, F_GETFL);
    if (flags < 0) fail_system("outfile open error");
    if ((flags & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;
        fail_system("outfile open error");
    }
    int fd = fcntl(number, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) fail_system("outfile open error");
    attach_in_place(fd, rewrites_header);
}

// The working file, in the directory of the final name: without a name, so
// that a run killed outright leaves nothing; where the filesystem has no
// such files, created exclusively under a temporary name.
void create_working_file(const char* final_name) {
    PathBuffer dir;
    if (!make_temp_pattern(final_name) || !directory_of(run.output.temp_name.data(), dir)) {
        fail_system("outfile open error");
    }
    int unnamed = open(dir.data(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        run.output.unnamed = true;
        attach_stream(unnamed);
        return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR) fail_system("outfile open error");

    // The signal handler must never see a created file without its name, nor
    // the flag without the file: hold the signals while both come about.
    hold_terminating_signals();
    int fd = mkostemp(run.output.temp_name.data(), O_CLOEXEC);
    int saved_errno = errno;
    if (fd >= 0) run.output.created = 1;
    release_terminating_signals();
    if (fd < 0) {
        run.output.temp_name[0] = '\0';
        errno = saved_errno;
        fail_system("outfile open error");
    }
    attach_stream(fd);
}

// Fills the "XXXXXX" that end run.output.temp_name.
void vary_temp_name(unsigned attempt) {
    constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 6> bytes{};
    if (getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) != static_cast<ssize_t>(bytes.size())) {
        // No randomness yet: the process and the attempt still tell runs apart.
        unsigned mix = static_cast<unsigned>(getpid()) * 2654435761u + attempt * 40503u;
        for (auto& b : bytes) b = static_cast<unsigned char>(mix >>= 5);
    }
    char* suffix = run.output.temp_name.data() + std::strlen(run.output.temp_name.data()) - bytes.size();
    for (std::size_t i = 0; i < bytes.size(); ++i) suffix[i] = letters[bytes[i] % (sizeof letters - 1)];
}

// Gives the finished unnamed file a fresh temporary name beside its final
// name, from where the rename publishes it.
void name_working_file(int fd) {
    std::array<char, 32> own_path;
    std::snprintf(own_path.data(), own_path.size(), "/proc/self/fd/%d", fd);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        vary_temp_name(attempt);
        int linked = linkat(AT_FDCWD, own_path.data(), AT_FDCWD, run.output.temp_name.data(), AT_SYMLINK_FOLLOW);
        // Without /proc, the descriptor itself (which may need privileges).
        if (linked != 0 && errno == ENOENT)
            linked = linkat(fd, "", AT_FDCWD, run.output.temp_name.data(), AT_EMPTY_PATH);
        if (linked == 0) {
            run.output.created = 1;
            return;
        }
        if (errno != EEXIST) break;
    }
    fail_system("outfile name error");
}

}  // namespace

void open_output(const char* final_name, bool rewrites_header) {
    if (final_name == nullptr) {
        run.output.final_path[0] = '\0';
        create_working_file("");
        return;
    }
    if (final_name[0] == '\0') {
        errno = ENOENT;
        fail_system("outfile open error");
    }
    int descriptor = -1;
    switch (resolve_output(final_name, descriptor)) {
        case Found::Descriptor: open_descriptor(descriptor, rewrites_header); return;
        case Found::InPlace: {
            int fd = open(run.output.final_path.data(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) fail_system("outfile open error");
            attach_in_place(fd, rewrites_header);
            return;
        }
        case Found::RegularFile:
        case Found::Nothing: create_working_file(run.output.final_path.data()); return;
    }
}

bool try_start_writeback() {
    constexpr off_t step = 8 << 20;
    if (run.output.direct) return true;
    off_t written = ftello(run.outfile);
    auto started = static_cast<off_t>(run.output.writeback_from);
    if (written < started + step) return true;
    if (std::fflush(run.outfile) != 0) return false;
    sync_file_range(fileno(run.outfile), started, written - started, SYNC_FILE_RANGE_WRITE);
    run.output.writeback_from = static_cast<std::uint64_t>(written);
    return true;
}

void drop_working_file() {
    if (run.output.created && run.output.temp_name[0] != '\0') unlink(run.output.temp_name.data());
    run.output.created = 0;
}

void start_writeback() {
    if (!try_start_writeback()) fail_system("outfile write error");
}

void seek_output(std::uint64_t offset) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (fseeko(run.outfile, static_cast<off_t>(run.output.start + offset), SEEK_SET) != 0) {
        fail_system("outfile seek error");
    }
}

void publish_output(const PublishOptions& options) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (run.output.direct) {
        close_slots();
        return;
    }
    const char* final_name = options.stored_name != nullptr ? options.stored_name : run.output.final_path.data();
    if (options.stored_name != nullptr) {
        // The file of the stored name is known only now; a link there is
        // replaced, not followed.
        struct stat existing;
        if (lstat(final_name, &existing) == 0 && S_ISREG(existing.st_mode)) note_replaced(existing);
    }
    int fd = fileno(run.outfile);
    set_permissions(fd, options.executable);
    if (options.mtime) {
        timespec times[2];
        times[0].tv_sec = static_cast<time_t>(*options.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (futimens(fd, times) != 0) fail_system("outfile time error");
    }
    if (fsync(fd) != 0) fail_system("outfile write error");

    hold_terminating_signals();  // to the end of the run; a failure lets them through
    if (run.output.unnamed) name_working_file(fd);
    close_slots();
    if (std::rename(run.output.temp_name.data(), final_name) != 0) fail_system("outfile name error");
    run.output.created = 0;
    run.output.temp_name[0] = '\0';
    sync_directory_of(final_name);
}

}  // namespace zelno
