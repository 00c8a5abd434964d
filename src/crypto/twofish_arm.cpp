// ARMv8 has no Twofish path of its own yet (its table look-ups are 64 bytes
// wide): the portable code serves.
#include "crypto/fast_paths.hpp"

namespace zelno {

bool cpu_has_twofish_vector_instructions() { return false; }

void Twofish_cbc_decrypt_hw(const TwofishKey& expanded_key, Twofish_Byte* chain, Twofish_Byte* data,
                            std::size_t count) {
    Twofish_cbc_decrypt_portable(expanded_key, chain, data, count);
}

}  // namespace zelno
