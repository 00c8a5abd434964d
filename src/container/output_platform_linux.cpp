#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <optional>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "container/names.hpp"
#include "container/output_platform.hpp"
#include "container/program.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

using PathBuffer = std::array<char, PATH_MAX>;

constexpr int max_link_levels = 40;  // as many as the kernel follows

bool fail_with(int error) {
    errno = error;
    return false;
}

// The directory part of `path` ("." when it has none).
bool directory_of(const char* path, PathBuffer& dir) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::memcpy(dir.data(), ".", 2);
        return true;
    }
    std::size_t len = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (len >= dir.size()) return fail_with(ENAMETOOLONG);
    std::memcpy(dir.data(), path, len);
    dir[len] = '\0';
    return true;
}

// The status of the directory that holds `path`.
bool parent_status(const char* path, struct stat& parent) {
    PathBuffer dir;
    return directory_of(path, dir) && stat(dir.data(), &parent) == 0;
}

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
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
bool follow_link(std::span<char> path) {
    PathBuffer target;
    ssize_t got = readlink(path.data(), target.data(), target.size());
    if (got < 0) return false;
    auto length = static_cast<std::size_t>(got);
    std::size_t keep = 0;  // the link's directory, with its slash
    if (length > 0 && target[0] != '/') {
        const char* slash = std::strrchr(path.data(), '/');
        if (slash != nullptr) keep = static_cast<std::size_t>(slash - path.data()) + 1;
    }
    if (length == 0) return fail_with(ENOENT);
    if (keep + length >= path.size()) return fail_with(ENAMETOOLONG);
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

// An existing file is replaced only where writing into it is allowed, and
// where the rename will be: in a sticky directory that means one's own file,
// or a file in one's own directory.
bool replaceable(const char* path, const struct stat& parent, const struct stat& existing) {
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return false;
    uid_t me = geteuid();
    if ((parent.st_mode & S_ISVTX) != 0 && existing.st_uid != me && parent.st_uid != me && !may_override_ownership()) {
        return fail_with(EPERM);
    }
    return true;
}

void note(const struct stat& st, FoundOutput& found) {
    found.device = st.st_dev;
    found.inode = st.st_ino;
    found.mode = st.st_mode;
    found.owner = st.st_uid;
    found.group = st.st_gid;
}

}  // namespace

// The kernel resolves the directories on the way; the links of the last
// component are followed here, each under the rule for shared directories,
// so that the working file can lie beside the file they lead to.
bool find_output(std::span<char> path, FoundOutput& found) {
    struct stat st, parent;
    for (int level = 0;; ++level) {
        if (auto number = own_descriptor(path.data())) {
            found.kind = FoundOutput::Kind::Own;
            found.descriptor = *number;
            return true;
        }
        if (lstat(path.data(), &st) != 0) {
            // A new file, also where a dangling link points.
            found.kind = FoundOutput::Kind::New;
            return errno == ENOENT;
        }
        if (!S_ISLNK(st.st_mode)) break;
        if (!parent_status(path.data(), parent)) return false;
        if (!shared_directory_allows(parent, st)) return fail_with(EACCES);
        if (level == max_link_levels) return fail_with(ELOOP);
        if (!follow_link(path)) return false;
    }
    if (S_ISDIR(st.st_mode)) return fail_with(EISDIR);
    if (!parent_status(path.data(), parent)) return false;
    if (!shared_directory_allows(parent, st)) return fail_with(EACCES);
    note(st, found);
    if (!S_ISREG(st.st_mode)) {
        found.kind = FoundOutput::Kind::InPlace;
        return true;
    }
    found.kind = FoundOutput::Kind::Existing;
    return replaceable(path.data(), parent, st);
}

bool find_standard_output(FoundOutput& found) {
    found.kind = FoundOutput::Kind::Own;
    found.descriptor = 1;
    return true;
}

FileHandle open_in_place(const char* path, const FoundOutput& found) {
    if (found.kind == FoundOutput::Kind::Own) {
        int flags = fcntl(found.descriptor, F_GETFL);
        if (flags < 0) return no_file;
        if ((flags & O_ACCMODE) == O_RDONLY) {
            errno = EBADF;
            return no_file;
        }
        return fcntl(found.descriptor, F_DUPFD_CLOEXEC, 0);
    }
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return no_file;
    struct stat opened;
    bool as_checked = fstat(fd, &opened) == 0;
    if (as_checked && (opened.st_dev != found.device || opened.st_ino != found.inode)) {
        errno = EAGAIN;  // replaced meanwhile: what is there now was not checked
        as_checked = false;
    }
    if (as_checked) return fd;
    close_file(fd);
    return no_file;
}

bool position_of(FileHandle file, std::uint64_t& position) {
    off_t at = lseek(static_cast<int>(file), 0, SEEK_CUR);
    if (at < 0) return false;
    // Appending would put the rewritten header pieces at the end.
    if ((fcntl(static_cast<int>(file), F_GETFL) & O_APPEND) != 0) return fail_with(ESPIPE);
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool is_terminal(FileHandle file) { return isatty(static_cast<int>(file)) == 1; }

bool is_standard_stream(FileHandle file, int stream) {
    struct stat out, st;
    return fstat(static_cast<int>(file), &out) == 0 && !S_ISCHR(out.st_mode) && fstat(stream, &st) == 0 &&
           st.st_dev == out.st_dev && st.st_ino == out.st_ino;
}

std::FILE* stream_of(FileHandle file) {
    std::FILE* stream = fdopen(static_cast<int>(file), "wb");
    if (stream == nullptr) close_file(file);
    return stream;
}

FileHandle handle_of(std::FILE* stream) { return fileno(stream); }

void close_file(FileHandle file) {
    int saved_errno = errno;
    close(static_cast<int>(file));
    errno = saved_errno;
}

FileHandle create_unnamed_file(const char* pattern) {
    PathBuffer dir;
    if (!directory_of(pattern, dir)) return no_file;
    int fd = open(dir.data(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    // Kernels before O_TMPFILE take it for O_DIRECTORY.
    if (fd < 0 && errno == EISDIR) errno = EOPNOTSUPP;
    return fd;
}

// In $TMPDIR, else /var/tmp (meant for large files), else /tmp; without a
// name where the file system allows, else under one removed at once.
FileHandle create_spool_file() {
    const char* tmpdir = std::getenv("TMPDIR");
    int error = ENOENT;
    for (const char* dir : {tmpdir, "/var/tmp", "/tmp"}) {
        if (dir == nullptr || dir[0] == '\0') continue;
        int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        error = errno;
        if (error != EOPNOTSUPP && error != EISDIR) continue;
        PathBuffer name;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::array<std::uint8_t, 6> bytes;
            random_bytes(bytes, attempt);
            std::snprintf(name.data(), name.size(), "%s/.zelno-%02x%02x%02x%02x%02x%02x", dir, bytes[0], bytes[1],
                          bytes[2], bytes[3], bytes[4], bytes[5]);
            hold_terminating_signals();
            fd = open(name.data(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            error = errno;
            if (fd >= 0) unlink(name.data());
            release_terminating_signals();
            if (fd >= 0) return fd;
            if (error != EEXIST) break;
        }
    }
    errno = error;
    return no_file;
}

bool read_file(FileHandle file, std::uint64_t offset, std::span<std::uint8_t> bytes, std::size_t& got) {
    ssize_t n;
    do {
        n = pread(static_cast<int>(file), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    got = static_cast<std::size_t>(n);
    return true;
}

FileHandle create_named_file(const char* name, bool& vanishes) {
    vanishes = false;
    return open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// An unnamed file gets a fresh temporary name beside its final name, from
// where the rename publishes it.
bool keep_working_file(FileHandle file) {
    std::array<char, 32> own_path;
    std::snprintf(own_path.data(), own_path.size(), "/proc/self/fd/%d", static_cast<int>(file));
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        vary_temp_name(attempt);
        int linked = linkat(AT_FDCWD, own_path.data(), AT_FDCWD, run.output.temp_name.data(), AT_SYMLINK_FOLLOW);
        // Without /proc, the descriptor itself (which may need privileges).
        if (linked != 0 && errno == ENOENT) {
            linked = linkat(static_cast<int>(file), "", AT_FDCWD, run.output.temp_name.data(), AT_EMPTY_PATH);
        }
        if (linked == 0) {
            run.output.created = 1;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// A link there is replaced, not followed: the sender chose the name.
bool stored_name_usable(const char* name) {
    struct stat existing, parent;
    if (lstat(name, &existing) != 0) return errno == ENOENT;
    if (S_ISDIR(existing.st_mode)) return fail_with(EISDIR);
    if (!parent_status(name, parent)) return false;
    if (!S_ISLNK(existing.st_mode) && !shared_directory_allows(parent, existing)) return fail_with(EACCES);
    return replaceable(name, parent, existing);
}

// The owner and group of a replaced file, where the process may give them;
// EPERM (not allowed to give the file away) is no failure: then at least
// its group, where the process belongs to it.
bool set_permissions(FileHandle file, bool executable, const FoundOutput* replaced) {
    int fd = static_cast<int>(file);
    if (replaced == nullptr) return fchmod(fd, (executable ? 0777 : 0666) & ~current_umask()) == 0;
    if ((replaced->owner != geteuid() || replaced->group != getegid()) &&
        fchown(fd, replaced->owner, replaced->group) != 0) {
        if (errno != EPERM) return false;
        if (fchown(fd, static_cast<uid_t>(-1), replaced->group) != 0 && errno != EPERM) return false;
    }
    return fchmod(fd, replaced->mode & 0777) == 0;
}

bool set_times(FileHandle file, std::uint32_t time) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(time);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return futimens(static_cast<int>(file), times) == 0;
}

bool sync_file(FileHandle file) { return fsync(static_cast<int>(file)) == 0; }

bool give_final_name(const char* temp_name, const char* final_name, bool) {
    return std::rename(temp_name, final_name) == 0;
}

void sync_directory_of(const char* name) {
    PathBuffer dir;
    if (!directory_of(name, dir)) return;
    int fd = open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

void remove_file(const char* name) { unlink(name); }

void start_writeback_range(FileHandle file, std::uint64_t from, std::uint64_t to) {
    sync_file_range(static_cast<int>(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                    SYNC_FILE_RANGE_WRITE);
}

bool stream_position(std::FILE* stream, std::uint64_t& position) {
    off_t at = ftello(stream);
    if (at < 0) return false;
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool stream_seek(std::FILE* stream, std::uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

void random_bytes(std::span<std::uint8_t> bytes, unsigned attempt) {
    if (getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) == static_cast<ssize_t>(bytes.size())) return;
    // No randomness yet: the process and the attempt still tell runs apart.
    unsigned mix = static_cast<unsigned>(getpid()) * 2654435761u + attempt * 40503u;
    for (auto& b : bytes) b = static_cast<std::uint8_t>(mix >>= 5);
}

}  // namespace zelno
