#pragma once
// Text codecs shared by the service and the token layers.

#include <string>

class ICodec {
public:
    // Decodes UTF-8 into one wide character per Unicode scalar value.
    // Malformed input (bad or truncated sequences, overlong forms, surrogates,
    // values above U+10FFFF) gives false and an empty output.
    static bool utf82unicode(const std::string& text, std::wstring& out);
    // Convenience form: the empty string when the text is not valid UTF-8.
    static std::wstring utf82unicode(const std::string& text);

    // Base64 text, the same as Base64::encode64.
    static std::string encode(const std::string& data);
    // PEM text: "-----BEGIN tag-----", the Base64 of str in lines of 64
    // characters, each ending in a line feed, then "-----END tag-----"
    // with no line feed after it.
    static std::string pemencode(const std::string& str, const std::string& tag);
};
