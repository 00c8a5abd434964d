// The one process-wide state of a run: every piece of per-run state of every
// module lives here, so that one reset covers all of it and a reader finds it
// in one place. Only the Twofish tables, rebuilt at every start, live beside
// their module.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <thread>

#include "container/cipher_context.hpp"
#include "container/format.hpp"
#include "container/output_platform.hpp"
#include ZELNO_PATH_LIMIT_HEADER
#include "crypto/sha1.hpp"

namespace zelno {

enum class Mode : int { None = 0, Encrypt = 1, Decrypt = 2, MakeSelfDecrypt = 3, SelfDecrypt = 4 };

// Data move through the pipelines in pieces of this size (a multiple of the
// block size), so memory use does not depend on the file size.
inline constexpr std::size_t DATA_CHUNK_SIZE = 1024 * 1024;

// The console (cli/console.hpp): the terminal, its settings while keys are
// read raw, and the codes of one key press still to be delivered.
struct ConsoleState {
    int device = -1;  // the terminal, once opened
    bool open_tried = false;
    int open_error = 0;                                          // why it could not be opened
    volatile std::sig_atomic_t raw_active = 0;                   // read by the signal handler
    const char* volatile prompt = nullptr;                       // of the key read under way
    alignas(8) std::array<unsigned char, 128> saved_settings{};  // the platform's own form
    std::array<unsigned char, 16> queued{};                      // a key number, or an escape sequence's bytes
    std::size_t queued_head = 0;
    std::size_t queued_count = 0;
};

// The terminating signals held while the output takes its name
// (cli/signals.hpp): bit n - 1 for signal n, held by this run.
struct SignalState {
    std::uint64_t held = 0;
    bool holding = false;
    // Where interrupts arrive on a thread of their own (Windows console
    // events), what that thread and the run agree on: the hold, an event
    // waiting for its end, and whether one is ending the run.
    std::atomic<unsigned> events = 0;
    // Whoever ends the run stops the run's other threads first: one is
    // ending it, the second thread's state (where signals run handlers), and
    // the threads' identities (a pthread_t, or a handle).
    std::atomic<int> ending = 0;
    std::atomic<int> side_thread = 0;
    std::atomic<std::uintptr_t> side_thread_id = 0;
    std::atomic<std::uintptr_t> run_thread_id = 0;
};

// The size of an input read to its end (a pipe): known only then.
inline constexpr std::uint64_t UNKNOWN_SIZE = UINT64_MAX;

// What the data loop tells of its progress, to whoever shows it: the
// program's entry points these at its console line (cli/progress.hpp). By
// default nothing shows; `total` may be UNKNOWN_SIZE.
struct ProgressHooks {
    void (*begin)(std::uint64_t total) = [](std::uint64_t) {};
    void (*advance)(std::uint64_t bytes) = [](std::uint64_t) {};
    void (*end)() = [] {};
};

// The progress line (cli/progress.hpp).
struct ProgressState {
    bool shown = false;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    double start = 0;  // seconds, on a steady clock
    double last = 0;
};

// The output file (container/output_file.hpp). It is written beside its
// final name, without a name where the filesystem allows, else under a
// temporary one, and renamed only once it is complete; the exits delete the
// temporary name before that.
struct OutputState {
    std::array<char, path_bytes> final_path{};  // outfile_name, its links followed
    std::array<char, path_bytes> temp_name{};
    volatile std::sig_atomic_t created = 0;  // temp_name exists; read by the signal handler
    // The working file goes away by itself when closed (it has no name, or
    // is marked so) until it is published.
    bool vanishes = false;
    bool direct = false;               // a device, a pipe or a descriptor, written in place
    FileHandle copy_to = no_file;      // a pipe that gets the finished container, copied from outfile
    std::uint64_t start = 0;           // where the output begins in a file written in place
    std::uint64_t end = 0;             // where it ends, once the header was sought back to
    std::uint64_t writeback_from = 0;  // what is already on its way to the disk
    // Standard output or standard error is the same file or pipe as an
    // output written in place: no message may land there.
    bool stdout_is_output = false;
    bool stderr_is_output = false;
    // What the name led to: an existing regular file that the output
    // replaces keeps its permission bits, owner and group.
    FoundOutput found;
};

// The second thread (container/side_worker.hpp) and its queue of pieces.
struct WorkerJob {
    enum class Kind { Digest, Write, Decrypt, Read } kind = Kind::Digest;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    std::uint8_t* target = nullptr;                // decryption and reading: the bytes it writes
    const CipherContext* cipher = nullptr;         // decryption: with this key
    std::array<std::uint8_t, BLOCK_SIZE> chain{};  // decryption: the ciphertext block before them
};

struct WorkerState {
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    std::array<WorkerJob, 4> queue{};
    std::uint64_t handed = 0;  // tickets handed out
    std::uint64_t done = 0;    // tickets finished, in order
    bool stopping = false;
    std::atomic<int> write_error = 0;  // set on the thread when a write failed
    // The last read: what it got, and errno when it failed (one read at a time).
    std::size_t read_got = 0;
    int read_error = 0;
    // The share of a Twofish piece the thread decrypts, in 64ths.
    int decrypt_share = 28;
};

struct RunState {
    Mode mode = Mode::None;
    std::uint8_t flags = 0;

    // File slots: each empty or holding one open stream.
    std::FILE* infile = nullptr;
    std::FILE* outfile = nullptr;
    std::FILE* selffile = nullptr;
    // What the container scan read of infile (or of selffile, which becomes
    // infile) beyond the container's start: read before the stream.
    ReadAhead input_ahead;

    const char* infile_name = nullptr;
    const char* outfile_name = nullptr;  // final output name; null when absent
    bool outfile_named = false;          // the command line gave outfile_name
    const char* key_string = nullptr;
    // An output name the program chooses: the input's base name with ".znx"
    // or ".exe" appended.
    std::array<char, 260> out_name{};

    std::array<char, KEY_MAX_LEN + 1> key_buffer{};
    std::array<char, KEY_MAX_LEN + 1> confirm_buffer{};

    CipherContext cipher;
    DigestState digest;
    ContainerHeader header;
    // The pieces of data on their way: two alternate between the input and
    // the digest, two take the ciphertext on its way to the output.
    // No initialiser: the run state's static zero fill is enough, and one
    // would write to every page at start.
    std::array<std::array<std::uint8_t, DATA_CHUNK_SIZE>, 4> data_buffers;
    // How far into each data buffer anything was put; past it they hold
    // zeros, so the wipe leaves pages a small file never reached untouched.
    std::size_t data_in_use = 0;
    // The buffers of the infile and outfile streams, which carry plaintext in
    // one direction or the other: here, the wipe at exit reaches them.
    std::array<char, BUFSIZ> infile_buffer{};
    std::array<char, BUFSIZ> outfile_buffer{};

    OutputState output;
    ConsoleState console;
    SignalState signals;
    ProgressHooks progress_hooks;
    ProgressState progress;
    WorkerState worker;
};

extern RunState run;

// Puts the whole run state back to its start (the file slots must be empty
// and the second thread ended).
void reset_run_state();

// Every area that may hold the key, key schedules or plaintext: the one list
// that the wipe and its checks go by; the data buffers each as their first
// `data_bytes`.
std::array<std::span<std::byte>, 12> secret_areas(std::size_t data_bytes = DATA_CHUNK_SIZE);

// Records that the data buffers are about to be used up to `bytes` (at most
// their size): call before putting anything in them.
void note_data_in_use(std::uint64_t bytes);

// Keeps every secret area out of swap and core files, as far as the system
// allows.
void protect_secrets();

// Overwrites every secret area, the data buffers as far as they were used, in
// a way the compiler cannot drop. Safe in a signal handler.
void wipe_secrets();
// Whether every secret area holds zeros.
bool secrets_wiped();

}  // namespace zelno
