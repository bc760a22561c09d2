#include "core/CodePage.h"

#include "core/codec.h"

#include <iconv.h>

#include <cstring>
#include <vector>

int CodePage::g_nCodePage = 65001;

namespace {
// GB2312 output capacity: a translation that needs more is refused rather
// than cut, since a cut message would be signed as if it were whole.
constexpr size_t kGbBufferSize = 4096;
}

int CodePage::Get()
{
    return g_nCodePage;
}

void CodePage::Set(int codePage)
{
    g_nCodePage = codePage;
}

std::string CodePage::GetTranslate(const std::string& text)
{
    const int cp = g_nCodePage;
    if (cp <= 0) {
        std::wstring wide;
        if (!ICodec::utf82unicode(text, wide)) {
            return std::string();
        }
        std::string out;
        out.reserve(wide.size() * 2);
        for (wchar_t wc : wide) {
            const auto v = static_cast<unsigned long>(wc);
            out.push_back(static_cast<char>(v & 0xFF));
            out.push_back(static_cast<char>((v >> 8) & 0xFF));
        }
        return out;
    }
    if (cp == 963) {
        std::vector<char> buf(kGbBufferSize, 0);
        const int n = u2g(text.data(), text.size(), buf.data(), kGbBufferSize - 1);
        if (n <= 0) {
            return std::string();
        }
        return std::string(buf.data(), static_cast<size_t>(n));
    }
    return text;
}

int code_convert(const char* from, const char* to, const char* in, size_t inlen, char* out, size_t outlen)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return -1;
    }
    std::memset(out, 0, outlen);
    // iconv takes a non-const input pointer; give it a copy.
    std::vector<char> src(in, in + inlen);
    char* pin = src.data();
    size_t inleft = inlen;
    char* pout = out;
    size_t outleft = outlen;
    const size_t rc = iconv(cd, inlen ? &pin : nullptr, &inleft, &pout, &outleft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inleft != 0) {
        return -1;
    }
    return static_cast<int>(outlen - outleft);
}

int u2g(const char* in, size_t inlen, char* out, size_t outlen)
{
    return code_convert("utf-8", "gb2312", in, inlen, out, outlen);
}

int g2u(const char* in, size_t inlen, char* out, size_t outlen)
{
    return code_convert("gb2312", "utf-8", in, inlen, out, outlen);
}
