#include "container/encrypt.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "container/program.hpp"
#include "container/slots.hpp"
#include "container/input_file.hpp"
#include "container/names.hpp"
#include "container/output_file.hpp"
#include "container/pieces.hpp"
#include "container/run_state.hpp"

namespace zelno {
namespace {

// The plain input, with the status its container records.
InputStatus xopen_plain_input() {
    xopen_input(run.infile_name);
    InputStatus status;
    if (!input_status(run.infile, status)) fail_system("infile info error");
    if (status.directory) {
        errno = EISDIR;
        fail_system("infile open error");
    }
    return status;
}

// Copies the program's own file to the output; returns its length.
std::uint64_t xcopy_own_image() {
    if (fseeko(run.selffile, 0, SEEK_SET) != 0) fail_system("selffile seek error");
    auto& buffer = run.data_buffers[0];
    note_data_in_use(buffer.size());
    std::uint64_t length = 0;
    for (;;) {
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), run.selffile);
        if (std::ferror(run.selffile)) fail_system("selffile read error");
        if (got == 0) break;
        length += write_outfile(buffer.data(), got);
    }
    return length;
}

// Streams the plaintext through the digest and the chain into the output,
// `size` bytes of a file, or an input of UNKNOWN_SIZE to its end; returns the
// size. While one piece is encrypted, the second thread writes the one before
// and digests this one, unless the chain's loop digests it on the way (AES on
// processors that run the two stitched). The thread also reads the next
// piece ahead when it had finished its work before the last piece's chain
// did; where its part is the longer one, the chain's thread reads. A
// plaintext of LARGE_SIZE or more ends with zeros up to a whole LARGE_UNIT.
std::uint64_t encrypt_data(CipherContext& context, std::uint64_t size) {
    static_assert(DATA_CHUNK_SIZE % LARGE_UNIT == 0, "the zeros after a large plaintext fill its last piece");
    const bool sized = size != UNKNOWN_SIZE;
    std::uint64_t total = 0;
    std::uint64_t read_ahead = 0;  // ticket of the coming piece's read, when the thread does it
    std::uint64_t last_handed = 0;
    bool thread_had_room = false;
    const bool digest_in_chain = cbc_digest_rides_along(context);
    for_each_piece(size, [&](std::size_t turn, std::uint64_t remaining) {
        auto& plain = run.data_buffers[turn];
        auto& cipher = run.data_buffers[2 + turn];
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, plain.size()));
        std::size_t got = read_ahead != 0 ? xside_read_result(read_ahead) : read_infile(plain.data(), want);
        if (sized && got < want) {
            // The file shrank. A write that failed on the thread came first.
            xside_worker_finish();
            fail_message("infile size error.");
        }
        total += got;
        const bool last = got == remaining || got < want;
        // The other turn's plaintext was digested before this read runs: the
        // thread takes its work in order.
        auto& next = run.data_buffers[turn ^ 1];
        read_ahead = !last && thread_had_room
                         ? side_read(next.data(), std::min<std::uint64_t>(remaining - got, next.size()))
                         : 0;
        if (read_ahead != 0) last_handed = read_ahead;
        // The last block is filled with zeros; the size field tells the true length.
        std::size_t padded =
            static_cast<std::size_t>(round_up(got, last && total >= LARGE_SIZE ? LARGE_UNIT : BLOCK_SIZE));
        std::fill(plain.begin() + static_cast<std::ptrdiff_t>(got), plain.begin() + static_cast<std::ptrdiff_t>(padded),
                  std::uint8_t{0});
        if (digest_in_chain) {
            cbc_encrypt_digest_blocks(context, run.digest, plain.data(), cipher.data(), padded / BLOCK_SIZE);
        } else {
            last_handed = side_digest(plain.data(), padded);
            cbc_encrypt_blocks(context, plain.data(), cipher.data(), padded / BLOCK_SIZE);
        }
        thread_had_room = side_worker_running() && side_done(last_handed);
        last_handed = side_write(cipher.data(), padded);
        return PieceDone{.bytes = got, .ticket = last_handed, .last = last};
    });
    // A file that grew while it was read no longer matches its recorded size.
    std::uint8_t extra;
    if (sized && read_infile(&extra, 1) != 0) fail_message("infile size error.");
    return total;
}

}  // namespace

void run_encrypt() {
    cipher_setup(run.cipher, run.key_string, run.flags, true);
    iv_setup(run.cipher, run.flags);
    digest_begin(run.digest);

    InputStatus input = xopen_plain_input();
    const bool from_standard_input = names_standard_stream(run.infile_name);
    const char* base_name = from_standard_input ? standard_input_stored_name : base_name_of(run.infile_name);
    if (std::strlen(base_name) >= NAME_FIELD_SIZE) fail_message("infile name error.");

    const bool self_decrypting = run.mode == Mode::MakeSelfDecrypt;
    if (!run.outfile_named && from_standard_input) {
        run.outfile_name = "-";  // from standard input to standard output, as a filter
    } else if (!run.outfile_named) {
        run.out_name.fill('\0');
        std::snprintf(run.out_name.data(), run.out_name.size(), "%s%s", base_name, self_decrypting ? ".exe" : ".znx");
        run.outfile_name = run.out_name.data();
    }
    // The header is written again at the end: an output that cannot seek
    // gets the finished container.
    xopen_output(run.outfile_name, true);

    std::uint64_t image_length = self_decrypting ? xcopy_own_image() : 0;

    // The start of the header as far as it is known; MetaBlock and NameField
    // hold zeros until they are encrypted, so that the plain name and times
    // never leave the program.
    ContainerHeader& header = run.header;
    header.set_magic();
    const SizeFields expected = size_fields(input.size);
    header.flags() = static_cast<std::uint8_t>(run.flags | (input.sized ? expected.flag : 0));
    header.set_clear_size(input.sized ? expected.clear : 0);
    static constexpr std::array<std::uint8_t, HEADER_SIZE - OFFSET_META> zeros{};
    write_outfile(header.bytes.data(), OFFSET_META);
    write_outfile(zeros.data(), zeros.size());

    const SizeFields fields = size_fields(encrypt_data(run.cipher, input.sized ? input.size : UNKNOWN_SIZE));

    // MetaBlock and NameField continue the chain after the data. The size in
    // clear is not covered by the digest; its copy in MetaBlock is.
    header.flags() = static_cast<std::uint8_t>(run.flags | fields.flag);
    header.set_clear_size(fields.clear);
    header.write_meta({.stamp = fields.meta_stamp, .size = fields.meta_size, .mtime = input.mtime, .mode = input.mode});
    std::memcpy(header.name().data(), base_name, std::strlen(base_name) + 1);
    std::uint8_t* meta_and_name = header.meta().data();
    cbc_encrypt_digest_blocks(run.cipher, run.digest, meta_and_name, meta_and_name, HEADER_PIECES_SIZE / BLOCK_SIZE);
    digest_finish(run.digest, header.digest().data());
    xseek_output(image_length);
    write_outfile(header.bytes.data(), HEADER_SIZE);

    xpublish_output({.executable = self_decrypting, .mtime = std::nullopt, .stored_name = nullptr});
    report_success("encrypted.");
}

}  // namespace zelno
