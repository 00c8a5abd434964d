// Throughput of the AES block and CBC operations and of the SHA-1 digest,
// portable and on the processor's instructions, in bytes per second.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/aes.hpp"
#include "crypto/fast_paths.hpp"
#include "crypto/sha1.hpp"

namespace zelno {
namespace {

constexpr std::size_t buffer_bytes = 64 * 1024;

std::vector<std::uint8_t> filled(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return v;
}

int expand(AesKey& key, bool decrypt, int bits) {
    const auto bytes = filled(32);
    return decrypt ? aes_expand_decrypt_key(key, bytes.data(), bits) : aes_expand_encrypt_key(key, bytes.data(), bits);
}

void block_encrypt(benchmark::State& state) {
    AesKey key{};
    const int rounds = expand(key, false, static_cast<int>(state.range(0)));
    auto block = filled(16);
    for (auto _ : state) {
        aes_encrypt_block(key, rounds, block.data(), block.data());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}

void block_decrypt(benchmark::State& state) {
    AesKey key{};
    const int rounds = expand(key, true, static_cast<int>(state.range(0)));
    auto block = filled(16);
    for (auto _ : state) {
        aes_decrypt_block(key, rounds, block.data(), block.data());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}

using CbcFunction = void (*)(const AesKey&, int, std::uint8_t*, std::uint8_t*, std::size_t);

// An encryption entry point in the in-place shape of the others.
template <auto Encrypt>
void in_place(const AesKey& k, int rounds, std::uint8_t* chain, std::uint8_t* data, std::size_t count) {
    Encrypt(k, rounds, chain, data, data, count);
}

void cbc(benchmark::State& state, CbcFunction run, bool decrypt, bool needs_aes) {
    if (needs_aes && !cpu_has_aes_instructions()) {
        state.SkipWithError("no AES instructions");
        return;
    }
    AesKey key{};
    const int rounds = expand(key, decrypt, static_cast<int>(state.range(0)));
    auto data = filled(buffer_bytes);
    auto chain = filled(16);
    for (auto _ : state) {
        run(key, rounds, chain.data(), data.data(), buffer_bytes / 16);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

void compress(benchmark::State& state, void (*run)(std::array<std::uint32_t, 5>&, const std::uint8_t*, std::size_t),
              bool needs_sha) {
    if (needs_sha && !cpu_has_sha_instructions()) {
        state.SkipWithError("no SHA instructions");
        return;
    }
    std::array<std::uint32_t, 5> chaining = {1, 2, 3, 4, 5};
    const auto data = filled(buffer_bytes);
    for (auto _ : state) {
        run(chaining, data.data(), buffer_bytes / 64);
        benchmark::DoNotOptimize(chaining);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

// digest_add as the program uses it: pieces of range(0) bytes.
void digest_add_pieces(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    const auto data = filled(buffer_bytes);
    DigestState digest{};
    digest_begin(digest);
    for (auto _ : state) {
        for (std::size_t at = 0; at < buffer_bytes; at += piece) {
            digest_add(digest, data.data() + at, static_cast<std::int32_t>(piece));
        }
        benchmark::DoNotOptimize(digest.chaining);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

BENCHMARK(block_encrypt)->Name("aes_encrypt_block")->Arg(128)->Arg(256);
BENCHMARK(block_decrypt)->Name("aes_decrypt_block")->Arg(128)->Arg(256);
BENCHMARK_CAPTURE(cbc, encrypt_portable, in_place<aes_cbc_encrypt_portable>, false, false)->Arg(128)->Arg(256);
BENCHMARK_CAPTURE(cbc, decrypt_portable, aes_cbc_decrypt_portable, true, false)->Arg(128)->Arg(256);
BENCHMARK_CAPTURE(cbc, encrypt_hw, in_place<aes_cbc_encrypt_hw>, false, true)->Arg(128)->Arg(256);
BENCHMARK_CAPTURE(cbc, decrypt_hw, aes_cbc_decrypt_hw, true, true)->Arg(128)->Arg(256);
BENCHMARK_CAPTURE(compress, sha1_portable, sha1_compress_portable, false);
BENCHMARK_CAPTURE(compress, sha1_hw, sha1_compress_hw, true);
BENCHMARK(digest_add_pieces)->Name("digest_add")->Arg(16)->Arg(65536);

}  // namespace
}  // namespace zelno
