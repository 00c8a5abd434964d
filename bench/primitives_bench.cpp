// zelno's primitives as the program calls them (the entry points choose the
// processor's instructions where it has them), one core, over the same 64 KiB
// as the peers of libgcrypt_bench.cpp: bench/compare sets the two side by side.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/primitives.hpp"
#include "crypto/aes.hpp"
#include "crypto/aes_sha1.hpp"
#include "crypto/sha1.hpp"
#include "crypto/twofish.hpp"

namespace zelno {
namespace {

void twofish_cbc(benchmark::State& state, bool decrypt) {
    Twofish_start();
    TwofishKey key;
    Twofish_prepare_key(bench::key().data(), static_cast<int>(bench::key().size()), key);
    auto data = bench::filled(bench::buffer_bytes);
    auto chain = bench::filled(16);
    for (auto _ : state) {
        if (decrypt) {
            Twofish_cbc_decrypt(key, chain.data(), data.data(), data.size() / 16);
        } else {
            Twofish_cbc_encrypt(key, chain.data(), data.data(), data.data(), data.size() / 16);
        }
        benchmark::ClobberMemory();
    }
    bench::count_bytes(state);
}

enum class AesRun { encrypt, decrypt, encrypt_and_digest };

void aes256_cbc(benchmark::State& state, AesRun what) {
    AesKey key{};
    const int rounds = what == AesRun::decrypt ? aes_expand_decrypt_key(key, bench::key().data(), 256)
                                               : aes_expand_encrypt_key(key, bench::key().data(), 256);
    auto data = bench::filled(bench::buffer_bytes);
    auto chain = bench::filled(16);
    DigestState digest{};
    digest_begin(digest);
    for (auto _ : state) {
        switch (what) {
            case AesRun::encrypt:
                aes_cbc_encrypt(key, rounds, chain.data(), data.data(), data.data(), data.size() / 16);
                break;
            case AesRun::decrypt: aes_cbc_decrypt(key, rounds, chain.data(), data.data(), data.size() / 16); break;
            case AesRun::encrypt_and_digest:
                aes_cbc_encrypt_digest(key, rounds, chain.data(), data.data(), data.data(), data.size() / 16, digest);
                break;
        }
        benchmark::ClobberMemory();
    }
    bench::count_bytes(state);
}

void sha1(benchmark::State& state) {
    const auto data = bench::filled(bench::buffer_bytes);
    DigestState digest{};
    digest_begin(digest);
    for (auto _ : state) {
        digest_add(digest, data.data(), static_cast<std::int32_t>(data.size()));
        benchmark::DoNotOptimize(digest.chaining);
    }
    bench::count_bytes(state);
}

BENCHMARK_CAPTURE(twofish_cbc, encrypt, false)->Name("primitive/zelno/twofish_cbc_encrypt");
BENCHMARK_CAPTURE(twofish_cbc, decrypt, true)->Name("primitive/zelno/twofish_cbc_decrypt");
BENCHMARK_CAPTURE(aes256_cbc, encrypt, AesRun::encrypt)->Name("primitive/zelno/aes256_cbc_encrypt");
BENCHMARK_CAPTURE(aes256_cbc, decrypt, AesRun::decrypt)->Name("primitive/zelno/aes256_cbc_decrypt");
BENCHMARK_CAPTURE(aes256_cbc, encrypt_and_digest, AesRun::encrypt_and_digest)
    ->Name("primitive/zelno/aes256_cbc_encrypt_sha1");
BENCHMARK(sha1)->Name("primitive/zelno/sha1");

}  // namespace
}  // namespace zelno
