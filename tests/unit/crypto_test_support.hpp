// Helpers shared by the cipher and digest tests: hex, random bytes, the
// published vectors and the openssl command line as an independent reference.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
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

// A data file of tests/vectors, built into the program.
struct VectorText {
    std::string_view name, text;
};

// One line of a data file: its fields after the kind. The accessors throw on
// a malformed field, which fails the test that asked.
struct Vector {
    std::string where;  // "aes.txt:5", for the messages
    std::vector<std::string> fields;

    // Hex bytes in order; "-" is none.
    Bytes bytes(std::size_t i) const {
        const std::string& f = fields.at(i);
        if (f == "-") return {};
        if (f.size() % 2 != 0 || f.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw std::runtime_error(where + ": field " + std::to_string(i + 1) + " is no hex: " + f);
        return from_hex(f);
    }
    std::size_t number(std::size_t i) const {
        const std::string& f = fields.at(i);
        if (f.empty() || f.find_first_not_of("0123456789") != std::string::npos)
            throw std::runtime_error(where + ": field " + std::to_string(i + 1) + " is no number: " + f);
        return std::stoul(f);
    }
};

// The vectors of one kind in a file whose kinds each take the given number
// of fields. A line of another kind or size, or no vector of the kind asked
// for, throws.
inline std::vector<Vector> vectors(const VectorText& file, const std::map<std::string, std::size_t>& kinds,
                                   const std::string& kind) {
    std::vector<Vector> found;
    std::istringstream lines{std::string(file.text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
        if (fields.empty()) continue;
        const std::string where = std::string(file.name) + ":" + std::to_string(number);
        const auto known = kinds.find(fields[0]);
        if (known == kinds.end() || known->second != fields.size() - 1)
            throw std::runtime_error(where + ": unknown kind or wrong number of fields: " + line);
        if (fields[0] == kind) found.push_back({where, {fields.begin() + 1, fields.end()}});
    }
    if (found.empty()) throw std::runtime_error(std::string(file.name) + ": no vectors of kind " + kind);
    return found;
}

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

// One VectorText for each data file, generated from tests/vectors/*.txt.
#include "test_vectors.hpp"
