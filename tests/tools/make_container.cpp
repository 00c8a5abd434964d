// Writes a container of any format version, block by block with the plain
// single-block primitives and none of the program's pipeline code: a second,
// simple writer against which the program's containers are compared, and the
// source of the test corpus of old and damaged containers.
//
// make_container FLAGS KEY NAME MTIME MODE STAMP PLAINFILE OUTFILE [SIZEFIELD [METASIZE]]
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
#include <fstream>
#include <iterator>
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
    std::ifstream in(argv[7], std::ios::binary);
    std::vector<std::uint8_t> plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto size = static_cast<std::uint32_t>(plain.size());
    const std::uint32_t size_field = argc > 9 ? static_cast<std::uint32_t>(std::strtoul(argv[9], nullptr, 0)) : size;
    const std::uint32_t meta_size = argc > 10 ? static_cast<std::uint32_t>(std::strtoul(argv[10], nullptr, 0)) : size;

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
    le32(pieces, 0, stamp);
    le32(pieces, 4, layout_b ? meta_size : size_field);
    le32(pieces, 8, mtime);
    le32(pieces, 12, mode);
    if (name_arg.size() > 1 && name_arg[0] == '@') {
        std::fill_n(pieces.begin() + 16, std::min<std::size_t>(std::stoul(name_arg.substr(1)), 256), 'n');
    } else if (name_arg != "-") {
        std::memcpy(pieces.data() + 16, name_arg.data(), std::min<std::size_t>(name_arg.size(), 256));
    }
    plain.resize((plain.size() + 15) / 16 * 16, 0);

    std::vector<std::uint8_t> data_out, pieces_out;
    auto encrypt_data = [&] {
        for (std::size_t i = 0; i < plain.size(); i += 16) {
            Block b = w.put(&plain[i]);
            data_out.insert(data_out.end(), b.begin(), b.end());
        }
    };
    auto encrypt_pieces = [&] {
        for (std::size_t i = 0; i < pieces.size(); i += 16) {
            Block b = w.put(&pieces[i]);
            pieces_out.insert(pieces_out.end(), b.begin(), b.end());
        }
    };
    if (layout_b) {
        encrypt_data();
        encrypt_pieces();
    } else {
        encrypt_pieces();
        encrypt_data();
    }
    std::array<std::uint8_t, 20> digest_value;
    digest_finish(w.digest, digest_value.data());

    std::vector<std::uint8_t> out(layout_b ? 8 : 4, 0);
    out[0] = 'Z';
    out[1] = 'N';
    out[2] = 'X';
    out[3] = flags;
    if (layout_b) le32(out, 4, size_field);
    out.insert(out.end(), pieces_out.begin(), pieces_out.end());
    out.insert(out.end(), digest_value.begin(), digest_value.end());
    out.insert(out.end(), data_out.begin(), data_out.end());

    std::FILE* f = std::fopen(argv[8], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(argv[8]);
        return 1;
    }
    return 0;
}
