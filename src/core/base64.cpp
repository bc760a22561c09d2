#include "core/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<uint8_t, 256> makeDecodeTable()
{
    std::array<uint8_t, 256> table{};
    for (auto& v : table) {
        v = kNotInAlphabet;
    }
    for (uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = makeDecodeTable();

}  // namespace

std::string Base64::encode64(const std::string& input)
{
    std::string out;
    out.reserve(input.size() * 2);
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    const size_t n = input.size();
    size_t i = 0;
    for (; n - i >= 3; i += 3) {
        const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 0x3F]);
        out.push_back(kAlphabet[(v >> 12) & 0x3F]);
        out.push_back(kAlphabet[(v >> 6) & 0x3F]);
        out.push_back(kAlphabet[v & 0x3F]);
    }
    if (n - i == 1) {
        const uint32_t v = uint32_t(p[i]) << 16;
        out.push_back(kAlphabet[(v >> 18) & 0x3F]);
        out.push_back(kAlphabet[(v >> 12) & 0x3F]);
        out.append("==");
    } else if (n - i == 2) {
        const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        out.push_back(kAlphabet[(v >> 18) & 0x3F]);
        out.push_back(kAlphabet[(v >> 12) & 0x3F]);
        out.push_back(kAlphabet[(v >> 6) & 0x3F]);
        out.push_back('=');
    }
    return out;
}

std::string Base64::decode64(const std::string& input)
{
    std::string out;
    out.reserve(input.size() / 4 * 3 + 2);
    uint8_t group[4];
    size_t have = 0;
    for (const char c : input) {
        if (c == '=') {
            break;
        }
        const uint8_t v = kDecode[static_cast<unsigned char>(c)];
        if (v == kNotInAlphabet) {
            continue;
        }
        group[have++] = v;
        if (have == 4) {
            out.push_back(static_cast<char>((group[0] << 2) | (group[1] >> 4)));
            out.push_back(static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
            out.push_back(static_cast<char>(((group[2] & 0x03) << 6) | group[3]));
            have = 0;
        }
    }
    // A partial group: two characters hold one byte, three hold two.
    if (have >= 2) {
        out.push_back(static_cast<char>((group[0] << 2) | (group[1] >> 4)));
    }
    if (have == 3) {
        out.push_back(static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
    }
    return out;
}
