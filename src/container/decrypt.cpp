#include "container/decrypt.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "container/input_file.hpp"
#include "container/program.hpp"
#include "container/slots.hpp"
#include "container/names.hpp"
#include "container/output_file.hpp"
#include "container/pieces.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// Takes the input stream to its container: the own image, scanned at the
// start, or the named input (or standard input), scanned for one. What the
// scan read of the container is read first; nothing is sought back to, so a
// pipe serves as well as a file. Without a find nothing is left to read and
// the header read fails.
void xopen_container_input() {
    if (run.mode == Mode::SelfDecrypt) {
        run.infile = run.selffile;
        run.selffile = nullptr;
        return;
    }
    xopen_input(run.infile_name);
    locate_payload(run.infile, run.input_ahead);
}

// MetaBlock and NameField decrypted on `before`, the ciphertext block that
// precedes them in the chain (a copy is taken).
void decrypt_header_pieces(const CipherContext& cipher, const std::uint8_t* before) {
    std::array<std::uint8_t, BLOCK_SIZE> chain;
    std::memcpy(chain.data(), before, BLOCK_SIZE);
    cbc_decrypt_blocks_with(cipher, chain.data(), run.header.meta().data(), HEADER_PIECES_SIZE / BLOCK_SIZE);
}

// In layout B MetaBlock and NameField follow the data in the chain, but their
// decryption needs only the last data block: in an input that can seek it is
// read from the end of the data, so that a wrong key shows before any data
// are read or written.
void decrypt_header_pieces_ahead(const CipherContext& cipher, std::uint64_t data_bytes) {
    std::array<std::uint8_t, BLOCK_SIZE> before = cipher.chain;
    if (data_bytes > 0) {
        const std::uint64_t data_at = xinput_position();
        xseek_input(data_at + data_bytes - BLOCK_SIZE);
        if (read_infile(before.data(), BLOCK_SIZE) < BLOCK_SIZE) fail_message("infile data error.");
        xseek_input(data_at);
    }
    decrypt_header_pieces(cipher, before.data());
}

// The plaintext size MetaBlock records. Where its words do not hold as the
// format fixes them, the key is wrong (or the container damaged).
std::uint64_t xrecorded_size() {
    auto size = recorded_size(run.flags, run.header.clear_size(), run.header.read_meta());
    if (!size) fail_message("infile data error.");
    return *size;
}

// Decrypts the blocks of a piece in place. Twofish decryption is slower
// than the digest, so the second thread, when there is one, decrypts the
// first part of the piece while this thread decrypts the rest; CBC
// decryption needs only the ciphertext block before a part, not the part's
// own result. The thread also digests, and how fast each part goes depends on
// the processor and on what else runs: its share shrinks by a step after a
// piece this thread had to wait for, and grows after one it had not.
void decrypt_piece(CipherContext& cipher, std::uint8_t* data, std::size_t blocks) {
    int& share = run.worker.decrypt_share;
    std::size_t first = blocks * static_cast<std::size_t>(share) / 64;
    if (cipher.algorithm != ALG_TWOFISH || !side_worker_running() || first == 0) {
        cbc_decrypt_blocks(cipher, data, blocks);
        return;
    }
    // The rest chains on the last ciphertext block of the first part, taken
    // before the thread overwrites it.
    std::array<std::uint8_t, BLOCK_SIZE> before_first = cipher.chain;
    std::memcpy(cipher.chain.data(), data + (first - 1) * BLOCK_SIZE, BLOCK_SIZE);
    std::uint64_t ticket = side_decrypt(cipher, data, first, before_first.data());
    cbc_decrypt_blocks(cipher, data + first * BLOCK_SIZE, blocks - first);
    share = std::clamp(share + (side_done(ticket) ? 1 : -1), 1, 63);
    xside_wait(ticket);
}

// Each piece is decrypted in place; while it is digested on the second
// thread and written, the next one is read into the other buffer. The
// `data_bytes` of data carry `size` bytes of plaintext, and zeros after them.
// Where MetaBlock and NameField are still to be decrypted (an input that
// cannot seek), that happens with the last piece, before it is written: a
// large container read so learns its exact size there.
void decrypt_data(CipherContext& cipher, std::uint64_t data_bytes, std::uint64_t size, bool pieces_pending) {
    static_assert(DATA_CHUNK_SIZE % LARGE_UNIT == 0, "the zeros after a large plaintext lie in its last piece");
    std::uint64_t written = 0;
    for_each_piece(data_bytes, [&](std::size_t turn, std::uint64_t remaining) {
        auto& buffer = run.data_buffers[turn];
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        if (read_infile(buffer.data(), want) < want) fail_message("infile data error.");
        decrypt_piece(cipher, buffer.data(), want / BLOCK_SIZE);
        std::uint64_t ticket = side_digest(buffer.data(), want);
        if (want == remaining && pieces_pending) {
            decrypt_header_pieces(cipher, cipher.chain.data());
            size = xrecorded_size();
            pieces_pending = false;
        }
        // Until the size is known, every byte before the last piece is plaintext.
        std::size_t plain =
            size == UNKNOWN_SIZE ? want : static_cast<std::size_t>(std::min<std::uint64_t>(size - written, want));
        // The recorded size is not digested: what it leaves of the data must
        // be the writer's zero fill, or the size was altered.
        if (std::any_of(buffer.begin() + static_cast<std::ptrdiff_t>(plain),
                        buffer.begin() + static_cast<std::ptrdiff_t>(want), [](std::uint8_t b) { return b != 0; })) {
            fail_message("infile data error.");
        }
        write_outfile(buffer.data(), plain);
        written += plain;
        xstart_writeback();
        return PieceDone{.bytes = want, .ticket = ticket};
    });
    if (pieces_pending) {
        decrypt_header_pieces(cipher, cipher.chain.data());
        xrecorded_size();
    }
}

}  // namespace

void run_decrypt() {
    xopen_container_input();

    ContainerHeader& header = run.header;
    if (read_infile(header.bytes.data(), OFFSET_CLEAR_SIZE) < OFFSET_CLEAR_SIZE || !header.has_magic()) {
        fail_message("infile header error.");
    }
    // Newer format versions (and bytes 0x80 and above) are refused.
    if (!flags_supported(header.flags())) fail_message("infile version error.");
    run.flags = header.flags();

    cipher_setup(run.cipher, run.key_string, run.flags, false);
    iv_setup(run.cipher, run.flags);
    digest_begin(run.digest);

    // Layout B holds the size in clear; layout A lacks it, and its pieces
    // land in the same fields from MetaBlock on.
    const bool layout_b = (run.flags & FLAG_SIZE_IN_CLEAR) != 0;
    const std::size_t rest_at = layout_b ? OFFSET_CLEAR_SIZE : OFFSET_META;
    const std::size_t rest = HEADER_SIZE - rest_at;
    if (read_infile(header.bytes.data() + rest_at, rest) < rest) fail_message("infile header error.");

    // Without a name from the command line the output is restored into the
    // current directory under its stored name, which is known only at the
    // end; what came from standard input goes to standard output. Opening
    // writes nothing, and tells where messages may go.
    const char* output = run.outfile_named ? run.outfile_name : names_standard_stream(run.infile_name) ? "-" : nullptr;
    xopen_output(output, false);

    std::uint8_t* meta_and_name = header.meta().data();
    std::uint64_t size = UNKNOWN_SIZE;
    std::uint64_t data_bytes = 0;
    bool pieces_pending = false;
    if (!layout_b) {
        // MetaBlock and NameField first in the chain.
        cbc_decrypt_blocks(run.cipher, meta_and_name, HEADER_PIECES_SIZE / BLOCK_SIZE);
        digest_add(run.digest, meta_and_name, HEADER_PIECES_SIZE);
        size = xrecorded_size();
        data_bytes = round_up(size, BLOCK_SIZE);
    } else {
        data_bytes = announced_data_bytes(run.flags, header.clear_size());
        InputStatus input;
        if (input_status(run.infile, input) && input.sized) {
            decrypt_header_pieces_ahead(run.cipher, data_bytes);
            size = xrecorded_size();
        } else {
            if ((run.flags & FLAG_LARGE) == 0) size = header.clear_size();
            pieces_pending = true;
        }
    }

    decrypt_data(run.cipher, data_bytes, size, pieces_pending);

    if (layout_b) digest_add(run.digest, meta_and_name, HEADER_PIECES_SIZE);

    std::array<std::uint8_t, DIGEST_SIZE> digest_out;
    digest_finish(run.digest, digest_out.data());
    if (!std::equal(digest_out.begin(), digest_out.end(), header.digest().begin())) {
        fail_message("infile data error.");
    }

    if (output != nullptr) {
        xpublish_output({});
    } else {
        // Restored under the stored name and time, in the current directory.
        if (!stored_name_is_safe(header.name())) fail_message("infile name error.");
        run.outfile_name = reinterpret_cast<const char*>(header.name().data());
        xpublish_output({.executable = false, .mtime = header.read_meta().mtime, .stored_name = run.outfile_name});
    }
    report_success("decrypted.");
}

}  // namespace zelno
