#include "httpurl.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

struct DecodeCase {
    const char* in;
    std::string out;
};

TEST(HttpUrl, DecodeUrl)
{
    const DecodeCase cases[] = {
        {"%41%2B%3a+", std::string("A+3a ")},  // lower-case hex is not hex here
        {"%4", "4"},                          // "%" before a non-pair is dropped
        {"abc%", "abc%"},                     // a final "%" stays
        {"%%41", "A"},                        // first "%" dropped, then %41
        {"%00x", std::string("\0x", 2)},
        {"%FF", "\xFF"},
        {"", ""},
        {"a+b%20c", "a b c"},
    };
    CHttpUrl url;
    for (const auto& c : cases) {
        EXPECT_EQ(url.DecodeUrl(c.in), c.out) << c.in;
    }
}

TEST(HttpUrl, EncodeUrl)
{
    CHttpUrl url;
    EXPECT_EQ(url.EncodeUrl("Az09-_.*"), "Az09-_.*");
    EXPECT_EQ(url.EncodeUrl("a b"), "a+b");
    EXPECT_EQ(url.EncodeUrl(std::string("\x01\x0f\x10/\xff", 5)), "%1%F%10%2F%FF");
    // Round trip for bytes whose encoding has two digits.
    const std::string s = "{\"k\":\"v=1&x\"}";
    EXPECT_EQ(url.DecodeUrl(url.EncodeUrl(s)), s);
}

struct AttachCase {
    const char* name;
    std::string request;
    int status;
    std::string method;
    std::string body;
};

TEST(HttpRequest, AttachStatuses)
{
    const AttachCase cases[] = {
        {"post", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 0, "POST", "hello"},
        {"post body with zero byte", std::string("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\na\0b", 41), 0, "POST",
         std::string("a\0b", 3)},
        {"post extra bytes ignored", "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhello", 0, "POST", "he"},
        {"post no length", "POST / HTTP/1.1\r\nHost: x\r\n\r\nhello", 5, "POST", ""},
        {"post lower-case header", "POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello", 5, "POST", ""},
        {"post length beyond data", "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nhello", 5, "POST", ""},
        {"post negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\nhello", 5, "POST", ""},
        {"post length with sign", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", 5, "POST", ""},
        {"post huge length", "POST / HTTP/1.1\r\nContent-Length: 4294967301\r\n\r\nhello", 5, "POST", ""},
        {"post zero length", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nhello", 0, "POST", ""},
        {"no blank line", "GET / HTTP/1.1\r\nHost: x\r\n", 1, "", ""},
        {"no headers", "\r\n\r\n", 2, "", ""},
        {"no space", "GARBAGE\r\n\r\n", 3, "", ""},
        {"one space", "GET /\r\n\r\n", 4, "GET", ""},
        {"put", "PUT / HTTP/1.1\r\nHost: x\r\n\r\n", 5, "PUT", ""},
        {"head", "HEAD / HTTP/1.1\r\n\r\n", 5, "HEAD", ""},
        {"get", "GET /?a=1 HTTP/1.1\r\n\r\n", 0, "GET", ""},
    };
    CHttpRequest req;
    for (const auto& c : cases) {
        EXPECT_EQ(req.Attach(c.request.data(), c.request.size()), c.status) << c.name;
        EXPECT_EQ(req.GetRequestMethod(), c.method) << c.name;
        EXPECT_EQ(req.GetPostContent(), c.body) << c.name;
        req.Dettach();
    }
}

TEST(HttpRequest, DettachForgetsTheEarlierBody)
{
    CHttpRequest req;
    const std::string first = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
    ASSERT_EQ(req.Attach(first.c_str()), 0);
    req.Dettach();
    EXPECT_EQ(req.Attach("POST / HTTP/1.1\r\nHost: x\r\n\r\nhello"), 5);
    EXPECT_EQ(req.GetPostContent(), "");
    EXPECT_EQ(req.QueryRequestPara("str"), "");
}

struct QueryCase {
    const char* target;
    int result;
    std::vector<std::pair<std::string, std::string>> expect;
};

TEST(HttpRequest, QueryParameters)
{
    const QueryCase cases[] = {
        {"/?jsoncallback=cb&str=abc", -1, {{"jsoncallback", "cb"}, {"str", "abc"}}},
        {"/?a=1&b&c=3", -1, {{"a", "1"}, {"b", ""}, {"c", ""}}},
        {"/?a=1&a=2", -1, {{"a", "2"}}},
        {"/?x=1=2", -1, {{"x", "1=2"}}},
        {"/plain", 0, {{"a", ""}}},
        // Encoded separators still separate: decoding comes before splitting.
        {"/?a=1%26b%3D2", -1, {{"a", "1"}, {"b", "2"}}},
        // A plain JSON command in str is not accepted on a GET: it becomes empty.
        {"/?jsoncallback=cb&str=%7B%22interfacetype%22:1%7D", 1, {{"str", ""}, {"jsoncallback", "cb"}}},
        // Members of the encrypted form that are objects count as empty.
        {"/?str=%7B%22rankey%22:%7B%7D%7D", 1, {{"str", ""}}},
        {"/?str=%5B1,2%5D", 1, {{"str", ""}}},
    };
    for (const auto& c : cases) {
        CHttpRequest req;
        EXPECT_EQ(req.ParseRequestUrl(c.target), c.result) << c.target;
        for (const auto& kv : c.expect) {
            EXPECT_EQ(req.QueryRequestPara(kv.first), kv.second) << c.target << " " << kv.first;
        }
    }
}

TEST(HttpRequest, GetHeaderField)
{
    CHttpRequest req;
    ASSERT_EQ(req.Attach("GET / HTTP/1.1\r\nHost:   a\r\nX: 1\r\nX: 2\r\nY:   \r\nHostname: z\r\n\r\n"), 0);
    EXPECT_EQ(req.GetHeaderField("Host"), "a");
    EXPECT_EQ(req.GetHeaderField("X"), "2");
    EXPECT_EQ(req.GetHeaderField("Y"), "   ");
    EXPECT_EQ(req.GetHeaderField("Z"), "");
}

TEST(HttpRequest, DecstringToIntWrapsInsteadOfFailing)
{
    EXPECT_EQ(CHttpRequest::DecstringToInt("0"), 0);
    EXPECT_EQ(CHttpRequest::DecstringToInt("12345"), 12345);
    EXPECT_EQ(CHttpRequest::DecstringToInt(""), 0);
    // No digit check, as the arithmetic prescribes: ':' counts as 10.
    EXPECT_EQ(CHttpRequest::DecstringToInt("1:"), 20);
    CHttpRequest::DecstringToInt("99999999999999999999");  // defined (no signed overflow)
}

TEST(HttpRequest, ScanEveryPrefixOfAPost)
{
    const std::string req = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789";
    for (size_t n = 1; n < req.size(); ++n) {
        EXPECT_EQ(CHttpRequest::ScanRequest(req.data(), n, 1024), CHttpRequest::Scan::kNeedMore) << n;
    }
    EXPECT_EQ(CHttpRequest::ScanRequest(req.data(), req.size(), 1024), CHttpRequest::Scan::kComplete);
}

TEST(HttpRequest, ScanDecidesEarlyOnWhatCannotBeServed)
{
    struct {
        std::string text;
        CHttpRequest::Scan scan;
    } const cases[] = {
        {"G", CHttpRequest::Scan::kNeedMore},
        {"GET /?a=1 HTTP/1.1\r\n", CHttpRequest::Scan::kNeedMore},
        {"GET / HTTP/1.1\r\n\r\n", CHttpRequest::Scan::kComplete},
        {"HEAD / HTTP/1.1", CHttpRequest::Scan::kComplete},
        {"OPTIONS", CHttpRequest::Scan::kComplete},
        {"\x16\x03\x01", CHttpRequest::Scan::kComplete},
        {"POST / HTTP/1.1\r\n\r\n", CHttpRequest::Scan::kComplete},  // no length: answer now
        {"POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n", CHttpRequest::Scan::kComplete},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", CHttpRequest::Scan::kComplete},
        // 39 header bytes + 61 body bytes fill a 100-byte buffer; one more cannot fit.
        {"POST / HTTP/1.1\r\nContent-Length: 61\r\n\r\n", CHttpRequest::Scan::kNeedMore},
        {"POST / HTTP/1.1\r\nContent-Length: 62\r\n\r\n", CHttpRequest::Scan::kComplete},
        {"POST / HTTP/1.1\nContent-Length: 2\n\n{}", CHttpRequest::Scan::kComplete},  // bare line feeds
        {"GET / HTTP/1.1\r\nHost: x\r\n", CHttpRequest::Scan::kNeedMore},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CHttpRequest::ScanRequest(c.text.data(), c.text.size(), 100), c.scan) << c.text;
    }
}

TEST(HttpRequest, NeverReadsPastTheReceivedBytes)
{
    // Each request ends right against an unreadable page.
    const long page = sysconf(_SC_PAGESIZE);
    void* mem = mmap(nullptr, static_cast<size_t>(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    char* guard = static_cast<char*>(mem) + page;
    ASSERT_EQ(mprotect(guard, static_cast<size_t>(page), PROT_NONE), 0);
    const std::string requests[] = {
        "POST / HTTP/1.1\r\nContent-Length: 900\r\n\r\nabc",
        "POST / HTTP/1.1\r\nContent-Length: 3",
        "GET /?str=%7B%22rankey%22:%22abc%22,%22datab%22:%22QUJD%22%7D&x=% HTTP/1.1\r\n\r\n",
        "GET /?a=%4",
    };
    for (const auto& r : requests) {
        for (size_t n = 0; n <= r.size(); ++n) {
            char* at = guard - n;
            std::memcpy(at, r.data(), n);
            CHttpRequest req;
            req.Attach(at, n);
            CHttpRequest::ScanRequest(at, n, n);
            req.Dettach();
        }
    }
    munmap(mem, static_cast<size_t>(page) * 2);
}

}  // namespace
