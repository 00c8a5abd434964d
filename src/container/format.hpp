// Container layout: the format flags, the header pieces of layouts A and B,
// and the search for a container inside a larger file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "crypto/byte_order.hpp"

namespace zelno {

inline constexpr std::uint8_t FLAG_ALG_MASK = 0x03;       // 1 = Twofish, 2 = AES
inline constexpr std::uint8_t FLAG_IV_SERIES = 0x04;      // vector starts as a descending series
inline constexpr std::uint8_t FLAG_STAMP = 0x08;          // MetaBlock carries a clock stamp
inline constexpr std::uint8_t FLAG_SIZE_IN_CLEAR = 0x10;  // layout B
inline constexpr std::uint8_t FLAG_IV_SHIFT = 0x20;       // vector bytes shifted right
// A plaintext of 4 GiB or more: the size in clear counts LARGE_UNIT pieces of
// data, the last one filled with zeros, and MetaBlock holds the whole size,
// its upper word in place of the stamp. Only with layout B and no stamp.
inline constexpr std::uint8_t FLAG_LARGE = 0x40;

inline constexpr std::uint8_t ALG_TWOFISH = 1;
inline constexpr std::uint8_t ALG_AES = 2;
inline constexpr std::uint8_t FLAGS_TWOFISH = 0x35;  // what e and s write
inline constexpr std::uint8_t FLAGS_AES = 0x36;      // what ea and sa write
inline constexpr std::uint8_t FLAGS_NEWEST = 0x36;   // readers refuse anything above, but FLAG_LARGE

inline constexpr std::size_t BLOCK_SIZE = 16;
inline constexpr std::size_t MAGIC_SIZE = 3;
inline constexpr std::size_t META_SIZE = 16;
inline constexpr std::size_t NAME_FIELD_SIZE = 256;
inline constexpr std::size_t DIGEST_SIZE = 20;
// MetaBlock and NameField: one run of blocks in the chain and the digest.
inline constexpr std::size_t HEADER_PIECES_SIZE = META_SIZE + NAME_FIELD_SIZE;
// What FLAG_LARGE's size in clear counts.
inline constexpr std::uint64_t LARGE_UNIT = 1 << 20;
// The first size that needs FLAG_LARGE.
inline constexpr std::uint64_t LARGE_SIZE = std::uint64_t{1} << 32;

// `size` rounded up to a multiple of `unit` (a power of two).
constexpr std::uint64_t round_up(std::uint64_t size, std::uint64_t unit) { return (size + unit - 1) & ~(unit - 1); }

// Offsets in layout B, which is also the reader's working arrangement.
inline constexpr std::size_t OFFSET_FLAGS = 3;
inline constexpr std::size_t OFFSET_CLEAR_SIZE = 4;
inline constexpr std::size_t OFFSET_META = 8;
inline constexpr std::size_t OFFSET_NAME = 24;
inline constexpr std::size_t OFFSET_DIGEST = 280;
inline constexpr std::size_t HEADER_SIZE = 300;    // layout B
inline constexpr std::size_t HEADER_SIZE_A = 296;  // layout A: no clear_size

// The magic as a NUL-terminated string. The program's own image must never
// hold the three magic bytes followed by a non-zero byte, or every start would
// take the program for a self-decrypting executable.
extern const char container_magic[MAGIC_SIZE + 1];

struct MetaBlock {
    std::uint32_t stamp = 0;  // clock stamp when FLAG_STAMP is set
    std::uint32_t size = 0;   // plaintext size in layout A
    std::uint32_t mtime = 0;  // modification time, seconds since 1970 UTC
    std::uint32_t mode = 0;   // file mode bits, stored only
};

// How a plaintext of `size` bytes is recorded: the flag it adds, the size in
// clear, MetaBlock's two size words, and the bytes of data its chain carries.
struct SizeFields {
    std::uint8_t flag = 0;
    std::uint32_t clear = 0;
    std::uint32_t meta_size = 0;
    std::uint32_t meta_stamp = 0;
    std::uint64_t data_bytes = 0;
};
SizeFields size_fields(std::uint64_t size);

// Whether a reader takes a container of these flags: up to FLAGS_NEWEST, or
// FLAG_LARGE over a layout-B flags byte without a stamp.
bool flags_supported(std::uint8_t flags);

// The bytes of data a layout-B header announces (without FLAG_LARGE, the
// size in clear rounded up to whole blocks).
std::uint64_t announced_data_bytes(std::uint8_t flags, std::uint32_t clear);
// The plaintext size MetaBlock records, where its words hold as the format
// fixes them for these flags and the size in clear: a wrong key shows here
// before the digest. Layout A: MetaBlock's size; layout B: the size in
// clear (MetaBlock's copy is 0 from writers before 1.1.0).
std::optional<std::uint64_t> recorded_size(std::uint8_t flags, std::uint32_t clear, const MetaBlock& meta);

struct ContainerHeader {
    std::array<std::uint8_t, HEADER_SIZE> bytes{};

    std::uint8_t& flags() { return bytes[OFFSET_FLAGS]; }
    std::span<std::uint8_t, META_SIZE> meta() { return std::span(bytes).subspan<OFFSET_META, META_SIZE>(); }
    std::span<std::uint8_t, NAME_FIELD_SIZE> name() { return std::span(bytes).subspan<OFFSET_NAME, NAME_FIELD_SIZE>(); }
    std::span<std::uint8_t, DIGEST_SIZE> digest() { return std::span(bytes).subspan<OFFSET_DIGEST, DIGEST_SIZE>(); }
    std::uint32_t clear_size() const { return load_le32(&bytes[OFFSET_CLEAR_SIZE]); }
    void set_clear_size(std::uint32_t size) { store_le32(&bytes[OFFSET_CLEAR_SIZE], size); }
    MetaBlock read_meta() const;
    void write_meta(const MetaBlock& meta);
    bool has_magic() const;
    void set_magic();
};

// Bytes read from a stream before its reader wanted them: the scan's last
// buffer, from the container's first byte on. The reader takes them first.
struct ReadAhead {
    // The three bytes before the last buffer read, then that buffer.
    std::array<std::uint8_t, MAGIC_SIZE + 64 * 1024> bytes;
    std::size_t at = 0;
    std::size_t end = 0;
};

// Scans the stream from its current position for the magic followed by a
// non-zero byte, reading forward only (a pipe does). Returns the offset of
// the first such container from where the scan began, with the bytes read of
// it in `ahead`. Without a find the stream is left at its end (or at a read
// fault) and `ahead` is empty.
std::optional<std::uint64_t> locate_payload(std::FILE* stream, ReadAhead& ahead);

}  // namespace zelno
