// What zelno's primitives and their peers are measured over: the same key and
// the same 64 KiB, in place.
#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelno::bench {

inline constexpr std::size_t buffer_bytes = 64 * 1024;

inline std::vector<std::uint8_t> filled(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return v;
}

// 32 bytes: Twofish and AES with 256-bit keys.
inline const std::array<std::uint8_t, 32>& key() {
    static const std::array<std::uint8_t, 32> bytes = [] {
        std::array<std::uint8_t, 32> k{};
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 29 + 3);
        return k;
    }();
    return bytes;
}

inline void count_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

}  // namespace zelno::bench
