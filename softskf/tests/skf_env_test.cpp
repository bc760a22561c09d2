// Test hooks from the environment, the partial build's export list, and two
// processes sharing one token.
#include "skf_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace softskf::testing {
namespace {

using EnvTest = SkfTest;

TEST_F(EnvTest, InjectedFailuresReturnTheStatusAndDoNothing) {
    ::setenv("SOFTSKF_FAIL", "SKF_ConnectDev=0x0A000023,SKF_CreateContainer=167772161", 1);
    DEVHANDLE dev = nullptr;
    EXPECT_EQ(skf.SKF_ConnectDev(Str(kDev), &dev), static_cast<ULONG>(SAR_DEVICE_REMOVED));
    EXPECT_EQ(dev, nullptr);
    // Other functions are untouched; the decimal form works too.
    ULONG size = 0;
    EXPECT_EQ(skf.SKF_EnumDev(TRUE, nullptr, &size), SAR_OK);

    ::setenv("SOFTSKF_FAIL", "SKF_CreateContainer=167772161", 1);  // read at each call
    dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    HCONTAINER cont = nullptr;
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str("c"), &cont), static_cast<ULONG>(SAR_FAIL));
    EXPECT_TRUE(store.ListContainers(kDev, kApp).empty());

    // Malformed entries and names that only share a prefix inject nothing.
    ::setenv("SOFTSKF_FAIL", "SKF_CreateContainerX=1,SKF_CreateContainer=zz,SKF_Create=5,garbage", 1);
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str("c"), &cont), SAR_OK);
    // Even a status of 0 is returned without doing the work.
    ::setenv("SOFTSKF_FAIL", "SKF_CreateContainer=0", 1);
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str("d"), &cont), SAR_OK);
    EXPECT_EQ(store.ListContainers(kDev, kApp), std::vector<std::string>{"c"});
    ::unsetenv("SOFTSKF_FAIL");
    skf.SKF_DisConnectDev(dev);
}

TEST_F(EnvTest, UnterminatedListsEndAfterTheLastName) {
    store.CreateDevice("dev1", "", "");
    ::setenv("SOFTSKF_UNTERMINATED_LISTS", "1", 1);
    ULONG size = 0;
    ASSERT_EQ(skf.SKF_EnumDev(TRUE, nullptr, &size), SAR_OK);
    ASSERT_EQ(size, 9u);
    std::vector<char> buf(size + 2, '#');
    ASSERT_EQ(skf.SKF_EnumDev(TRUE, buf.data(), &size), SAR_OK);
    EXPECT_EQ(std::string(buf.data(), size + 2), std::string("dev0\0dev1##", 11));

    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    ASSERT_EQ(skf.SKF_EnumContainer(app, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 0u) << "no names, no bytes";
    ::setenv("SOFTSKF_UNTERMINATED_LISTS", "0", 1);
    ASSERT_EQ(skf.SKF_EnumContainer(app, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 2u);
    ::unsetenv("SOFTSKF_UNTERMINATED_LISTS");
    skf.SKF_DisConnectDev(dev);
}

TEST_F(EnvTest, PartialBuildLacksSomeNamesAndTheRestWork) {
    SkfLib partial(SOFTSKF_PARTIAL_LIB_PATH);
    EXPECT_EQ(partial.SKF_ECCSignHash, nullptr);
    EXPECT_EQ(partial.SKF_RSASignHash, nullptr);
    EXPECT_EQ(partial.SKF_ImportECCKeyPair, nullptr);
    EXPECT_EQ(partial.SKF_DigestInit, nullptr);
    // Nothing but SKF functions leaves either build.
    EXPECT_EQ(::dlsym(partial.handle, "EVP_PKEY_free"), ::dlsym(RTLD_DEFAULT, "EVP_PKEY_free"));
    EXPECT_EQ(::dlsym(SkfLib::Full().handle, "_ZNK7softskf5Store4ReadEv"), nullptr);

    ASSERT_NE(partial.SKF_ConnectDev, nullptr);
    ASSERT_NE(partial.SKF_ECCSignData, nullptr);
    DEVHANDLE dev = nullptr;
    ASSERT_EQ(partial.SKF_ConnectDev(Str(kDev), &dev), SAR_OK);
    HAPPLICATION app = nullptr;
    ASSERT_EQ(partial.SKF_OpenApplication(dev, Str(kApp), &app), SAR_OK);
    ULONG retry = 0;
    ASSERT_EQ(partial.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), &retry), SAR_OK);
    HCONTAINER cont = nullptr;
    ASSERT_EQ(partial.SKF_CreateContainer(app, Str("p"), &cont), SAR_OK);
    ECCPUBLICKEYBLOB pub{};
    ASSERT_EQ(partial.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub), SAR_OK);
    Bytes digest(32, 9);
    ECCSIGNATUREBLOB sig{};
    ASSERT_EQ(partial.SKF_ECCSignData(cont, digest.data(), 32, &sig), SAR_OK);
    EXPECT_TRUE(VerifySm2Digest(StoredPublicKey("p", KeyUsage::Sign).get(), sig, digest));
    partial.SKF_DisConnectDev(dev);
}

TEST_F(EnvTest, TwoProcessesCreatingContainersLoseNoWrite) {
    constexpr int kEach = 20;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = ::fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            int failures = 0;
            DEVHANDLE dev = nullptr;
            HAPPLICATION app = nullptr;
            if (skf.SKF_ConnectDev(Str(kDev), &dev) != SAR_OK ||
                skf.SKF_OpenApplication(dev, Str(kApp), &app) != SAR_OK) {
                ::_exit(100);
            }
            for (int i = 0; i < kEach; ++i) {
                HCONTAINER c = nullptr;
                const std::string name = "k" + std::to_string(k) + "-" + std::to_string(i);
                failures += skf.SKF_CreateContainer(app, Str(name), &c) != SAR_OK;
            }
            ::_exit(failures);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(::waitpid(kid, &status, 0), kid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    ULONG size = 0;
    ASSERT_EQ(skf.SKF_EnumContainer(app, nullptr, &size), SAR_OK);
    std::vector<char> buf(size);
    ASSERT_EQ(skf.SKF_EnumContainer(app, buf.data(), &size), SAR_OK);
    std::vector<std::string> names;
    for (std::size_t pos = 0; pos < size && buf[pos] != '\0'; pos += names.back().size() + 1) {
        names.emplace_back(&buf[pos]);
    }
    EXPECT_EQ(names.size(), 2u * kEach);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < kEach; ++i) {
            const std::string n = "k" + std::to_string(k) + "-" + std::to_string(i);
            EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
        }
    }
    skf.SKF_DisConnectDev(dev);
}

TEST_F(EnvTest, UnreadableStoreIsAFileErrorNotACrash) {
    // A token file that is not JSON: every call that reads it reports it.
    store.CreateDevice("dev9", "", "");
    {
        FILE* f = std::fopen((tmp.path() + "/token.json").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("{ not json", f);
        std::fclose(f);
    }
    ULONG size = 0;
    EXPECT_EQ(skf.SKF_EnumDev(TRUE, nullptr, &size), static_cast<ULONG>(SAR_FILEERR));
    DEVHANDLE dev = nullptr;
    EXPECT_EQ(skf.SKF_ConnectDev(Str(kDev), &dev), static_cast<ULONG>(SAR_FILEERR));
    // No store directory can be named at all.
    ::unsetenv("SOFTSKF_DIR");
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    ::unsetenv("HOME");
    EXPECT_EQ(skf.SKF_EnumDev(TRUE, nullptr, &size), static_cast<ULONG>(SAR_FILEERR));
    if (home) ::setenv("HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace softskf::testing
