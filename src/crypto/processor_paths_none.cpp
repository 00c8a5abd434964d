// A build without processor paths: the processor never reports the
// instructions, so the entry points always take the portable code.
#include "crypto/fast_paths.hpp"

namespace zelno {

bool cpu_has_aes_instructions() { return false; }
bool cpu_has_sha_instructions() { return false; }
bool cpu_has_twofish_vector_instructions() { return false; }
bool cpu_has_stitched_aes_sha1() { return false; }
bool cpu_has_wide_aes_instructions() { return false; }

void aes_cbc_encrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count) {
    aes_cbc_encrypt_portable(key, rounds, chain, in, out, count);
}

void aes_cbc_decrypt_hw(const AesKey& key, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    aes_cbc_decrypt_portable(key, rounds, chain, data, count);
}

void sha1_compress_hw(std::array<std::uint32_t, 5>& chaining, const std::uint8_t* blocks, std::size_t count) {
    sha1_compress_portable(chaining, blocks, count);
}

void aes_cbc_encrypt_sha1_hw(const AesKey& key, int rounds, std::uint8_t* chain, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t groups, std::array<std::uint32_t, 5>& chaining) {
    sha1_compress_portable(chaining, in, groups);
    aes_cbc_encrypt_portable(key, rounds, chain, in, out, 4 * groups);
}

void Twofish_cbc_decrypt_hw(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data,
                            std::size_t count) {
    Twofish_cbc_decrypt_portable(expanded_key, chain, data, count);
}

}  // namespace zelno
