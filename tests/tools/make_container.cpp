// Writes a container of any format version, block by block with the plain
// single-block primitives and none of the program's pipeline code: a second,
// simple writer against which the program's containers are compared, and the
// source of the test corpus of old and damaged containers.
//
// make_container FLAGS KEY NAME MTIME MODE STAMP PLAINFILE OUTFILE [SIZEFIELD [METASIZE]]
// (flag 0x40: a plaintext of 4 GiB or more, STAMP then taken from the size)
// FLAGS in hex; NAME may be "-" for an empty name, or "@N" for N bytes of 'n'
// without a terminating zero; SIZEFIELD overrides the recorded size (in clear
// in layout B, in MetaBlock in layout A); METASIZE overrides MetaBlock's size
// word in layout B (0, as the writers before 1.1.0 stored it).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/cipher_context.hpp"
#include "crypto/aes.hpp"
#include "crypto/sha1.hpp"
#include "crypto/twofish.hpp"

using namespace zelno;
using Block = std::array<std::uint8_t, 16>;

namespace {

struct Writer {
    int algorithm;
    TwofishKey twofish{};
    AesKey aes{};
    int rounds = 0;
    Block chain{};
    DigestState digest;

    Block put(const std::uint8_t* plain) {
        digest_add(digest, plain, 16);
        Block b;
        for (int i = 0; i < 16; ++i) b[i] = plain[i] ^ chain[i];
        if (algorithm == 1)
            Twofish_encrypt_block(twofish, b.data(), b.data());
        else
            aes_encrypt_block(aes, rounds, b.data(), b.data());
        chain = b;
        return b;
    }
};

void le32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 9) {
        std::fprintf(stderr,
                     "usage: make_container FLAGS KEY NAME MTIME MODE STAMP PLAIN OUT [SIZEFIELD [METASIZE]]\n");
        return 2;
    }
    const auto flags = static_cast<std::uint8_t>(std::strtoul(argv[1], nullptr, 16));
    const std::string key = argv[2];
    const std::string name_arg = argv[3];
    const auto mtime = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 0));
    const auto mode = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 0));
    const auto stamp = static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 0));
    std::FILE* in = std::fopen(argv[7], "rb");
    if (in == nullptr) {
        std::perror(argv[7]);
        return 1;
    }
    std::fseek(in, 0, SEEK_END);
    const auto size = static_cast<std::uint64_t>(ftello(in));
    std::rewind(in);
    // A size of 4 GiB or more: flag 0x40, the size in clear counts MiB of
    // data (zero-filled to a whole MiB), MetaBlock's stamp word holds the
    // upper half of the size.
    const bool large = (flags & 0x40) != 0;
    const std::uint64_t data_size = large ? (size + 0xFFFFF) / 0x100000 * 0x100000 : (size + 15) / 16 * 16;
    const std::uint32_t size_field = argc > 9 ? static_cast<std::uint32_t>(std::strtoul(argv[9], nullptr, 0))
                                              : static_cast<std::uint32_t>(large ? data_size / 0x100000 : size);
    const std::uint32_t meta_size =
        argc > 10 ? static_cast<std::uint32_t>(std::strtoul(argv[10], nullptr, 0)) : static_cast<std::uint32_t>(size);

    Writer w;
    w.algorithm = flags & 3;
    std::array<std::uint8_t, 32> key_bytes{};
    const std::size_t key_length = std::min<std::size_t>(key.size(), 32);
    std::memcpy(key_bytes.data(), key.data(), key_length);
    if (w.algorithm == 1) {
        Twofish_start();
        Twofish_prepare_key(key_bytes.data(), static_cast<int>(key_length), w.twofish);
    } else {
        const int bits = key_length <= 16 ? 128 : key_length <= 24 ? 192 : 256;
        w.rounds = aes_expand_encrypt_key(w.aes, key_bytes.data(), bits);
    }
    for (int i = 0; i < 16; ++i) {
        std::uint8_t v = (flags & 0x04) ? static_cast<std::uint8_t>(IV_SERIES_BASE - i) : 0;
        if (flags & 0x20) v = static_cast<std::uint8_t>(v >> (i % 3 + 1));
        w.chain[i] = v;
    }
    digest_begin(w.digest);

    const bool layout_b = flags & 0x10;
    // MetaBlock and NameField as 17 plaintext blocks.
    std::vector<std::uint8_t> pieces(16 + 256, 0);
    le32(pieces, 0, large ? static_cast<std::uint32_t>(size >> 32) : stamp);
    le32(pieces, 4, layout_b ? meta_size : size_field);
    le32(pieces, 8, mtime);
    le32(pieces, 12, mode);
    if (name_arg.size() > 1 && name_arg[0] == '@') {
        std::fill_n(pieces.begin() + 16, std::min<std::size_t>(std::stoul(name_arg.substr(1)), 256), 'n');
    } else if (name_arg != "-") {
        std::memcpy(pieces.data() + 16, name_arg.data(), std::min<std::size_t>(name_arg.size(), 256));
    }

    // The header first with its pieces still zero, the data streamed after
    // it, then the header again.
    std::vector<std::uint8_t> head(layout_b ? 8 : 4, 0);
    head[0] = 'Z';
    head[1] = 'N';
    head[2] = 'X';
    head[3] = flags;
    if (layout_b) le32(head, 4, size_field);
    const std::size_t head_size = head.size() + pieces.size() + 20;
    std::FILE* out = std::fopen(argv[8], "wb");
    if (out == nullptr || fseeko(out, static_cast<off_t>(head_size), SEEK_SET) != 0) {
        std::perror(argv[8]);
        return 1;
    }
    auto put_pieces = [&] {
        for (std::size_t i = 0; i < pieces.size(); i += 16) {
            Block b = w.put(&pieces[i]);
            std::copy(b.begin(), b.end(), pieces.begin() + static_cast<std::ptrdiff_t>(i));
        }
    };
    if (!layout_b) put_pieces();
    std::vector<std::uint8_t> chunk(1 << 20);
    for (std::uint64_t done = 0; done < data_size; done += chunk.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), data_size - done));
        std::fill(chunk.begin(), chunk.end(), 0);
        (void)std::fread(chunk.data(), 1, n, in);
        for (std::size_t i = 0; i < n; i += 16) {
            Block b = w.put(&chunk[i]);
            std::copy(b.begin(), b.end(), chunk.begin() + static_cast<std::ptrdiff_t>(i));
        }
        std::fwrite(chunk.data(), 1, n, out);
    }
    if (layout_b) put_pieces();
    std::array<std::uint8_t, 20> digest_value;
    digest_finish(w.digest, digest_value.data());
    head.insert(head.end(), pieces.begin(), pieces.end());
    head.insert(head.end(), digest_value.begin(), digest_value.end());
    std::rewind(out);
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size() || std::fclose(out) != 0) {
        std::perror(argv[8]);
        return 1;
    }
    std::fclose(in);
    return 0;
}
