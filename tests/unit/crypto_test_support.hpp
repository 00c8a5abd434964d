// Helpers shared by the cipher and digest tests: hex, random bytes and the
// openssl command line as an independent reference.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace zelno::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string to_hex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

inline Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

inline bool openssl_on_path() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

// A fresh folder in the system's temporary folder, removed with its files at
// scope end.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::random_device random;
        std::error_code ignored;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            auto candidate =
                std::filesystem::temp_directory_path(ignored) / ("zelno-crypto-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate, ignored)) path = candidate.string();
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& name, const Bytes& data) {
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes read_file(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Output of `openssl <args> -in <input> -out <file>`; empty when it fails.
inline Bytes openssl_filter(const std::string& args, const Bytes& input) {
    ScratchDir dir;
    write_file(dir.file("in"), input);
    const std::string cmd = "openssl " + args + " -in " + dir.file("in") + " -out " + dir.file("out") + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0 ? read_file(dir.file("out")) : Bytes{};
}

}  // namespace zelno::test
