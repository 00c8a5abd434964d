// libgcrypt's Twofish and AES-256 in CBC and its SHA-1 as peers of zelno's
// primitives (primitives_bench.cpp), through its public interface: the
// benchmarks link it where it is installed; the program never does.
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <vector>

#include "bench/primitives.hpp"

namespace zelno {
namespace {

bool started() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

void cipher_cbc(benchmark::State& state, int algorithm, bool decrypt) {
    gcry_cipher_hd_t handle = nullptr;
    if (!started() || gcry_cipher_open(&handle, algorithm, GCRY_CIPHER_MODE_CBC, 0) != 0) {
        state.SkipWithError("libgcrypt refused the cipher");
        return;
    }
    auto data = bench::filled(bench::buffer_bytes);
    const auto iv = bench::filled(16);
    gcry_cipher_setkey(handle, bench::key().data(), bench::key().size());
    gcry_cipher_setiv(handle, iv.data(), iv.size());
    for (auto _ : state) {
        if (decrypt) {
            gcry_cipher_decrypt(handle, data.data(), data.size(), nullptr, 0);
        } else {
            gcry_cipher_encrypt(handle, data.data(), data.size(), nullptr, 0);
        }
        benchmark::ClobberMemory();
    }
    gcry_cipher_close(handle);
    bench::count_bytes(state);
}

void sha1(benchmark::State& state) {
    gcry_md_hd_t handle = nullptr;
    if (!started() || gcry_md_open(&handle, GCRY_MD_SHA1, 0) != 0) {
        state.SkipWithError("libgcrypt refused SHA-1");
        return;
    }
    const auto data = bench::filled(bench::buffer_bytes);
    for (auto _ : state) {
        gcry_md_write(handle, data.data(), data.size());
        benchmark::ClobberMemory();
    }
    gcry_md_close(handle);
    bench::count_bytes(state);
}

BENCHMARK_CAPTURE(cipher_cbc, twofish_encrypt, GCRY_CIPHER_TWOFISH, false)
    ->Name("primitive/libgcrypt/twofish_cbc_encrypt");
BENCHMARK_CAPTURE(cipher_cbc, twofish_decrypt, GCRY_CIPHER_TWOFISH, true)
    ->Name("primitive/libgcrypt/twofish_cbc_decrypt");
BENCHMARK_CAPTURE(cipher_cbc, aes_encrypt, GCRY_CIPHER_AES256, false)->Name("primitive/libgcrypt/aes256_cbc_encrypt");
BENCHMARK_CAPTURE(cipher_cbc, aes_decrypt, GCRY_CIPHER_AES256, true)->Name("primitive/libgcrypt/aes256_cbc_decrypt");
BENCHMARK(sha1)->Name("primitive/libgcrypt/sha1");

}  // namespace
}  // namespace zelno
