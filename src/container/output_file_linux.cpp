#include "container/output_file.hpp"

#include <algorithm>
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

#include "container/program.hpp"
#include "container/slots.hpp"
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

[[noreturn]] void refuse(int error, const char* message) {
    errno = error;
    fail_system(message);
}

// The status of the directory that holds `path`.
void parent_status(const char* path, struct stat& parent, const char* message) {
    PathBuffer dir;
    if (!directory_of(path, dir) || stat(dir.data(), &parent) != 0) fail_system(message);
}

// The kernel's rule for shared directories (fs.protected_symlinks,
// protected_fifos, protected_regular), kept whatever the sysctls say: in a
// sticky, world-writable directory such as /tmp, a link is followed and an
// existing file, FIFO or device used only when it belongs to the caller or to
// the directory's owner, so that another user's link or FIFO there never
// receives the data.
bool shared_directory_allows(const struct stat& parent, const struct stat& found) {
    constexpr mode_t shared = S_ISVTX | S_IWOTH;
    return (parent.st_mode & shared) != shared || found.st_uid == geteuid() || found.st_uid == parent.st_uid;
}

void note_replaced(const struct stat& existing) {
    run.output.replaces = true;
    run.output.replaced_mode = existing.st_mode;
    run.output.replaced_owner = existing.st_uid;
    run.output.replaced_group = existing.st_gid;
}

// An existing file is replaced only where writing into it is allowed, and
// where the rename will be: in a sticky directory that means one's own file,
// or a file in one's own directory.
void check_replaceable(const char* path, const struct stat& parent, const struct stat& existing, const char* message) {
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) fail_system(message);
    uid_t me = geteuid();
    if ((parent.st_mode & S_ISVTX) != 0 && existing.st_uid != me && parent.st_uid != me && !may_override_ownership()) {
        refuse(EPERM, message);
    }
}

// The stored name is known only once the data are verified: what is there
// passes the checks a typed name passes at the open, before anything is
// published. A link there is replaced, not followed.
void check_stored_name(const char* name) {
    constexpr const char* message = "outfile name error";
    struct stat existing, parent;
    if (lstat(name, &existing) != 0) {
        if (errno == ENOENT) return;
        fail_system(message);
    }
    if (S_ISDIR(existing.st_mode)) refuse(EISDIR, message);
    parent_status(name, parent, message);
    if (!S_ISLNK(existing.st_mode) && !shared_directory_allows(parent, existing)) refuse(EACCES, message);
    check_replaceable(name, parent, existing, message);
}

mode_t plain_create_mode(bool executable) { return (executable ? 0777 : 0666) & ~current_umask(); }

// The permission bits (and the owner and group, where the process may give
// them) of the file replaced, as writing into it would have kept them; for a
// new file those of a plain create. Each step that fails fails the run.
void set_permissions(int fd, bool executable) {
    constexpr const char* message = "outfile mode error";
    if (!run.output.replaces) {
        if (fchmod(fd, plain_create_mode(executable)) != 0) fail_system(message);
        return;
    }
    if ((run.output.replaced_owner != geteuid() || run.output.replaced_group != getegid()) &&
        fchown(fd, run.output.replaced_owner, run.output.replaced_group) != 0) {
        // Not allowed to give the file away: at least its group, where the
        // process belongs to it.
        if (errno != EPERM) fail_system(message);
        if (fchown(fd, static_cast<uid_t>(-1), run.output.replaced_group) != 0 && errno != EPERM) {
            fail_system(message);
        }
    }
    if (fchmod(fd, run.output.replaced_mode & 0777) != 0) fail_system(message);
}

// Follows `name` through its symbolic links into run.output.final_path and
// says what is there, in `found`; a directory is refused, an existing file
// checked. The kernel resolves the directories on the way.
Found resolve_output(const char* name, int& descriptor, struct stat& found) {
    constexpr const char* message = "outfile open error";
    std::size_t length = std::strlen(name);
    if (length >= run.output.final_path.size()) refuse(ENAMETOOLONG, message);
    std::memcpy(run.output.final_path.data(), name, length + 1);
    const char* path = run.output.final_path.data();
    struct stat parent;
    for (int level = 0;; ++level) {
        if (auto fd = own_descriptor(path)) {
            descriptor = *fd;
            return Found::Descriptor;
        }
        if (lstat(path, &found) != 0) {
            // A new file, also where a dangling link points.
            if (errno == ENOENT) return Found::Nothing;
            fail_system(message);
        }
        if (!S_ISLNK(found.st_mode)) break;
        parent_status(path, parent, message);
        if (!shared_directory_allows(parent, found)) refuse(EACCES, message);
        if (level == max_link_levels) refuse(ELOOP, message);
        if (!follow_link(run.output.final_path)) fail_system(message);
    }
    if (S_ISDIR(found.st_mode)) refuse(EISDIR, message);
    parent_status(path, parent, message);
    if (!shared_directory_allows(parent, found)) refuse(EACCES, message);
    if (!S_ISREG(found.st_mode)) return Found::InPlace;
    check_replaceable(path, parent, found, message);
    note_replaced(found);
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

// Whether the standard stream `standard` is the same file or pipe as the
// output open in `out`. A terminal that is also the output is not the
// output's file: the words on it are for the user.
bool is_output(int standard, const struct stat& out) {
    struct stat st;
    return !S_ISCHR(out.st_mode) && fstat(standard, &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino;
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
    // No message may land in the data (/dev/stdout into a pipe).
    struct stat out;
    if (fstat(fd, &out) == 0) {
        run.output.stdout_is_output = is_output(STDOUT_FILENO, out);
        run.output.stderr_is_output = is_output(STDERR_FILENO, out);
    }
    run.output.direct = true;
    attach_stream(fd);
}

// A FIFO, a device or a socket, opened as what was checked at its name.
void open_in_place(const char* path, const struct stat& checked, bool rewrites_header) {
    // Opening a FIFO waits for a reader, and a FIFO cannot seek anyway.
    if (rewrites_header && S_ISFIFO(checked.st_mode)) refuse(ESPIPE, "outfile seek error");
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) fail_system("outfile open error");
    struct stat opened;
    if (fstat(fd, &opened) != 0) fail_closing(fd, "outfile open error");
    if (opened.st_dev != checked.st_dev || opened.st_ino != checked.st_ino) {
        errno = EAGAIN;  // replaced meanwhile: what is there now was not checked
        fail_closing(fd, "outfile open error");
    }
    attach_in_place(fd, rewrites_header);
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
    struct stat found;
    switch (resolve_output(final_name, descriptor, found)) {
        case Found::Descriptor: open_descriptor(descriptor, rewrites_header); return;
        case Found::InPlace: open_in_place(run.output.final_path.data(), found, rewrites_header); return;
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
    off_t at = ftello(run.outfile);
    if (at < 0) fail_system("outfile seek error");
    run.output.end = std::max(run.output.end, static_cast<std::uint64_t>(at));
    if (fseeko(run.outfile, static_cast<off_t>(run.output.start + offset), SEEK_SET) != 0) {
        fail_system("outfile seek error");
    }
}

void publish_output(const PublishOptions& options) {
    if (std::fflush(run.outfile) != 0) fail_system("outfile write error");
    if (run.output.direct) {
        // A descriptor is left at the end of what was written, as any writer
        // leaves it, so that what the caller writes next follows.
        if (run.output.end != 0 && fseeko(run.outfile, static_cast<off_t>(run.output.end), SEEK_SET) != 0) {
            fail_system("outfile seek error");
        }
        close_slots();
        return;
    }
    // A file restored under the name its sender chose is a new file: it gets
    // the mode of a plain create, never the bits of a file it replaces.
    const char* final_name = options.stored_name != nullptr ? options.stored_name : run.output.final_path.data();
    if (options.stored_name != nullptr) check_stored_name(final_name);
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
