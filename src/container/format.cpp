#include "container/format.hpp"

#include <algorithm>
#include <cstring>

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

SizeFields size_fields(std::uint64_t size) {
    const auto low = static_cast<std::uint32_t>(size);
    if (size < LARGE_SIZE)
        return {.flag = 0, .clear = low, .meta_size = low, .meta_stamp = 0, .data_bytes = round_up(size, BLOCK_SIZE)};
    const std::uint64_t data_bytes = round_up(size, LARGE_UNIT);
    return {.flag = FLAG_LARGE,
            .clear = static_cast<std::uint32_t>(data_bytes / LARGE_UNIT),
            .meta_size = low,
            .meta_stamp = static_cast<std::uint32_t>(size >> 32),
            .data_bytes = data_bytes};
}

bool flags_supported(std::uint8_t flags) {
    if ((flags & FLAG_LARGE) == 0) return flags <= FLAGS_NEWEST;
    const std::uint8_t rest = flags & ~FLAG_LARGE;
    return rest <= FLAGS_NEWEST && (rest & FLAG_SIZE_IN_CLEAR) != 0 && (rest & FLAG_STAMP) == 0;
}

std::uint64_t announced_data_bytes(std::uint8_t flags, std::uint32_t clear) {
    return (flags & FLAG_LARGE) != 0 ? clear * LARGE_UNIT : round_up(clear, BLOCK_SIZE);
}

std::optional<std::uint64_t> recorded_size(std::uint8_t flags, std::uint32_t clear, const MetaBlock& meta) {
    // The mode bits are 16; the stamp is 0 where the flags say there is none.
    if (meta.mode > 0xFFFF) return std::nullopt;
    if ((flags & FLAG_LARGE) != 0) {
        const std::uint64_t size = std::uint64_t{meta.stamp} << 32 | meta.size;
        if (size < LARGE_SIZE || round_up(size, LARGE_UNIT) / LARGE_UNIT != clear) return std::nullopt;
        return size;
    }
    if ((flags & FLAG_STAMP) == 0 && meta.stamp != 0) return std::nullopt;
    if ((flags & FLAG_SIZE_IN_CLEAR) == 0) return meta.size;
    if (meta.size != 0 && meta.size != clear) return std::nullopt;
    return clear;
}

std::optional<std::uint64_t> locate_payload(std::FILE* stream, ReadAhead& ahead) {
    const auto* magic = reinterpret_cast<const std::uint8_t*>(container_magic);
    std::uint8_t* bytes = ahead.bytes.data();
    // The three bytes before each buffer stand in front of it; three zeros at
    // first, which can never be the magic.
    std::fill_n(bytes, MAGIC_SIZE, std::uint8_t{0});
    ahead.at = ahead.end = 0;
    std::uint64_t consumed = 0;  // bytes before the current buffer
    for (;;) {
        const std::size_t got = std::fread(bytes + MAGIC_SIZE, 1, ahead.bytes.size() - MAGIC_SIZE, stream);
        if (got == 0) return std::nullopt;
        const std::size_t end = MAGIC_SIZE + got;
        // Jump from one first magic byte to the next; a magic needs the byte
        // after it in this buffer.
        for (std::size_t i = 0; i + MAGIC_SIZE < end;) {
            const void* hit = std::memchr(bytes + i, magic[0], end - MAGIC_SIZE - i);
            if (hit == nullptr) break;
            i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes);
            if (std::memcmp(bytes + i, magic, MAGIC_SIZE) == 0 && bytes[i + MAGIC_SIZE] != 0) {
                ahead.at = i;
                ahead.end = end;
                return consumed + i - MAGIC_SIZE;
            }
            ++i;
        }
        std::memmove(bytes, bytes + got, MAGIC_SIZE);
        consumed += got;
    }
}

}  // namespace zelno
