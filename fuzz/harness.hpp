// What the fuzz targets share: a scratch directory that every input runs in,
// the reset of the process-wide run state between inputs, and the checks that
// must hold after every run, however it ended.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <sanitizer/common_interface_defs.h>

#include "cli/exits.hpp"
#include "container/decrypt.hpp"
#include "container/run_state.hpp"

namespace zelno::fuzz {

// Ends the input as a crash, so that the fuzzer keeps it. The summary line
// reaches the fuzzer's report even when the target's standard error is closed.
[[noreturn]] inline void violated(const char* what) {
    std::string summary = std::string("fuzz check failed: ") + what;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) violated(what);
}

inline bool all_zero(const void* data, std::size_t size) {
    static const std::array<std::uint8_t, DATA_CHUNK_SIZE> zeros{};
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        std::size_t n = size < zeros.size() ? size : zeros.size();
        if (std::memcmp(p, zeros.data(), n) != 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

// A directory under TMPDIR (else /tmp), removed with its files at exit.
class Sandbox {
public:
    Sandbox() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zelno-fuzz-XXXXXX";
        check(mkdtemp(path_.data()) != nullptr, "scratch directory");
        dir_fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        check(dir_fd_ >= 0, "scratch directory open");
    }
    ~Sandbox() {
        clear();
        close(dir_fd_);
        rmdir(path_.c_str());
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& path() const { return path_; }

    void put(const char* name, std::span<const std::uint8_t> data) const {
        int fd = openat(dir_fd_, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        check(fd >= 0, "scratch file open");
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t written = write(fd, data.data() + done, data.size() - done);
            check(written > 0, "scratch file write");
            done += static_cast<std::size_t>(written);
        }
        close(fd);
    }

    std::vector<std::uint8_t> get(const char* name) const {
        std::vector<std::uint8_t> data;
        int fd = openat(dir_fd_, name, O_RDONLY | O_CLOEXEC);
        check(fd >= 0, "scratch file read");
        std::uint8_t buffer[4096];
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0) data.insert(data.end(), buffer, buffer + got);
        close(fd);
        return data;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> found;
        int fd = openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        check(fd >= 0, "scratch directory list");
        DIR* dir = fdopendir(fd);
        check(dir != nullptr, "scratch directory list");
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                found.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
        return found;
    }

    // Nothing a run makes is a directory (names never hold a slash).
    void clear() const {
        for (const std::string& name : names()) unlinkat(dir_fd_, name.c_str(), 0);
    }

    // Runs `body` with the directory as the current one; `body` ends like the
    // program's main, through end_process. Returns the exit code it handed on.
    template <class Body>
    int run_ended(Body body) const {
        int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        check(home >= 0 && fchdir(dir_fd_) == 0, "enter scratch directory");
        int code = -1;
        try {
            body();
        } catch (const ProcessEnd& end) {
            code = end.code;
        }
        check(fchdir(home) == 0, "leave scratch directory");
        close(home);
        check(code >= 0, "the run returned without end_process");
        return code;
    }

private:
    std::string path_;
    int dir_fd_ = -1;
};

// Empties the file slots and puts the run state back to its start.
inline void reset_run() {
    close_slots();
    reset_run_state();
}

// The key of the test corpus, under which the decrypt targets run.
inline constexpr char corpus_key[] = "corpus key";

// Decrypts `container` as the file "input" of the scratch directory, under
// the corpus key, restoring into that directory; returns the exit code.
inline int decrypt_in(const Sandbox& sandbox, std::span<const std::uint8_t> container) {
    sandbox.clear();
    sandbox.put("input", container);
    reset_run();
    run.mode = Mode::Decrypt;
    run.infile_name = "input";
    std::memcpy(run.key_buffer.data(), corpus_key, sizeof corpus_key);
    run.key_string = run.key_buffer.data();
    return sandbox.run_ended([] {
        run_decrypt();
        end_process(0);
    });
}

// What every way out of a run leaves: the slots closed, the secrets
// overwritten, no temporary output in the directory (`output` is the name the
// run was to give its output, which may look like one).
inline void check_after_run(const Sandbox& sandbox, const std::string& output = {}) {
    check(run.infile == nullptr && run.outfile == nullptr && run.selffile == nullptr, "a file slot left open");
    check(secrets_wiped(), "secrets left in memory");
    for (const std::string& name : sandbox.names()) {
        check(name == output || name.rfind(".zelno-", 0) != 0, "temporary output left behind");
    }
}

}  // namespace zelno::fuzz
