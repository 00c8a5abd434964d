// The plaintext pieces of a container, sealed under the key with a digest
// that matches, then decrypted and restored under the stored name in a
// scratch directory. Where the other decrypt target rarely gets past the
// digest, this one reaches the size checks, the stored name and the restore.
//
// Input: the flags byte, the size field of layout B (4 bytes, little-endian),
// MetaBlock (16 bytes), NameField (256 bytes), then the data; missing bytes
// are zero, and the data are zero-filled to whole blocks.
//
// The run must succeed exactly when the pieces agree: MetaBlock's mode and
// stamp words hold as the format fixes them, the recorded size needs
// as many blocks as the data have and leaves only zeros after it, and the
// name is a plain file name; in layout B the size in MetaBlock is 0 or the
// size in clear. It then restores the recorded bytes.

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "container/cipher_context.hpp"
#include "container/format.hpp"
#include "harness.hpp"

namespace {

using namespace zelno;

struct Pieces {
    std::uint8_t flags = 0;
    std::uint32_t clear_size = 0;
    std::array<std::uint8_t, META_SIZE + NAME_FIELD_SIZE> meta_and_name{};
    std::vector<std::uint8_t> data;  // whole blocks

    bool layout_b() const { return (flags & FLAG_SIZE_IN_CLEAR) != 0; }
    std::uint32_t recorded_size() const { return layout_b() ? clear_size : load_le32(&meta_and_name[4]); }
    std::uint32_t mtime() const { return load_le32(&meta_and_name[8]); }
    std::string name() const {
        const auto* field = &meta_and_name[META_SIZE];
        return std::string(reinterpret_cast<const char*>(field),
                           strnlen(reinterpret_cast<const char*>(field), NAME_FIELD_SIZE));
    }
};

Pieces parse(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> head(1 + 4 + META_SIZE + NAME_FIELD_SIZE, 0);
    std::copy_n(data, std::min(size, head.size()), head.begin());
    Pieces p;
    p.flags = head[0];
    p.clear_size = load_le32(&head[1]);
    std::copy(head.begin() + 5, head.end(), p.meta_and_name.begin());
    if (size > head.size()) p.data.assign(data + head.size(), data + size);
    p.data.resize((p.data.size() + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE, 0);
    return p;
}

// The container the writer would make of the pieces, by the run's own cipher
// and digest in the encrypting direction.
std::vector<std::uint8_t> seal(const Pieces& p) {
    std::vector<std::uint8_t> data = p.data;
    std::array<std::uint8_t, META_SIZE + NAME_FIELD_SIZE> pieces = p.meta_and_name;
    CipherContext cipher;
    cipher_setup(cipher, fuzz::corpus_key, p.flags, true);
    iv_setup(cipher, p.flags);
    digest_begin(run.digest);
    auto add = [&cipher](std::uint8_t* bytes, std::size_t n) {
        digest_add(run.digest, bytes, static_cast<std::int32_t>(n));
        cbc_encrypt_blocks(cipher, bytes, bytes, n / BLOCK_SIZE);
    };
    if (p.layout_b()) {
        add(data.data(), data.size());
        add(pieces.data(), pieces.size());
    } else {
        add(pieces.data(), pieces.size());
        add(data.data(), data.size());
    }
    std::array<std::uint8_t, DIGEST_SIZE> digest;
    digest_finish(run.digest, digest.data());

    std::vector<std::uint8_t> out(container_magic, container_magic + MAGIC_SIZE);
    out.push_back(p.flags);
    if (p.layout_b()) {
        out.resize(out.size() + 4);
        store_le32(&out[OFFSET_CLEAR_SIZE], p.clear_size);
    }
    out.insert(out.end(), pieces.begin(), pieces.end());
    out.insert(out.end(), digest.begin(), digest.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bool name_is_plain(const Pieces& p) {
    const auto* field = &p.meta_and_name[META_SIZE];
    if (std::find(field, field + NAME_FIELD_SIZE, 0) == field + NAME_FIELD_SIZE) return false;
    std::string name = p.name();
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool size_fits(const Pieces& p) {
    // MetaBlock's words as the format fixes them: 16 mode bits, no stamp
    // unless the flags call for one.
    if (load_le32(&p.meta_and_name[12]) > 0xFFFF) return false;
    if ((p.flags & FLAG_STAMP) == 0 && load_le32(&p.meta_and_name[0]) != 0) return false;
    // Layout B keeps the size in MetaBlock too, or 0 there (the earlier writers).
    std::uint32_t digested_size = load_le32(&p.meta_and_name[4]);
    if (p.layout_b() && digested_size != 0 && digested_size != p.clear_size) return false;
    std::uint64_t size = p.recorded_size();
    if ((size + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE != p.data.size()) return false;
    return std::all_of(p.data.begin() + static_cast<std::ptrdiff_t>(size), p.data.end(),
                       [](std::uint8_t b) { return b == 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzz::Sandbox sandbox;
    const Pieces pieces = parse(data, size);
    // Other algorithms and newer versions are refused before any of this;
    // a zero flags byte hides the container from the search.
    const int algorithm = pieces.flags & FLAG_ALG_MASK;
    if (pieces.flags > FLAGS_NEWEST || (algorithm != ALG_TWOFISH && algorithm != ALG_AES)) return 0;

    fuzz::reset_run();
    const std::vector<std::uint8_t> container = seal(pieces);
    int code = fuzz::decrypt_in(sandbox, container);

    const bool sound = size_fits(pieces) && name_is_plain(pieces);
    fuzz::check(code == (sound ? 0 : EXIT_MESSAGE), "result does not match the container");
    if (sound) {
        const std::string name = pieces.name();
        std::vector<std::uint8_t> expected(pieces.data.begin(), pieces.data.begin() + pieces.recorded_size());
        fuzz::check(sandbox.get(name.c_str()) == expected, "restored bytes differ");
        struct stat st;
        fuzz::check(
            stat((sandbox.path() + "/" + name).c_str(), &st) == 0 && st.st_mtime == static_cast<time_t>(pieces.mtime()),
            "restored time differs");
    }
    fuzz::check_after_run(sandbox, sound ? pieces.name() : std::string());
    fuzz::reset_run();
    return 0;
}
