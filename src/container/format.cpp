#include "container/format.hpp"

#include <algorithm>
#include <cstring>
#include <sys/types.h>

namespace zelno {

const char container_magic[MAGIC_SIZE + 1] = "ZNX";

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

bool ContainerHeader::has_magic() const { return std::memcmp(bytes.data(), container_magic, MAGIC_SIZE) == 0; }

void ContainerHeader::set_magic() { std::memcpy(bytes.data(), container_magic, MAGIC_SIZE); }

std::optional<std::uint64_t> locate_payload(std::FILE* stream) {
    off_t start = ftello(stream);
    std::uint64_t consumed = start > 0 ? static_cast<std::uint64_t>(start) : 0;
    const auto* magic = reinterpret_cast<const std::uint8_t*>(container_magic);
    // The last three bytes before the current buffer; three zeros at first,
    // which can never be the magic.
    std::array<std::uint8_t, MAGIC_SIZE> window{};
    std::array<std::uint8_t, 64 * 1024> buffer;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stream);
        if (got == 0) return std::nullopt;

        // A magic that starts in the window ends in this buffer.
        std::array<std::uint8_t, 2 * MAGIC_SIZE + 1> seam{};
        std::copy(window.begin(), window.end(), seam.begin());
        const std::size_t head = std::min(got, MAGIC_SIZE + 1);
        std::copy_n(buffer.begin(), head, seam.begin() + MAGIC_SIZE);
        for (std::size_t j = 0; j < MAGIC_SIZE && j + MAGIC_SIZE < MAGIC_SIZE + head; ++j) {
            if (std::memcmp(&seam[j], magic, MAGIC_SIZE) == 0 && seam[j + MAGIC_SIZE] != 0) {
                return consumed - MAGIC_SIZE + j;
            }
        }

        // Within the buffer: jump from one first magic byte to the next.
        for (std::size_t i = 0; i + MAGIC_SIZE < got;) {
            const void* hit = std::memchr(&buffer[i], magic[0], got - MAGIC_SIZE - i);
            if (hit == nullptr) break;
            i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - buffer.data());
            if (std::memcmp(&buffer[i], magic, MAGIC_SIZE) == 0 && buffer[i + MAGIC_SIZE] != 0) {
                return consumed + i;
            }
            ++i;
        }

        // Slide the window over the buffer's last bytes.
        if (got >= MAGIC_SIZE) {
            std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(got - MAGIC_SIZE), MAGIC_SIZE, window.begin());
        } else {
            std::array<std::uint8_t, 2 * MAGIC_SIZE> joined{};
            std::copy(window.begin(), window.end(), joined.begin());
            std::copy_n(buffer.begin(), got, joined.begin() + MAGIC_SIZE);
            std::copy_n(joined.begin() + static_cast<std::ptrdiff_t>(got), MAGIC_SIZE, window.begin());
        }
        consumed += got;
    }
}

}  // namespace zelno
