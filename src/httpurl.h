#pragma once
// HTTP request parsing: one request line, header lines up to the blank line,
// a Content-Length body for POST and the query string of a GET.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class CUrl {
public:
    virtual ~CUrl() = default;
    virtual std::string EncodeUrl(const std::string& s) = 0;
    virtual std::string DecodeUrl(const std::string& s) = 0;

    std::string url;
};

class CHttpUrl : public CUrl {
public:
    // Bytes outside [A-Za-z0-9-_.*] become %X (upper case, no leading zero);
    // a space becomes "+".
    std::string EncodeUrl(const std::string& s) override;
    // %XX with upper-case hexadecimal digits gives the byte; "%" before
    // anything else is dropped (unless it is the last character); "+" is a space.
    std::string DecodeUrl(const std::string& s) override;
};

class CHttpRequest {
public:
    // Attach results.
    enum {
        kParsed = 0,
        kNoBlankLine = 1,
        kNoHeaders = 2,
        kNoFirstSpace = 3,
        kNoSecondSpace = 4,
        kBadMethod = 5,   // neither GET nor POST, or a POST without a usable Content-Length
    };

    // Where the connection loop stands with the bytes received so far.
    enum class Scan {
        kNeedMore,   // could still become a whole request
        kComplete,   // whole, or already known to be malformed: parse and answer
    };

    // Largest body a Content-Length may announce; anything larger cannot fit
    // the receive buffer anyway.
    static constexpr size_t kMaxContentLength = 1024 * 1024;

    CHttpRequest() = default;

    // Parses text (zero-terminated). The text must stay in place until Dettach.
    int Attach(const char* text);
    // Parses exactly len bytes at text; a body is never taken beyond them.
    int Attach(const char* text, size_t len);
    int Dettach();

    std::string GetRequestMethod() const { return m_strRequestMethod; }
    std::string GetPostContent() const { return m_strPostData; }
    std::string QueryRequestPara(const std::string& name) const;
    std::string GetHeaderField(const std::string& name) const;
    // 0: no query string; -1: "str" is not JSON; 1: "str" went through decryption.
    int ParseRequestUrl(const std::string& target);

    static int DecstringToInt(const std::string& s);
    // A plain decimal number no larger than kMaxContentLength.
    static bool ParseContentLength(const std::string& s, size_t& n);
    // capacity: the most bytes the caller can hold for one request.
    static Scan ScanRequest(const char* data, size_t len, size_t capacity);

private:
    // Splits the header block; returns the offset of the body, or npos when
    // no blank line has arrived.
    static size_t SplitHeaders(std::string_view text, std::vector<std::string>& lines, std::string& contentLength);

    const char* m_pDataPos = nullptr;
    const char* m_pContentPos = nullptr;
    std::string m_strRequestMethod;
    std::string m_strContentLength;
    std::string m_strUrl;
    std::map<std::string, std::string> m_mapGetPara;
    std::string m_strPostData;
    std::vector<std::string> m_vHeaders;
};
