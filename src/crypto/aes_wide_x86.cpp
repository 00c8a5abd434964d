// AES CBC decryption on whole AVX-512 registers: four blocks an
// instruction (VAES), four registers side by side, 16 blocks a turn. Each
// block takes the ciphertext block before it, which for the first of a
// register is the last of the one before. Only this file's functions are
// compiled for these instructions.

// GCC 12's AVX-512 headers make their "undefined" registers out of
// themselves, which -Wuninitialized (and, in the sanitizer builds,
// -Wmaybe-uninitialized, a warning clang does not know) reports where they
// are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "crypto/aes_wide_x86.hpp"

#include "crypto/fast_paths.hpp"
#include "crypto/wipe.hpp"

namespace zelno {
namespace {

template <int Rounds>
__attribute__((target("avx512f,vaes"))) void decrypt(const __m128i* rk128, __m128i& chain, std::uint8_t*& data,
                                                     std::size_t& count) {
    constexpr int N = 4;
    __m512i rk[Rounds + 1];
    for (int r = 0; r <= Rounds; ++r) rk[r] = _mm512_broadcast_i32x4(rk128[r]);
    __m512i previous = _mm512_inserti32x4(_mm512_setzero_si512(), chain, 3);
    for (; count >= 4 * N; count -= 4 * N, data += 64 * N) {
        __m512i in[N];
        __m512i s[N];
        for (int j = 0; j < N; ++j) {
            in[j] = _mm512_loadu_si512(data + 64 * j);
            s[j] = _mm512_xor_si512(in[j], rk[0]);
        }
        for (int r = 1; r < Rounds; ++r) {
            for (int j = 0; j < N; ++j) s[j] = _mm512_aesdec_epi128(s[j], rk[r]);
        }
        for (int j = 0; j < N; ++j) {
            s[j] = _mm512_aesdeclast_epi128(s[j], rk[Rounds]);
            _mm512_storeu_si512(data + 64 * j, _mm512_xor_si512(s[j], _mm512_alignr_epi32(in[j], previous, 12)));
            previous = in[j];
        }
    }
    chain = _mm512_extracti32x4_epi32(previous, 3);
    wipe(rk, sizeof rk);  // one of the round keys is the key itself
}

}  // namespace

void aes_cbc_decrypt_wide(const __m128i* rk, int rounds, __m128i& chain, std::uint8_t*& data, std::size_t& count) {
    with_round_count(rounds, [&](auto r) { decrypt<r()>(rk, chain, data, count); });
}

}  // namespace zelno
