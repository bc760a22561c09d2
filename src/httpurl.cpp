#include "httpurl.h"

#include "OpenSSLHelper.h"
#include "Utils.h"

#include <cstring>

namespace {

const std::string_view kCrlf = "\r\n";
const std::string_view kBlankLine = "\r\n\r\n";
const std::string_view kContentLength = "Content-Length: ";

bool IsUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

// Reads a member of the encrypted form as text; objects and arrays count as empty.
std::string MemberText(const Json::Value& doc, const char* name)
{
    if (!doc.isObject()) {
        return std::string();
    }
    const Json::Value& v = doc[name];
    if (v.isNull() || v.isObject() || v.isArray()) {
        return std::string();
    }
    return v.asString();
}

}  // namespace

std::string CHttpUrl::EncodeUrl(const std::string& s)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() * 3);
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '*') {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            if (c >= 16) {
                out.push_back(kHex[c >> 4]);
            }
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string CHttpUrl::DecodeUrl(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    const size_t n = s.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (c == '%') {
            if (i + 2 < n && IsUpperHexDigit(s[i + 1]) && IsUpperHexDigit(s[i + 2])) {
                out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
                i += 2;
            } else if (i + 1 < n) {
                // Drop the "%"; the next character is taken as it is.
            } else {
                out.push_back('%');
            }
        } else if (c == '+') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

size_t CHttpRequest::SplitHeaders(std::string_view text, std::vector<std::string>& lines, std::string& contentLength)
{
    const size_t blank = text.find(kBlankLine);
    if (blank == std::string_view::npos) {
        return std::string_view::npos;
    }
    size_t pos = 0;
    for (;;) {
        const size_t end = text.find(kCrlf, pos);
        if (end == std::string_view::npos || end == pos) {
            break;
        }
        const std::string_view line = text.substr(pos, end - pos);
        const size_t cl = line.find(kContentLength);
        if (cl != std::string_view::npos) {
            contentLength.assign(line.substr(cl + kContentLength.size()));
        }
        lines.emplace_back(line);
        pos = end + kCrlf.size();
    }
    return blank + kBlankLine.size();
}

int CHttpRequest::Attach(const char* text)
{
    return Attach(text, text ? std::strlen(text) : 0);
}

int CHttpRequest::Attach(const char* text, size_t len)
{
    m_pDataPos = text;
    const std::string_view all(text ? text : "", text ? len : 0);
    const size_t body = SplitHeaders(all, m_vHeaders, m_strContentLength);
    if (body == std::string_view::npos) {
        return kNoBlankLine;
    }
    m_pContentPos = all.data() + body;
    if (m_vHeaders.empty()) {
        return kNoHeaders;
    }
    const std::string& first = m_vHeaders.front();
    const size_t sp1 = first.find(' ');
    if (sp1 == std::string::npos) {
        return kNoFirstSpace;
    }
    m_strRequestMethod = first.substr(0, sp1);
    const size_t sp2 = first.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) {
        return kNoSecondSpace;
    }
    m_strUrl = first.substr(sp1 + 1, sp2 - sp1 - 1);

    if (m_strRequestMethod == "POST") {
        size_t n = 0;
        // A length that is not a plain number, or that announces more than
        // arrived, leaves the body empty: the request is answered as malformed
        // instead of running a cut-off command.
        if (!ParseContentLength(m_strContentLength, n) || n > all.size() - body) {
            return kBadMethod;
        }
        m_strPostData.assign(m_pContentPos, n);
        return kParsed;
    }
    if (m_strRequestMethod == "GET") {
        ParseRequestUrl(m_strUrl);
        return kParsed;
    }
    return kBadMethod;
}

int CHttpRequest::Dettach()
{
    m_pDataPos = nullptr;
    m_pContentPos = nullptr;
    m_vHeaders.clear();
    m_mapGetPara.clear();
    m_strRequestMethod.clear();
    m_strUrl.clear();
    m_strContentLength.clear();
    m_strPostData.clear();
    return 0;
}

std::string CHttpRequest::QueryRequestPara(const std::string& name) const
{
    const auto it = m_mapGetPara.find(name);
    return it == m_mapGetPara.end() ? std::string() : it->second;
}

std::string CHttpRequest::GetHeaderField(const std::string& name) const
{
    const std::string prefix = name + ":";
    std::string value;
    for (const std::string& line : m_vHeaders) {
        if (line.size() > prefix.size() && line.compare(0, prefix.size(), prefix) == 0) {
            std::string rest = line.substr(prefix.size());
            const size_t first = rest.find_first_not_of(' ');
            value = first == std::string::npos ? rest : rest.substr(first);
        }
    }
    return value;
}

int CHttpRequest::ParseRequestUrl(const std::string& target)
{
    CHttpUrl codec;
    const std::string decoded = codec.DecodeUrl(target);
    const size_t q = decoded.find('?');
    if (q == std::string::npos) {
        return 0;
    }
    size_t pos = q + 1;
    for (;;) {
        const size_t amp = decoded.find('&', pos);
        const std::string token = decoded.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        const size_t eq = token.find('=');
        if (eq == std::string::npos) {
            break;
        }
        m_mapGetPara[token.substr(0, eq)] = token.substr(eq + 1);
        if (amp == std::string::npos) {
            break;
        }
        pos = amp + 1;
    }

    Json::Value doc;
    if (!JsonParseStrict(QueryRequestPara("str"), doc)) {
        return -1;
    }
    CHttpRequestAuthenticaor auth;
    auth.InitAuthenticaor(MemberText(doc, "rankey"), MemberText(doc, "datab"), MemberText(doc, "datac"));
    std::string command;
    auth.Decrypt(command);
    auth.ResetAuthenticaor();
    m_mapGetPara.erase("str");
    m_mapGetPara["str"] = command;
    return 1;
}

int CHttpRequest::DecstringToInt(const std::string& s)
{
    // Wrapping arithmetic: the value of a malformed number is meaningless but defined.
    unsigned int v = 0;
    for (char c : s) {
        v = v * 10u + static_cast<unsigned int>(static_cast<int>(c) - '0');
    }
    return static_cast<int>(v);
}

bool CHttpRequest::ParseContentLength(const std::string& s, size_t& n)
{
    if (s.empty() || s.size() > 8) {
        return false;
    }
    size_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<size_t>(c - '0');
    }
    if (v > kMaxContentLength) {
        return false;
    }
    n = v;
    return true;
}

CHttpRequest::Scan CHttpRequest::ScanRequest(const char* data, size_t len, size_t capacity)
{
    const std::string_view text(data, len);
    // Only GET and POST are served: anything that cannot start one of them
    // is answered at once instead of waiting for more bytes.
    const bool maybeGet = std::string_view("GET ").substr(0, len) == text.substr(0, 4);
    const bool maybePost = std::string_view("POST ").substr(0, len) == text.substr(0, 5);
    if (!maybeGet && !maybePost) {
        return Scan::kComplete;
    }
    std::vector<std::string> lines;
    std::string contentLength;
    const size_t body = SplitHeaders(text, lines, contentLength);
    if (body == std::string_view::npos) {
        // Lines ended by a bare line feed never make the blank line this
        // parser needs: answer now rather than at the time bound.
        return text.find("\n\n") == std::string_view::npos ? Scan::kNeedMore : Scan::kComplete;
    }
    if (maybeGet) {
        return Scan::kComplete;
    }
    size_t n = 0;
    // A body that cannot fit behind these headers is refused at once.
    if (!ParseContentLength(contentLength, n) || body > capacity || n > capacity - body) {
        return Scan::kComplete;
    }
    return len - body >= n ? Scan::kComplete : Scan::kNeedMore;
}
