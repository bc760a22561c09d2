#include "KVSMLib.h"
#include "Scheduling.h"
#include "Utils.h"
#include "core/CodePage.h"
#include "httpsservice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string g_result;
int g_calls = 0;

int Capture(const std::string& result)
{
    g_result = result;
    ++g_calls;
    return 0;
}

struct EntryCase {
    std::string text;
    int code;
    bool notified;
    std::string result;
};

TEST(Envelope, Entry)
{
    const std::string version = "{\"code\":0,\"data\":\"1.0.0.2 " + getosname() + "\"}";
    const EntryCase cases[] = {
        {"{\"interfacetype\":1,\"id\":\"x\"}", 0, true, version},
        {"{\"interfacetype\":0,\"id\":\"x\",\"data\":{\"pid\":0,\"pcode\":7}}", -1, true, "{\"code\":-1,\"pid\":7}"},
        {"{\"interfacetype\":0,\"id\":\"x\",\"data\":{\"pcode\":8,\"keyindex\":0}}", -1, true, "{\"code\":-1,\"pid\":8}"},
        {"{\"interfacetype\":2,\"id\":\"x\",\"data\":{}}", 0, true, ""},
        {"{\"interfacetype\":0,\"id\":\"x\"}", -2, true, "{\"code\":-2}"},
        {"{\"data\":{\"pcode\":9}}", -2, true, "{\"code\":-2,\"pid\":9}"},  // no type, no id: 0 and ""
        {std::string("{\"interfacetype\":1,\"id\":\"z\"}\0\0\0", 31), 0, true, version},  // page's zero padding
        {"abc", -1, false, ""},
        {"", -1, false, ""},
        {"\"just a string\"", -1, false, ""},
        {"{\"interfacetype\":\"1\"}", -1, false, ""},
        {"{\"interfacetype\":0,\"id\":{}}", -1, false, ""},
        {"{\"interfacetype\":0,\"id\":\"x\",\"data\":{\"pcode\":5,\"codepage\":\"963\"}}", -1, false, ""},
        {"{\"interfacetype\":0,\"id\":\"x\",\"data\":[1]}", -1, false, ""},
        {"[1]", -1, false, ""},
    };
    for (const auto& c : cases) {
        g_result = "unchanged";
        g_calls = 0;
        EXPECT_EQ(VaultlineEntry(c.text, &Capture, nullptr), c.code) << c.text;
        EXPECT_EQ(g_calls, c.notified ? 1 : 0) << c.text;
        if (c.notified) {
            EXPECT_EQ(g_result, c.result) << c.text;
        }
    }
}

TEST(Envelope, SessionsByName)
{
    ASSERT_EQ(FindSession("session-a"), nullptr);
    VaultlineEntry("{\"interfacetype\":1,\"id\":\"session-a\"}", &Capture, nullptr);
    KVSMLib* a = FindSession("session-a");
    ASSERT_NE(a, nullptr);
    VaultlineEntry("{\"interfacetype\":0,\"id\":\"session-a\",\"data\":{\"pcode\":7}}", &Capture, nullptr);
    EXPECT_EQ(FindSession("session-a"), a);  // found again, not replaced
    VaultlineEntry("{\"interfacetype\":0,\"id\":\"session-b\",\"data\":{\"pcode\":7}}", &Capture, nullptr);
    EXPECT_NE(FindSession("session-b"), a);
    // Only types 0 and 1 make sessions.
    VaultlineEntry("{\"interfacetype\":2,\"id\":\"session-c\"}", &Capture, nullptr);
    EXPECT_EQ(FindSession("session-c"), nullptr);
}

// Any page may send any id: the table keeps at most 1,024 sessions, dropping
// the one unused for longest, and keeps long ids by digest, so a page cycling
// through ids cannot grow the service without bound.
TEST(Envelope, SessionTableIsBounded)
{
    const auto touch = [](const std::string& id) {
        return VaultlineEntry("{\"interfacetype\":0,\"id\":\"" + id + "\",\"data\":{\"pcode\":7}}", &Capture, nullptr);
    };
    touch("bounded-kept");
    KVSMLib* kept = FindSession("bounded-kept");
    ASSERT_NE(kept, nullptr);
    for (int i = 0; i < 3000; ++i) {
        touch("bounded-" + std::to_string(i));
        if (i % 100 == 0) {
            touch("bounded-kept");  // in use all along
        }
        ASSERT_LE(SessionCount(), 1024u);
    }
    EXPECT_EQ(SessionCount(), 1024u);
    EXPECT_EQ(FindSession("bounded-kept"), kept);
    EXPECT_EQ(FindSession("bounded-0"), nullptr);     // unused for longest: dropped
    EXPECT_NE(FindSession("bounded-2999"), nullptr);  // the newest stays

    const std::string longest(256, 'x');
    g_calls = 0;
    touch(longest);
    EXPECT_EQ(g_calls, 1);
    EXPECT_NE(FindSession(longest), nullptr);
    // Long ids are sessions like any other, and long ids that differ only
    // past the bytes kept in the key stay apart.
    const std::string longId(300, 'y');
    const std::string sameStart = longId + "z";
    const std::string sameLength = std::string(299, 'y') + "z";
    g_calls = 0;
    touch(longId);
    touch(sameStart);
    touch(sameLength);
    EXPECT_EQ(g_calls, 3);
    KVSMLib* a = FindSession(longId);
    KVSMLib* b = FindSession(sameStart);
    KVSMLib* c = FindSession(sameLength);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(b, c);
    EXPECT_EQ(FindSession(std::string(1 << 20, 'y')), nullptr);
}

TEST(Envelope, DistributionCodes)
{
    EXPECT_EQ(ClassifyDistribution("Distributor ID:\tUos\n"), " 1");
    EXPECT_EQ(ClassifyDistribution("Distributor ID:\tNeoKylin\n"), " 3");
    EXPECT_EQ(ClassifyDistribution("Distributor ID:\tKylin\n"), " 2");
    EXPECT_EQ(ClassifyDistribution("Distributor ID:\tDebian\n"), "");
    EXPECT_EQ(ClassifyDistribution(""), "");
}

struct InvokeCase {
    std::string input;
    int code;
    std::string output;
};

TEST(Dispatcher, DefaultResults)
{
    const InvokeCase cases[] = {
        {"{\"pcode\":7,\"pid\":0}", -1, "{\"code\":-1,\"pid\":7}\n"},
        {"{\"pcode\":9}", -2, "{\"code\":-2,\"pid\":9}\n"},
        {"{\"pcode\":9,\"ccode\":7}", -2, "{\"ccode\":7,\"code\":-2,\"pid\":9}\n"},
        {"{\"ccode\":\"1\"}", -2, "{\"code\":-2}\n"},
        {"{\"pcode\":-1}", -2, "{\"code\":-2}\n"},
        {"{\"pcode\":7.0}", -1, "{\"code\":-1,\"pid\":7}\n"},      // integral number counts
        {"{\"pcode\":7.5}", -2, "{\"code\":-2}\n"},
        {"{\"pcode\":4294967303}", -2, "{\"code\":-2}\n"},         // outside int
        {"{\"pcode\":7,\"ccode\":9}", -1, "{\"ccode\":9,\"code\":-1,\"pid\":7}\n"},
        {"", -2, "{\"code\":-2}\n"},
        {"null", -2, "{\"code\":-2}\n"},
        {"not json", -2, "{\"code\":-2}\n"},
        {"{}", -2, "{\"code\":-2}\n"},
    };
    for (const auto& c : cases) {
        KVSMLib lib;
        std::string out = "left over";
        EXPECT_EQ(lib.invoke(c.input, out), c.code) << c.input;
        EXPECT_EQ(out, c.output) << c.input;
    }
}

TEST(Dispatcher, CodePageComesOnlyWithProviderCommands)
{
    KVSMLib lib;
    std::string out;
    lib.invoke("{\"ccode\":9,\"codepage\":963}", out);
    EXPECT_EQ(CodePage::Get(), 65001);
    lib.invoke("{\"pcode\":5,\"codepage\":963}", out);
    EXPECT_EQ(CodePage::Get(), 963);
    lib.invoke("{\"pcode\":5,\"codepage\":0}", out);  // 0 changes nothing
    EXPECT_EQ(CodePage::Get(), 963);
    EXPECT_THROW(lib.invoke("{\"pcode\":5,\"codepage\":\"x\"}", out), std::exception);
    CodePage::Set(65001);
}

TEST(Dispatcher, ProviderIndexes)
{
    KVSMLib lib;
    auto* p0 = reinterpret_cast<SMProvider*>(0x10);
    auto* p1 = reinterpret_cast<SMProvider*>(0x20);
    lib.addProvider(0, p0);
    lib.addProvider(1, p1);
    lib.addProvider(1, p0);  // an index is never reassigned
    EXPECT_EQ(lib.getProviderByID(1), p1);
    EXPECT_EQ(lib.getProviderByID(3), nullptr);
    EXPECT_EQ(lib.m_pl.size(), 2u);
}

TEST(JsonWriter, CompactSortedAndBytesPassThrough)
{
    Json::Value v(Json::objectValue);
    v["b"] = 1;
    v["a"] = "\xD6\xD0\xCE\xC4";  // GB2312, not UTF-8
    v["c"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < 30; ++i) {
        v["c"].append(i % 3 == 0 ? Json::Value(Json::objectValue) : Json::Value(i));
    }
    v["c"][0]["k"] = std::string("\x01\xff", 2);
    v["d"] = 0.5;
    v["e"] = Json::Value();
    const std::string text = JsonWriteCompact(v);
    std::string expect = "{\"a\":\"\xD6\xD0\xCE\xC4\",\"b\":1,\"c\":[{\"k\":\"\\u0001\xff\"}";
    for (int i = 1; i < 30; ++i) {
        expect += i % 3 == 0 ? ",{}" : "," + std::to_string(i);
    }
    expect += "],\"d\":0.5,\"e\":null}\n";
    EXPECT_EQ(text, expect);
}

class FrontEnd : public ::testing::Test {
protected:
    std::string Handle(const std::string& request) { return server.HandleRequest(request.data(), request.size()); }
    static std::string Post(const std::string& body)
    {
        return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    CHttpsServer server;
};

TEST_F(FrontEnd, RepliesAreFramedByMethod)
{
    const std::string version = "{\"code\":0,\"data\":\"1.0.0.2 " + getosname() + "\"}";
    EXPECT_EQ(Handle(Post("{\"interfacetype\":1,\"id\":\"f\"}")), std::string(kJsonReplyHead) + version);
    // A GET's str must be the encrypted form; a plain command is emptied, so not JSON.
    EXPECT_EQ(Handle("GET /?jsoncallback=cb&str=abc HTTP/1.1\r\n\r\n"), std::string(kJsonpReplyHead) + "cb({\"code\":-1})");
    EXPECT_EQ(Handle(Post("{\"interfacetype\":2}")), std::string(kJsonReplyHead));
}

TEST_F(FrontEnd, MalformedRequestsGetThe400Reply)
{
    const std::string requests[] = {
        "GET /?str=abc HTTP/1.1\r\n\r\n",  // no callback
        "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "POST / HTTP/1.1\r\n\r\n{\"interfacetype\":1}",
        "HEAD / HTTP/1.1\r\n\r\n",
        "OPTIONS / HTTP/1.1\r\n\r\n",
        "\x16\x03\x01 garbage",
        "",
    };
    for (const auto& r : requests) {
        EXPECT_EQ(Handle(r), kErrorReply) << r;
    }
    // The command is not run for a GET without callback: no session appears.
    Handle("GET /?str=%7B%22interfacetype%22:1,%22id%22:%22nocb%22%7D HTTP/1.1\r\n\r\n");
    EXPECT_EQ(FindSession("nocb"), nullptr);
}

TEST_F(FrontEnd, NoStaleResultAfterACommandThatStoresNone)
{
    ASSERT_EQ(Handle(Post("{\"interfacetype\":0,\"id\":\"s\",\"data\":{\"pcode\":9}}")),
              std::string(kJsonReplyHead) + "{\"code\":-2,\"pid\":9}");
    const std::string noResult = std::string(kJsonReplyHead) + "{\"code\":-1}";
    EXPECT_EQ(Handle(Post("not json")), noResult);
    EXPECT_EQ(Handle(Post("{\"interfacetype\":0,\"id\":[]}")), noResult);
    EXPECT_EQ(Handle(Post("{\"interfacetype\":0,\"data\":{\"pcode\":1,\"codepage\":{}}}")), noResult);
}

}  // namespace
