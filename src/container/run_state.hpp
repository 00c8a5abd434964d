// The one process-wide state of a run.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "container/cipher_context.hpp"
#include "container/format.hpp"
#include "crypto/sha1.hpp"

namespace zelno {

enum class Mode : int { None = 0, Encrypt = 1, Decrypt = 2, MakeSelfDecrypt = 3, SelfDecrypt = 4 };

// Data move through the pipelines in pieces of this size (a multiple of the
// block size), so memory use does not depend on the file size.
inline constexpr std::size_t DATA_CHUNK_SIZE = 256 * 1024;

struct RunState {
    Mode mode = Mode::None;
    std::uint8_t flags = 0;

    // File slots: each empty or holding one open stream.
    std::FILE* infile = nullptr;
    std::FILE* outfile = nullptr;
    std::FILE* selffile = nullptr;

    const char* infile_name = nullptr;
    const char* outfile_name = nullptr;  // final output name; null when absent
    bool outfile_named = false;          // the command line gave outfile_name
    const char* key_string = nullptr;

    // The output is written beside its final name, without a name where the
    // filesystem allows, else under a temporary one, and renamed only once it
    // is complete; the exits delete the temporary name before that.
    std::array<char, PATH_MAX> final_path{};  // outfile_name, its links followed
    std::array<char, PATH_MAX> temp_name{};
    volatile std::sig_atomic_t output_created = 0;  // temp_name exists; read by the signal handler
    bool output_unnamed = false;                    // no name until it is complete (O_TMPFILE)
    bool output_direct = false;                     // a device, a pipe or a descriptor, written in place
    bool output_is_stdout = false;                  // the same file as standard output
    std::uint64_t output_start = 0;                 // where the output begins in a file written in place
    // An existing regular file that the output replaces keeps its permission
    // bits, owner and group.
    bool output_replaces = false;
    mode_t replaced_mode = 0;
    uid_t replaced_uid = 0;
    gid_t replaced_gid = 0;

    std::array<char, KEY_MAX_LEN + 1> key_buffer{};
    std::array<char, KEY_MAX_LEN + 1> confirm_buffer{};

    CipherContext cipher;
    DigestState digest;
    ContainerHeader header;
    // The pieces of data on their way: two alternate between the input and
    // the digest, two take the ciphertext on its way to the output.
    std::array<std::array<std::uint8_t, DATA_CHUNK_SIZE>, 4> data_buffers{};
    // The buffers of the infile and outfile streams, which carry plaintext in
    // one direction or the other: here, the wipe at exit reaches them.
    std::array<char, BUFSIZ> infile_buffer{};
    std::array<char, BUFSIZ> outfile_buffer{};
};

extern RunState run;

}  // namespace zelno
