#pragma once
// Base64 with the standard alphabet and "=" padding, never line-broken.

#include <string>

class Base64 {
public:
    // Four characters per three bytes; a short last group is padded with "="
    // (two for one byte, one for two bytes). No line breaks, however long.
    static std::string encode64(const std::string& input);

    // Decodes Base64 text. Decoding ends at the first "=", wherever it
    // stands. Bytes outside the alphabet (line breaks, blanks, anything else)
    // are skipped as if absent, so text wrapped into lines decodes like the
    // same text unwrapped. A last group of two or three characters gives one
    // or two bytes; a single character left over carries fewer than eight
    // bits and gives nothing.
    static std::string decode64(const std::string& input);
};
