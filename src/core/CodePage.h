#pragma once
// The process code page: the page sets it, and text that goes to a token
// (names to list, messages to sign) is translated into it.

#include <cstddef>
#include <string>

class CodePage {
public:
    static int Get();
    static void Set(int codePage);
    // 0 or below: UTF-16LE without BOM (low 16 bits of each character);
    // 963: GB2312; anything else: the text unchanged.
    // Text that cannot be translated gives the empty string.
    static std::string GetTranslate(const std::string& text);

    static int g_nCodePage;
};

// iconv conversions. Each returns the number of bytes written to out, or -1.
int code_convert(const char* from, const char* to, const char* in, size_t inlen, char* out, size_t outlen);
int u2g(const char* in, size_t inlen, char* out, size_t outlen);
int g2u(const char* in, size_t inlen, char* out, size_t outlen);
