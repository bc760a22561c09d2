#pragma once
// Small helpers shared by the SM3 and SM4 tests.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace hashtest {

using Bytes = std::vector<unsigned char>;

inline Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const unsigned char* p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }

inline Bytes randomBytes(std::mt19937& rng, std::size_t n)
{
    Bytes b(n);
    for (auto& c : b) {
        c = static_cast<unsigned char>(rng());
    }
    return b;
}

}  // namespace hashtest
