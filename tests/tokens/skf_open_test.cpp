// Loading the library, opening device, application and container, name
// lists, certificate export and listing, the diagnostic log.
#include "skf_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

using namespace skftest;

namespace {

bool TableIsEmpty(const SkfFunctionTable& t) {
    SkfFunctionTable empty;
    return std::memcmp(&t, &empty, sizeof(t)) == 0;
}

constexpr ULONG kSarInvalidHandle = 0x0A000005;  // GM/T 0016 SAR_INVALIDHANDLEERR

std::string StatusText(ULONG v) { return std::to_string(static_cast<int>(v)); }

}  // namespace

TEST_F(SkfTest, NonLibraryPathWritesOneLineAndBindsNothing) {
    const std::string notLib = m_dir + "/not-a-library.so";
    std::ofstream(notLib) << "plain text\n";
    CSKFProvider p(notLib);
    ::testing::internal::CaptureStderr();
    ULONG rv = p.LoadLib(notLib);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rv, 0xFFFFFFFFu);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_TRUE(TableIsEmpty(p.Functions()));

    // The opening operations report the loader's failure as they got it.
    CSKFProvider q(notLib);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(q.Init("", "", "", ""), 0xFFFFFFFFu);
    EXPECT_EQ(q.Init_SM3("", "", "", ""), 0xFFFFFFFFu);
    EXPECT_EQ(q.getConnectType("C1"), -2);
    ::testing::internal::GetCapturedStderr();
}

TEST_F(SkfTest, PartialLibraryLeavesMissingEntriesNullAndRefusesWithoutCalling) {
    BuildToken();
    CSKFProvider p(SKF_PARTIAL_LIB);
    ASSERT_EQ(p.Init_SM3("", kApp, "C1", ""), SAR_OK);
    const SkfFunctionTable& fn = p.Functions();
    EXPECT_EQ(fn.SKF_ECCSignHash, nullptr);
    EXPECT_EQ(fn.SKF_RSASignHash, nullptr);
    EXPECT_EQ(fn.SKF_ImportECCKeyPair, nullptr);
    EXPECT_EQ(fn.SKF_DigestInit, nullptr);
    EXPECT_NE(fn.SKF_ECCSignData, nullptr);
    EXPECT_NE(fn.SKF_ExportPublicKey, nullptr);
    EXPECT_EQ(fn.SKF_Transmit, nullptr);  // exported by no build of the token

    // Had any of these called into the library, the injected status would
    // come back instead of SAR_FAIL.
    ::setenv("SOFTSKF_FAIL",
             "SKF_ExportPublicKey=0x0A0000F1,SKF_ECCSignData=0x0A0000F2,SKF_RSASignData=0x0A0000F3,"
             "SKF_ImportCertificate=0x0A0000F4,SKF_OpenContainer=0x0A0000F5,SKF_CreateContainer=0x0A0000F6",
             1);
    std::string out = "untouched";
    EXPECT_EQ(p.Sign(out, "m", false), SAR_FAIL);
    EXPECT_EQ(p.Signex(out, "m", false), SAR_FAIL);
    EXPECT_EQ(p.SignWDC1(out, "m", true, true), SAR_FAIL);
    EXPECT_EQ(p.SignRsa(out, "m", false, SGD_SHA256), SAR_FAIL);
    EXPECT_EQ(p.SignRsaWDC1(out, "m", false, SGD_SHA256, true), SAR_FAIL);
    EXPECT_EQ(p.ImportCert(m_c1Cert, true), SAR_FAIL);
    csr_t csr{};
    csr.CN = "partial";
    csr.hash = HASH_SM3;
    EXPECT_EQ(p.GenCSR(&csr, out, true, ""), SAR_FAIL);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(m_store->ListContainers(kDev, kApp).size(), 3u);
}

TEST(SkfAlignment, IsZeroBuf32LooksAtExactlyThirtyTwoBytes) {
    BYTE buf[64] = {0};
    EXPECT_TRUE(IsZeroBuf32(buf));
    for (int i = 32; i < 64; ++i) buf[i] = 0xFF;
    EXPECT_TRUE(IsZeroBuf32(buf)) << "bytes after the 32nd must not count";
    for (int i = 0; i < 32; ++i) {
        BYTE one[32] = {0};
        one[i] = 1;
        EXPECT_FALSE(IsZeroBuf32(one)) << "non-zero byte at " << i;
    }
}

struct OpenCase {
    const char* what;
    bool sm3;
    const char* app;
    const char* name;
    const char* endsOn;         // certificate of the container left open
    const char* containerName;  // m_containerName afterwards
};

TEST_F(SkfTest, InitAndInitSm3PickTheirPreferredContainer) {
    BuildToken();
    const OpenCase cases[] = {
        {"Init, no names: C1 is ECC, search ends on RSA C2", false, "", "", "C2", "C1"},
        {"Init_SM3, no names: stays on ECC C1", true, "", "", "C1", "C1"},
        {"Init with C1 named: no search", false, "", "C1", "C1", "C1"},
        {"Init_SM3 with RSA C2 named: searches to C1", true, "", "C2", "C1", "C2"},
        {"Init on APP2, only ECC C3: no search", false, kApp2, "", "", "C3"},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        CSKFProvider p(SKF_LIB);
        ULONG rv = c.sm3 ? p.Init_SM3("", c.app, c.name, "") : p.Init("", c.app, c.name, "");
        EXPECT_EQ(rv, SAR_OK);
        EXPECT_NE(p.ContainerHandle(), nullptr);
        EXPECT_EQ(OpenCertName(p), c.endsOn);
        EXPECT_EQ(p.ContainerName(), c.containerName);
    }
}

TEST_F(SkfTest, InitLogLinesForOneOpening) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.Init("", "", "", ""), SAR_OK);
    EXPECT_EQ(ReadFile(m_log),
              "\n=====================Init============================\n"
              "\nInit containerName: \n"
              "\nInit 000 dev anme: D1\n  ret = 0\n"
              "\nInit 000 app name: APP1\n  ret = 0\n"
              "\nInit SKF_OpenApplication: ret = 0\n"
              "\nInit containerNameList: = 3\n"
              "\ncontainer_type_ok == 0, container_type == 2\n");

    std::filesystem::remove(m_log);
    ASSERT_EQ(p.Init_SM3("", "", "C2", ""), SAR_OK);
    EXPECT_EQ(ReadFile(m_log),
              "\n=====================Init_SM3============================\n"
              "\nInit_SM3 containerName: C2\n"
              "\n Init_SM3 devName: D1\n"
              "\n Init_SM3 appName: APP1\n"
              "\n Init_SM3 SKF_OpenApplication ret: 0\n"
              "\n Init_SM3 SKF_GetContainerType == : 1\n"
              "\n Init_SM3 \xE9\x87\x8D\xE6\x96\xB0\xE6\x89\x93\xE5\xBC\x80 SKF_GetContainerType == : 2\n"
              "\n Init_SM3  ret == : 0\n");
}

TEST_F(SkfTest, SignLogLinesOnSuccessAndOnFailure) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    OpenAndLogin(p, "C1");
    std::filesystem::remove(m_log);
    std::string sig;
    ASSERT_EQ(p.Sign(sig, std::string("hello\0tail", 10), false), SAR_OK);
    EXPECT_EQ(ReadFile(m_log),
              "\n=====================Sign============================\n"
              "\n Sign msg: hello\n"
              "\n Sign SKF_ExportPublicKey: 0\n"
              "\n Sign SKF_ECCSignData: 0\n"
              "\n Sign SKF_ECCSignData  end: 0\n");

    std::filesystem::remove(m_log);
    const ULONG injected = 0x0A00001B;
    ::setenv("SOFTSKF_FAIL", "SKF_ExportPublicKey=0x0A00001B", 1);
    EXPECT_EQ(p.Sign(sig, "x", false), injected);
    EXPECT_EQ(ReadFile(m_log),
              "\n=====================Sign============================\n"
              "\n Sign msg: x\n"
              "\n Sign SKF_ECCSignData  end: " + StatusText(injected) + "\n");
}

TEST_F(SkfTest, LogFileIsPrivateAndRefusesALinkPlantedAtItsPath) {
    EXPECT_EQ(std::string(CSKFProvider::kDefaultLogPath), u8"/tmp/输出.txt");
    BuildToken();
    {
        CSKFProvider p(SKF_LIB);
        ASSERT_EQ(p.Init_SM3("", "", "", ""), SAR_OK);
        struct stat st {};
        ASSERT_EQ(::lstat(m_log.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    std::filesystem::remove(m_log);
    const std::string victim = m_dir + "/victim.txt";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(::symlink(victim.c_str(), m_log.c_str()), 0);

    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.Init_SM3("", "", "C1", ""), SAR_OK);  // runs without logging
    ULONG retries = 0;
    p.VerifyPin(USER_TYPE, "", retries);
    std::string sig;
    EXPECT_EQ(p.Sign(sig, "secret data", false), SAR_OK);
    EXPECT_EQ(sig.size(), 64u);
    EXPECT_EQ(ReadFile(victim), "keep");
}

TEST_F(SkfTest, NameListsTerminatedOrNot) {
    m_store->CreateDevice("A", "l", "s");
    m_store->CreateDevice("B", "l", "s");
    m_store->CreateApplication("A", "X", "pin-1234", 10, "admin-1234", 10);
    for (const char* c : {"A", "B"}) m_store->CreateContainer("A", "X", c);
    m_store->CreateApplication("A", "EMPTY", "pin-1234", 10, "admin-1234", 10);

    for (bool unterminated : {false, true}) {
        SCOPED_TRACE(unterminated ? "unterminated lists" : "terminated lists");
        if (unterminated) ::setenv("SOFTSKF_UNTERMINATED_LISTS", "1", 1);
        CSKFProvider p(SKF_LIB);
        ASSERT_EQ(p.Init("A", "X", "A", ""), SAR_OK);
        std::vector<std::string> devs{"kept"}, conts, empty;
        EXPECT_EQ(p.GetDevNameList(devs), SAR_OK);
        EXPECT_EQ(devs, (std::vector<std::string>{"kept", "A", "B"})) << "lists are appended to";
        EXPECT_EQ(p.GetContainerNameList(p.GetAppHandle(), conts), SAR_OK);
        EXPECT_EQ(conts, (std::vector<std::string>{"A", "B"}));

        CSKFProvider q(SKF_LIB);
        q.Init("A", "EMPTY", "", "");  // no container to open; the application is open
        ASSERT_NE(q.GetAppHandle(), nullptr);
        EXPECT_EQ(q.GetContainerNameList(q.GetAppHandle(), empty), SAR_OK);
        EXPECT_TRUE(empty.empty());
    }
    CSKFProvider p(SKF_LIB);
    std::vector<std::string> none;
    EXPECT_EQ(p.GetAppNameList(nullptr, none), SAR_FAIL);
    EXPECT_EQ(p.GetContainerNameList(nullptr, none), SAR_FAIL);
}

TEST_F(SkfTest, GetConnectTypeReportsTypesAndMissingContainers) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    EXPECT_EQ(p.getConnectType("C1"), 2);
    EXPECT_EQ(p.getConnectType("C2"), 1);
    EXPECT_EQ(p.getConnectType("C0"), 0);
    EXPECT_EQ(p.getConnectType("nope"), -1);
    EXPECT_NE(p.DeviceHandle(), nullptr);
    EXPECT_NE(p.GetAppHandle(), nullptr);
    EXPECT_EQ(p.ContainerHandle(), nullptr);
    // A failing type query gives the token's status, never "no key".
    ::setenv("SOFTSKF_FAIL", "SKF_GetContainerType=0x0A000023", 1);
    EXPECT_EQ(p.getConnectType("C1"), 0x0A000023);
    ::unsetenv("SOFTSKF_FAIL");

    CSKFProvider missing(m_dir + "/no-such-library.so");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(missing.getConnectType("C1"), -2);
    ::testing::internal::GetCapturedStderr();
}

TEST_F(SkfTest, UnInitClosesWhatIsOpenAndCallsNothingOtherwise) {
    BuildToken();
    ::setenv("SOFTSKF_FAIL", "SKF_CloseContainer=0x0A0000E1,SKF_CloseApplication=0x0A0000E2,SKF_DisConnectDev=0x0A0000E3", 1);
    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.LoadLib(SKF_LIB), SAR_OK);
    EXPECT_EQ(p.UnInit(), SAR_OK);
    ::unsetenv("SOFTSKF_FAIL");

    ASSERT_EQ(p.Init("", "", "C1", ""), SAR_OK);
    EXPECT_EQ(p.UnInit(), SAR_OK);
    EXPECT_EQ(p.ContainerHandle(), nullptr);
    EXPECT_EQ(p.GetAppHandle(), nullptr);
    EXPECT_EQ(p.DeviceHandle(), nullptr);
    EXPECT_EQ(p.UnInit(), SAR_OK);

    // A second opening closes the first one's handles before connecting.
    ASSERT_EQ(p.Init("", "", "C1", ""), SAR_OK);
    HCONTAINER first = p.ContainerHandle();
    HAPPLICATION firstApp = p.GetAppHandle();
    ASSERT_EQ(p.Init("", "", "C2", ""), SAR_OK);
    ULONG type = 0;
    EXPECT_EQ(p.Functions().SKF_GetContainerType(first, &type), kSarInvalidHandle);
    std::vector<std::string> names;
    EXPECT_EQ(p.GetContainerNameList(firstApp, names), kSarInvalidHandle);
    EXPECT_EQ(p.Functions().SKF_GetContainerType(p.ContainerHandle(), &type), SAR_OK);
    EXPECT_EQ(type, 1u);

    // The last close's status is the result.
    ::setenv("SOFTSKF_FAIL", "SKF_DisConnectDev=0x0A0000E3", 1);
    EXPECT_EQ(p.UnInit(), 0x0A0000E3u);
    EXPECT_EQ(p.DeviceHandle(), nullptr);
}

TEST_F(SkfTest, ExportCertAndGetCertList) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.Init("", "", "C1", ""), SAR_OK);
    std::string cert = "untouched";
    ULONG rv = p.ExportCert(cert, false);  // C1 has no encryption certificate
    EXPECT_NE(rv, SAR_OK);
    EXPECT_NE(rv, SAR_FAIL);
    EXPECT_EQ(cert, "untouched");
    ASSERT_EQ(p.ExportCert(cert, true), SAR_OK);
    EXPECT_EQ(cert, m_c1Cert);

    HCONTAINER before = p.ContainerHandle();
    std::vector<CertContext> list(1);
    // The result is the last status met: the walk ends on C3, which has no
    // certificate, so it is the library's "not found".
    ULONG rv2 = p.GetCertList(list, true);
    EXPECT_NE(rv2, SAR_OK);
    EXPECT_NE(rv2, SAR_FAIL);
    ASSERT_EQ(list.size(), 2u) << "cleared, then C1 and C2 (C0 and C3 have none)";
    EXPECT_EQ(list[0].devName, kDev);
    EXPECT_EQ(list[0].appName, kApp);
    EXPECT_EQ(list[0].containerName, "C1");
    EXPECT_EQ(list[0].cert, m_c1Cert);
    EXPECT_EQ(list[0].path, SKF_LIB);
    EXPECT_EQ(list[1].containerName, "C2");
    EXPECT_EQ(list[1].cert, m_c2Cert);
    EXPECT_EQ(p.ContainerHandle(), before);
    std::string again;
    EXPECT_EQ(p.ExportCert(again, true), SAR_OK) << "the object's own container is still usable";

    EXPECT_NE(p.GetCertList(list, false), SAR_FAIL);
    EXPECT_TRUE(list.empty());

    CSKFProvider closed(SKF_LIB);
    EXPECT_EQ(closed.ExportCert(cert, true), SAR_FAIL);
}

// Every status the library returns reaches the caller unchanged, and the
// output is left as it was.
TEST_F(SkfTest, LibraryFailuresPassThroughUnchanged) {
    BuildToken();
    struct Case {
        const char* entry;
        std::function<ULONG(CSKFProvider&, std::string&)> op;
    };
    const Case cases[] = {
        {"SKF_ConnectDev", [](CSKFProvider& p, std::string&) { return p.Init("", "", "", ""); }},
        {"SKF_OpenApplication", [](CSKFProvider& p, std::string&) { return p.Init_SM3("", "", "", ""); }},
        {"SKF_OpenContainer", [](CSKFProvider& p, std::string&) { return p.Init("", "", "C1", ""); }},
        {"SKF_ExportCertificate", [](CSKFProvider& p, std::string& o) { return p.ExportCert(o, true); }},
        {"SKF_ECCSignData", [](CSKFProvider& p, std::string& o) { return p.Sign(o, "m", true); }},
        {"SKF_ECCSignData", [](CSKFProvider& p, std::string& o) { return p.Signex(o, "m", false); }},
        {"SKF_ExportPublicKey", [](CSKFProvider& p, std::string& o) { return p.SignWDC1(o, "m", true, true); }},
        {"SKF_DigestInit", [](CSKFProvider& p, std::string& o) { return p.SignWDC1(o, "m", true, true); }},
        {"SKF_Digest", [](CSKFProvider& p, std::string& o) { return p.SignWDC1(o, "m", false, true); }},
        {"SKF_ECCSignHash", [](CSKFProvider& p, std::string& o) { return p.SignWDC1(o, "m", false, true); }},
        {"SKF_RSASignData", [](CSKFProvider& p, std::string& o) { return p.SignRsa(o, "m", false, 4); }},
        {"SKF_RSASignHash", [](CSKFProvider& p, std::string& o) { return p.SignRsaWDC1(o, "m", false, 4, true); }},
        {"SKF_ImportCertificate", [this](CSKFProvider& p, std::string&) { return p.ImportCert(m_c1Cert, true); }},
        {"SKF_GetContainerType", [](CSKFProvider& p, std::string&) { return p.ImportKey("k", "p", "c", 0x401); }},
    };
    ULONG injected = 0x0A0000C0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        ++injected;
        CSKFProvider p(SKF_LIB);
        OpenAndLogin(p, "C1");
        std::string out = "untouched";
        const std::string spec = std::string(c.entry) + "=" + std::to_string(injected);
        ::setenv("SOFTSKF_FAIL", spec.c_str(), 1);
        EXPECT_EQ(c.op(p, out), injected);
        EXPECT_EQ(out, "untouched");
        ::unsetenv("SOFTSKF_FAIL");
    }
}
