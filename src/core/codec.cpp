#include "core/codec.h"

#include "core/base64.h"

bool ICodec::utf82unicode(const std::string& text, std::wstring& out)
{
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    std::wstring result;
    result.reserve(n);
    size_t i = 0;
    while (i < n) {
        const unsigned char b0 = p[i];
        if (b0 < 0x80) {
            result.push_back(static_cast<wchar_t>(b0));
            ++i;
            continue;
        }
        size_t len;
        char32_t cp;
        char32_t min;
        if ((b0 & 0xE0) == 0xC0) {
            len = 2; cp = b0 & 0x1F; min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3; cp = b0 & 0x0F; min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4; cp = b0 & 0x07; min = 0x10000;
        } else {
            return false;
        }
        if (len > n - i) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            const unsigned char b = p[i + k];
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        result.push_back(static_cast<wchar_t>(cp));
        i += len;
    }
    out.swap(result);
    return true;
}

std::wstring ICodec::utf82unicode(const std::string& text)
{
    std::wstring out;
    utf82unicode(text, out);
    return out;
}

std::string ICodec::encode(const std::string& data)
{
    return Base64::encode64(data);
}

std::string ICodec::pemencode(const std::string& str, const std::string& tag)
{
    constexpr size_t kLine = 64;
    const std::string body = Base64::encode64(str);
    std::string out = "-----BEGIN " + tag + "-----\n";
    out.reserve(out.size() + body.size() + body.size() / kLine + tag.size() + 20);
    for (size_t i = 0; i < body.size(); i += kLine) {
        out.append(body, i, kLine);
        out.push_back('\n');
    }
    out += "-----END " + tag + "-----";
    return out;
}
