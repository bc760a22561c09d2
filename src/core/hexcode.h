#pragma once
// Hexadecimal text: two digits per byte, high nibble first.

#include <string>

class HexCode {
public:
    // Digits from "0123456789ABCDEF" when upper, else "0123456789abcdef".
    static std::string encode(const std::string& input, bool upper);
    // Reads pairs from the start; a trailing single character is ignored.
    // Each pair gives (hex2val(first) << 4 | hex2val(second)) kept to eight
    // bits, so a non-digit is not refused but folded in by its own code.
    static std::string decode(const std::string& input);
    // 0-9, a-f and A-F give 0 to 15; any other character gives its own code
    // (the byte value, 0 to 255).
    static int hex2val(char ch);
};
