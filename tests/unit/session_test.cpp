// Sessions over the software SKF token's demo token, driven through the
// dispatcher as the page drives it: a selection belongs to its session, and
// it ends when any session lists the shared provider's certificates again
// (the listing frees the certificate objects the selection pointed to).
#include "CSKFProvider.h"
#include "KVSMLib.h"
#include "Utils.h"
#include "core/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

Json::Value Invoke(KVSMLib& session, const std::string& command)
{
    std::string out;
    session.invoke(command, out);
    Json::Value v;
    EXPECT_TRUE(JsonParseStrict(out, v)) << out;
    return v;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vaultline-session-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("SOFTSKF_DIR", m_dir.c_str(), 1);
        unsetenv("SOFTSKF_DIALOG_PIN");
        CSKFProvider::SetLogPath(m_dir + "/log.txt");
        const std::string cmd = std::string("'") + SOFTSKF_TOOL + "' demo >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    void TearDown() override
    {
        CSKFProvider::SetLogPath(CSKFProvider::kDefaultLogPath);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        unsetenv("SOFTSKF_DIR");
    }
    std::string m_dir;
};

TEST_F(SessionTest, SelectionIsPerSessionAndEndsWithTheListItCameFrom)
{
    const std::string open = std::string("{\"pcode\":0,\"name\":\"") + SKF_LIB + "\",\"type\":3}";
    const std::string list = "{\"pcode\":5,\"pid\":0,\"query\":{}}";
    const std::string sign = "{\"ccode\":1,\"pid\":0,\"sign\":\"" + Base64::encode64("hello") + "\",\"flags\":5}";
    KVSMLib a;
    KVSMLib b;
    ASSERT_EQ(Invoke(a, open)["code"].asInt(), 0);
    ASSERT_EQ(Invoke(b, open)["code"].asInt(), 0);  // shared provider, the second session's own index 0
    ASSERT_EQ(Invoke(a, list)["certnumber"].asInt(), 2);
    ASSERT_EQ(Invoke(a, "{\"pcode\":6,\"pid\":0,\"type\":1,\"certid\":1}")["code"].asInt(), 0);

    // b has selected nothing.
    const Json::Value none = Invoke(b, sign);
    EXPECT_EQ(none["code"].asInt(), -2);
    EXPECT_EQ(none["signed"].asString(), "");
    const Json::Value signedByA = Invoke(a, sign);
    EXPECT_EQ(signedByA["code"].asInt(), 0);
    EXPECT_FALSE(signedByA["signed"].asString().empty());

    // b lists again: a's selection pointed into the list that was replaced.
    ASSERT_EQ(Invoke(b, list)["certnumber"].asInt(), 2);
    const Json::Value stale = Invoke(a, sign);
    EXPECT_EQ(stale["code"].asInt(), -2);
    EXPECT_EQ(stale["signed"].asString(), "");
    EXPECT_EQ(Invoke(a, "{\"ccode\":0,\"pid\":0}")["code"].asInt(), -2);

    // Selecting again from the new list works.
    ASSERT_EQ(Invoke(a, "{\"pcode\":6,\"pid\":0,\"type\":1,\"certid\":1}")["code"].asInt(), 0);
    EXPECT_EQ(Invoke(a, sign)["code"].asInt(), 0);
}

}  // namespace
