#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <vector>

#include "crypto/twofish.hpp"

namespace zelno {
namespace {

const std::array<Twofish_Byte, 32> bench_key{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba,
                                             0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                             0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

TwofishKey& started_key() {
    static TwofishKey key = [] {
        Twofish_start();
        TwofishKey k;
        Twofish_prepare_key(bench_key.data(), 32, k);
        return k;
    }();
    return key;
}

// Whole start: tables plus the self-test, paid at every Twofish key setup.
void BM_TwofishStart(benchmark::State& state) {
    for (auto _ : state) Twofish_start();
}
BENCHMARK(BM_TwofishStart)->Unit(benchmark::kMicrosecond);

void BM_PrepareKey(benchmark::State& state) {
    started_key();
    const int length = static_cast<int>(state.range(0));
    TwofishKey k;
    for (auto _ : state) {
        Twofish_prepare_key(bench_key.data(), length, k);
        benchmark::DoNotOptimize(k);
    }
}
BENCHMARK(BM_PrepareKey)->Arg(16)->Arg(24)->Arg(32);

void BM_EncryptBlock(benchmark::State& state) {
    const TwofishKey& k = started_key();
    std::array<Twofish_Byte, 16> block{};
    for (auto _ : state) {
        Twofish_encrypt_block(k, block.data(), block.data());
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_EncryptBlock);

void BM_DecryptBlock(benchmark::State& state) {
    const TwofishKey& k = started_key();
    std::array<Twofish_Byte, 16> block{};
    for (auto _ : state) {
        Twofish_decrypt_block(k, block.data(), block.data());
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_DecryptBlock);

void BM_CbcEncrypt(benchmark::State& state) {
    const TwofishKey& k = started_key();
    const std::size_t blocks = static_cast<std::size_t>(state.range(0));
    std::vector<Twofish_Byte> data(16 * blocks, 0x5a);
    std::array<Twofish_Byte, 16> chain{};
    for (auto _ : state) {
        Twofish_cbc_encrypt(k, chain.data(), data.data(), data.data(), blocks);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_CbcEncrypt)->Arg(256)->Arg(4096);

void BM_CbcDecrypt(benchmark::State& state) {
    const TwofishKey& k = started_key();
    const std::size_t blocks = static_cast<std::size_t>(state.range(0));
    std::vector<Twofish_Byte> data(16 * blocks, 0x5a);
    std::array<Twofish_Byte, 16> chain{};
    for (auto _ : state) {
        Twofish_cbc_decrypt(k, chain.data(), data.data(), blocks);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_CbcDecrypt)->Arg(256)->Arg(4096);

}  // namespace
}  // namespace zelno
