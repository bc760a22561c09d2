#include "core/hexcode.h"

std::string HexCode::encode(const std::string& input, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(input.size() * 2);
    for (const char c : input) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::string HexCode::decode(const std::string& input)
{
    std::string out;
    out.reserve(input.size() / 2);
    for (size_t i = 0; i + 1 < input.size(); i += 2) {
        const int v = (hex2val(input[i]) << 4) | hex2val(input[i + 1]);
        out.push_back(static_cast<char>(v & 0xFF));
    }
    return out;
}

int HexCode::hex2val(char ch)
{
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return static_cast<unsigned char>(ch);
}
