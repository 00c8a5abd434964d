#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <optional>
#include <string_view>
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

// A path taken apart one name at a time: `done` holds the directories
// reached, none of them a link; `rest` what is still to walk.
struct Walk {
    PathBuffer done{};
    std::size_t done_len = 0;  // "" is the current directory
    PathBuffer rest{};
    std::size_t rest_at = 0;
};

bool start_walk(const char* path, Walk& walk) {
    std::size_t length = std::strlen(path);
    if (length >= walk.rest.size()) return fail_with(ENAMETOOLONG);
    std::memcpy(walk.rest.data(), path, length + 1);
    walk.done[0] = '\0';
    if (path[0] == '/') walk.done[walk.done_len++] = '/';
    walk.done[walk.done_len] = '\0';
    return true;
}

// The next name into `name`; `last` when nothing, not even a slash, follows.
bool next_name(Walk& walk, std::string_view& name, bool& last) {
    const char* at = walk.rest.data() + walk.rest_at;
    while (*at == '/') ++at;
    if (*at == '\0') return false;
    std::size_t length = std::strcspn(at, "/");
    name = {at, length};
    last = at[length] == '\0';
    walk.rest_at = static_cast<std::size_t>(at - walk.rest.data()) + length;
    return true;
}

// `done` with `name` appended, into `path`.
bool joined(const Walk& walk, std::string_view name, std::span<char> path) {
    bool slash = walk.done_len > 0 && walk.done[walk.done_len - 1] != '/';
    std::size_t length = walk.done_len + (slash ? 1 : 0) + name.size();
    if (length >= path.size()) return fail_with(ENAMETOOLONG);
    std::memcpy(path.data(), walk.done.data(), walk.done_len);
    if (slash) path[walk.done_len] = '/';
    std::memcpy(path.data() + length - name.size(), name.data(), name.size());
    path[length] = '\0';
    return true;
}

// ".." takes back a directory that `done` went into; none of them is a
// link, so this is where the kernel would go.
bool go_up(Walk& walk) {
    std::string_view done(walk.done.data(), walk.done_len);
    std::size_t slash = done.rfind('/');
    std::string_view last = slash == std::string_view::npos ? done : done.substr(slash + 1);
    if (done == "/") return true;
    if (done.empty() || last == "..") {
        const char* up = done.empty() ? ".." : "/..";
        std::size_t length = std::strlen(up);
        if (walk.done_len + length >= walk.done.size()) return fail_with(ENAMETOOLONG);
        std::memcpy(walk.done.data() + walk.done_len, up, length + 1);
    } else {
        walk.done[slash == 0 ? 1 : slash == std::string_view::npos ? 0 : slash] = '\0';
    }
    walk.done_len = std::strlen(walk.done.data());
    return true;
}

// The link at `link` replaced by the name it holds, ahead of what is still
// to walk; an absolute one starts again from the root.
bool follow_link(const char* link, Walk& walk) {
    PathBuffer target;
    ssize_t got = readlink(link, target.data(), target.size());
    if (got < 0) return false;
    auto length = static_cast<std::size_t>(got);
    if (length == 0) return fail_with(ENOENT);
    std::size_t tail = std::strlen(walk.rest.data() + walk.rest_at);
    if (length + tail >= walk.rest.size()) return fail_with(ENAMETOOLONG);
    std::memmove(walk.rest.data() + length, walk.rest.data() + walk.rest_at, tail + 1);
    std::memcpy(walk.rest.data(), target.data(), length);
    walk.rest_at = 0;
    if (target[0] == '/') {
        walk.done_len = 1;
        std::memcpy(walk.done.data(), "/", 2);
    }
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

// Every link on the way, in the directories as in the last name, is followed
// here under the rule for shared directories, so that none of another
// user's leads the output elsewhere and the working file can lie beside
// the file they lead to. `path` ends up free of links.
bool find_output(std::span<char> path, FoundOutput& found) {
    Walk walk;
    if (!start_walk(path.data(), walk)) return false;
    struct stat st, parent;
    std::string_view name;
    bool last = false;
    bool at_file = false;
    int links = 0;
    while (next_name(walk, name, last)) {
        if (name == ".") continue;
        if (name == "..") {
            if (!go_up(walk)) return false;
            continue;
        }
        if (!joined(walk, name, path)) return false;
        if (auto number = last ? own_descriptor(path.data()) : std::nullopt) {
            found.kind = FoundOutput::Kind::Own;
            found.descriptor = *number;
            return true;
        }
        if (lstat(path.data(), &st) != 0) {
            // A new file, also where a dangling link points.
            found.kind = FoundOutput::Kind::New;
            return last && errno == ENOENT;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!parent_status(path.data(), parent)) return false;
            if (!shared_directory_allows(parent, st)) return fail_with(EACCES);
            if (++links > max_link_levels) return fail_with(ELOOP);
            if (!follow_link(path.data(), walk)) return false;
            continue;
        }
        if (last) {
            at_file = true;
            break;
        }
        if (!S_ISDIR(st.st_mode)) return fail_with(ENOTDIR);
        std::memcpy(walk.done.data(), path.data(), std::strlen(path.data()) + 1);
        walk.done_len = std::strlen(walk.done.data());
    }
    // The name ends in a directory ("dir/", ".", "/").
    if (!at_file || S_ISDIR(st.st_mode)) return fail_with(EISDIR);
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

bool same_file(FileHandle file, FileHandle other) {
    struct stat one, two;
    if (fstat(static_cast<int>(file), &one) != 0 || fstat(static_cast<int>(other), &two) != 0) return false;
    if (S_ISBLK(one.st_mode) && S_ISBLK(two.st_mode)) return one.st_rdev == two.st_rdev;
    return S_ISREG(one.st_mode) && S_ISREG(two.st_mode) && one.st_dev == two.st_dev && one.st_ino == two.st_ino;
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

// Links the open file `file` to `name`; EEXIST when a file has it.
bool link_open_file(FileHandle file, const char* name) {
    std::array<char, 32> own_path;
    std::snprintf(own_path.data(), own_path.size(), "/proc/self/fd/%d", static_cast<int>(file));
    if (linkat(AT_FDCWD, own_path.data(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, the descriptor itself (which may need privileges).
    return errno == ENOENT && linkat(static_cast<int>(file), "", AT_FDCWD, name, AT_EMPTY_PATH) == 0;
}

// An unnamed file takes the final name of a new output at once, so that no
// complete working file can remain under another name; one that replaces a
// file gets a fresh temporary name beside it, from where the rename
// publishes it.
bool keep_working_file(FileHandle file, const char* new_name, bool& named) {
    named = false;
    if (new_name != nullptr) {
        if (!link_open_file(file, new_name)) return false;
        named = true;
        return true;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        vary_temp_name(attempt);
        if (link_open_file(file, run.output.temp_name.data())) {
            run.output.created = 1;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// A link there is replaced, not followed: the sender chose the name.
bool stored_name_usable(const char* name, bool& taken) {
    struct stat existing, parent;
    taken = lstat(name, &existing) == 0;
    if (!taken) return errno == ENOENT;
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
