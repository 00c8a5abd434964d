#include "container/format.hpp"

#include <algorithm>
#include <cstring>
#include <sys/types.h>

namespace zelno {

const char container_magic[MAGIC_SIZE + 1] = "ZNX";

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_le32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

MetaBlock ContainerHeader::read_meta() const {
    const std::uint8_t* m = &bytes[OFFSET_META];
    return {load_le32(m), load_le32(m + 4), load_le32(m + 8), load_le32(m + 12)};
}

void ContainerHeader::write_meta(const MetaBlock& meta) {
    std::uint8_t* m = &bytes[OFFSET_META];
    store_le32(m, meta.stamp);
    store_le32(m + 4, meta.size);
    store_le32(m + 8, meta.mtime);
    store_le32(m + 12, meta.mode);
}

bool ContainerHeader::has_magic() const {
    return std::memcmp(bytes.data(), container_magic, MAGIC_SIZE) == 0;
}

void ContainerHeader::set_magic() {
    std::memcpy(bytes.data(), container_magic, MAGIC_SIZE);
}

std::optional<std::uint64_t> locate_payload(std::FILE* stream) {
    off_t start = ftello(stream);
    if (start < 0) start = 0;
    // The last three bytes seen, as a window that starts out as three zeros.
    std::uint8_t w0 = 0, w1 = 0, w2 = 0;
    const auto m0 = static_cast<std::uint8_t>(container_magic[0]);
    const auto m1 = static_cast<std::uint8_t>(container_magic[1]);
    const auto m2 = static_cast<std::uint8_t>(container_magic[2]);
    std::array<std::uint8_t, 64 * 1024> buffer;
    std::uint64_t consumed = static_cast<std::uint64_t>(start);
    for (;;) {
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stream);
        if (got == 0) return std::nullopt;
        for (std::size_t i = 0; i < got; ++i) {
            std::uint8_t b = buffer[i];
            if (b != 0 && w0 == m0 && w1 == m1 && w2 == m2) {
                return consumed + i - MAGIC_SIZE;
            }
            w0 = w1;
            w1 = w2;
            w2 = b;
        }
        consumed += got;
    }
}

}  // namespace zelno
