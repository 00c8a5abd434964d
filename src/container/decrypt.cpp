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

// Takes the input stream to the first byte of its container: the own image,
// or the named file, scanned for one.
void xopen_container_input() {
    if (run.mode == Mode::SelfDecrypt) {
        // The own image, already scanned and positioned at its container.
        run.infile = run.selffile;
        run.selffile = nullptr;
        return;
    }
    run.infile = open_input(run.infile_name);
    if (run.infile == nullptr) fail_system("infile open error");
    std::setvbuf(run.infile, run.infile_buffer.data(), _IOFBF, run.infile_buffer.size());
    // Without a find the stream stays at its end and the header read fails.
    if (auto container = locate_payload(run.infile)) {
        if (fseeko(run.infile, static_cast<off_t>(*container), SEEK_SET) != 0) {
            fail_system("infile seek error");
        }
    }
}

// MetaBlock and NameField: decrypted on the running chain, then digested.
void decrypt_header_pieces(CipherContext& cipher) {
    constexpr std::size_t pieces = META_SIZE + NAME_FIELD_SIZE;
    std::uint8_t* meta_and_name = run.header.meta().data();
    cbc_decrypt_blocks(cipher, meta_and_name, pieces / BLOCK_SIZE);
    digest_add(run.digest, meta_and_name, pieces);
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
// thread and written, the next one is read into the other buffer.
void decrypt_data(CipherContext& cipher, std::uint32_t size) {
    for_each_piece(size, [&cipher](std::size_t turn, std::uint64_t remaining) {
        auto& buffer = run.data_buffers[turn];
        std::uint64_t padded_remaining = (remaining + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(padded_remaining, buffer.size()));
        if (read_infile(buffer.data(), want) < want) fail_message("infile data error.");
        decrypt_piece(cipher, buffer.data(), want / BLOCK_SIZE);
        // The zero fill of the last block is digested but not written.
        std::uint64_t ticket = side_digest(buffer.data(), want);
        std::size_t plain = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, want));
        // The recorded size is not digested: what it leaves of the last block
        // must be the writer's zero fill, or the size was altered.
        if (std::any_of(buffer.begin() + static_cast<std::ptrdiff_t>(plain),
                        buffer.begin() + static_cast<std::ptrdiff_t>(want), [](std::uint8_t b) { return b != 0; })) {
            fail_message("infile data error.");
        }
        write_outfile(buffer.data(), plain);
        xstart_writeback();
        return PieceDone{.bytes = plain, .ticket = ticket};
    });
}

}  // namespace

void run_decrypt() {
    xopen_container_input();

    ContainerHeader& header = run.header;
    if (read_infile(header.bytes.data(), OFFSET_CLEAR_SIZE) < OFFSET_CLEAR_SIZE || !header.has_magic()) {
        fail_message("infile header error.");
    }
    // Newer format versions (and bytes 0x80 and above) are refused.
    if (header.flags() > FLAGS_NEWEST) fail_message("infile version error.");
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

    if (!layout_b) decrypt_header_pieces(run.cipher);

    // Without a name from the command line the output is restored into the
    // current directory under its stored name, which is known only at the end.
    xopen_output(run.outfile_named ? run.outfile_name : nullptr, false);

    decrypt_data(run.cipher, layout_b ? header.clear_size() : header.read_meta().size);

    if (layout_b) decrypt_header_pieces(run.cipher);

    std::array<std::uint8_t, DIGEST_SIZE> digest_out;
    digest_finish(run.digest, digest_out.data());
    if (!std::equal(digest_out.begin(), digest_out.end(), header.digest().begin())) {
        fail_message("infile data error.");
    }
    // The size in clear is outside the digest; containers written since the
    // size is kept in MetaBlock as well must agree with that copy. A zero
    // there is a container of the earlier writers, read as it always was.
    std::uint32_t digested_size = header.read_meta().size;
    if (layout_b && digested_size != 0 && digested_size != header.clear_size()) fail_message("infile data error.");

    if (run.outfile_named) {
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
