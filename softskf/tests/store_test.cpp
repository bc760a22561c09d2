#include "store.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace softskf {
namespace {

using crypto::KeyAlg;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.CreateDevice("dev", "Label", "SN1");
        store.CreateApplication("dev", "app", "1234", 3, "admin", 5);
    }
    testing::TempDir tmp;
    std::string dir = tmp.path() + "/nested/store";
    Store store{dir};
};

// A self-signed certificate over the given key.
Bytes SelfSigned(EVP_PKEY* key) {
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("t"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    const EVP_MD* md = EVP_PKEY_is_a(key, "SM2") ? EVP_sm3() : EVP_sha256();
    EXPECT_GT(X509_sign(cert.get(), key, md), 0);
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    if (n <= 0) {
        ADD_FAILURE() << "certificate does not encode";
        return {};
    }
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

TEST_F(StoreTest, FilesArePrivateAndStateSurvivesANewStoreObject) {
    store.CreateContainer("dev", "app", "c1");
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((dir + "/token.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Store again(dir);
    State s = again.Read();
    const Application& a = s.GetApplication("dev", "app");
    EXPECT_EQ(a.userPin, "1234");
    EXPECT_EQ(a.userRetriesLeft, 3u);
    EXPECT_EQ(a.soMaxRetries, 5u);
    EXPECT_EQ(s.GetDevice("dev").serial, "SN1");
    EXPECT_EQ(again.ListContainers("dev", "app"), std::vector<std::string>{"c1"});
}

TEST_F(StoreTest, NonUtf8NamesRoundTrip) {
    const std::string gb = "\xd6\xd0\xce\xc4";  // GB2312 bytes, not UTF-8
    store.CreateContainer("dev", "app", gb);
    EXPECT_EQ(Store(dir).ListContainers("dev", "app"), std::vector<std::string>{gb});
}

TEST_F(StoreTest, RefusalsLeaveTheTokenUnchanged) {
    using Code = StoreError::Code;
    store.CreateContainer("dev", "app", "c1");
    const struct {
        const char* what;
        std::function<void()> op;
        Code code;
    } cases[] = {
        {"duplicate device", [&] { store.CreateDevice("dev", "", ""); }, Code::Exists},
        {"duplicate app", [&] { store.CreateApplication("dev", "app", "1", 1, "2", 1); }, Code::Exists},
        {"duplicate container", [&] { store.CreateContainer("dev", "app", "c1"); }, Code::Exists},
        {"empty name", [&] { store.CreateContainer("dev", "app", ""); }, Code::Invalid},
        {"name with zero", [&] { store.CreateContainer("dev", "app", std::string("a\0b", 3)); }, Code::Invalid},
        {"name too long", [&] { store.CreateContainer("dev", "app", std::string(kMaxNameLen + 1, 'x')); }, Code::Invalid},
        {"zero retries", [&] { store.CreateApplication("dev", "a2", "1", 0, "2", 1); }, Code::Invalid},
        {"dialog PIN too long", [&] { store.CreateApplication("dev", "a2", "1", 1, "2", 1, std::string(kMaxPinLen + 1, '3')); }, Code::Invalid},
        {"dialog PIN with zero", [&] { store.SetDialogPin("dev", "app", std::string("1\0" "2", 3)); }, Code::Invalid},
        {"dialog PIN of a missing app", [&] { store.SetDialogPin("dev", "noapp", "1234"); }, Code::NotFound},
        {"missing device", [&] { store.CreateContainer("nodev", "app", "c2"); }, Code::NotFound},
        {"missing app", [&] { store.CreateContainer("dev", "noapp", "c2"); }, Code::NotFound},
        {"delete missing", [&] { store.DeleteContainer("dev", "app", "c9"); }, Code::NotFound},
        {"no key yet", [&] { store.PublicKey("dev", "app", "c1", KeyUsage::Sign); }, Code::NotFound},
        {"RSA 512", [&] { store.GenerateKeyPair("dev", "app", "c1", KeyUsage::Sign, KeyAlg::RSA, 512); }, Code::Invalid},
        {"garbage key", [&] { store.ImportKeyPair("dev", "app", "c1", KeyUsage::Sign, Bytes{1, 2, 3}); }, Code::Invalid},
        {"garbage cert", [&] { store.ImportCertificate("dev", "app", "c1", KeyUsage::Sign, Bytes{0x30, 0}); }, Code::Invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            c.op();
            ADD_FAILURE() << "accepted";
        } catch (const StoreError& e) {
            EXPECT_EQ(e.code(), c.code) << e.what();
        }
    }
    EXPECT_EQ(store.ListContainers("dev", "app"), std::vector<std::string>{"c1"});
    EXPECT_EQ(store.ListApplications("dev"), std::vector<std::string>{"app"});
}

TEST_F(StoreTest, KeysCertificatesAndContainerType) {
    store.CreateContainer("dev", "app", "sm2");
    EXPECT_EQ(store.Read().GetContainer("dev", "app", "sm2").Type(), 0u);
    const Bytes pub = store.GenerateKeyPair("dev", "app", "sm2", KeyUsage::Sign, KeyAlg::SM2);
    EXPECT_EQ(store.PublicKey("dev", "app", "sm2", KeyUsage::Sign), pub);
    EXPECT_EQ(store.Read().GetContainer("dev", "app", "sm2").Type(), 2u);

    // A clear RSA key cannot join an SM2 container; a clear SM2 one can.
    ossl::Pkey rsa = crypto::GenerateRsa(1024);
    const std::string rsaPem = crypto::PrivateKeyToPem(rsa.get());
    EXPECT_THROW(store.ImportKeyPair("dev", "app", "sm2", KeyUsage::Encrypt,
                                     Bytes(rsaPem.begin(), rsaPem.end())),
                 StoreError);
    ossl::Pkey enc = crypto::GenerateSm2();
    const std::string encPem = crypto::PrivateKeyToPem(enc.get());
    store.ImportKeyPair("dev", "app", "sm2", KeyUsage::Encrypt, Bytes(encPem.begin(), encPem.end()));
    EXPECT_EQ(store.PublicKey("dev", "app", "sm2", KeyUsage::Encrypt), crypto::PublicKeyDer(enc.get()));

    // Certificates must carry the key of their slot.
    const Bytes encCert = SelfSigned(enc.get());
    EXPECT_THROW(store.ImportCertificate("dev", "app", "sm2", KeyUsage::Sign, encCert), StoreError);
    store.ImportCertificate("dev", "app", "sm2", KeyUsage::Encrypt, encCert);
    EXPECT_EQ(store.Certificate("dev", "app", "sm2", KeyUsage::Encrypt), encCert);

    store.CreateContainer("dev", "app", "rsa");
    store.ImportKeyPair("dev", "app", "rsa", KeyUsage::Sign, Bytes(rsaPem.begin(), rsaPem.end()));
    EXPECT_EQ(store.Read().GetContainer("dev", "app", "rsa").Type(), 1u);
}

TEST_F(StoreTest, ConcurrentProcessesLoseNoWrite) {
    constexpr int kPerProcess = 20;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = ::fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            int rc = 0;
            try {
                Store own(dir);
                for (int i = 0; i < kPerProcess; ++i) {
                    own.CreateContainer("dev", "app", "p" + std::to_string(k) + "-" + std::to_string(i));
                }
            } catch (...) {
                rc = 1;
            }
            ::_exit(rc);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(::waitpid(kid, &status, 0), kid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> names = store.ListContainers("dev", "app");
    EXPECT_EQ(names.size(), 2u * kPerProcess);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < kPerProcess; ++i) {
            const std::string n = "p" + std::to_string(k) + "-" + std::to_string(i);
            EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
        }
    }
}

TEST_F(StoreTest, DialogPinIsKeptRemovedAndAbsentFromOlderTokenFiles) {
    store.CreateApplication("dev", "app2", "1111", 3, "admin", 3, "1111");
    store.SetDialogPin("dev", "app", "4321");
    EXPECT_EQ(Store(dir).Read().GetApplication("dev", "app").dialogPin, "4321");
    EXPECT_EQ(Store(dir).Read().GetApplication("dev", "app2").dialogPin, "1111");
    store.SetDialogPin("dev", "app", "");
    EXPECT_EQ(Store(dir).Read().GetApplication("dev", "app").dialogPin, "");

    // A token written before applications had a dialog PIN has none; one
    // whose dialog PIN is not a string is damaged, not "no dialog".
    const std::string app =
        "{\"name\":\"old\",\"user_pin\":\"1\",\"user_max_retries\":3,\"user_retries_left\":3,"
        "\"user_pin_default\":true,\"so_pin\":\"2\",\"so_max_retries\":3,\"so_retries_left\":3,"
        "\"so_pin_default\":true,\"containers\":[]";
    auto write = [&](const std::string& extra) {
        std::ofstream(dir + "/token.json")
            << "{\"format\":1,\"devices\":[{\"name\":\"d\",\"label\":\"\",\"serial\":\"\","
               "\"applications\":[" << app << extra << "}]}]}";
    };
    write("");
    EXPECT_EQ(store.Read().GetApplication("d", "old").dialogPin, "");
    write(",\"dialog_pin\":5");
    try {
        store.Read();
        ADD_FAILURE() << "a numeric dialog PIN was read";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.code(), StoreError::Code::Io);
    }
}

TEST_F(StoreTest, CorruptTokenFileIsAnIoErrorNotAnEmptyToken) {
    std::ofstream(dir + "/token.json") << "{\"format\":1,\"devices\":[{\"name\":5}]}";
    try {
        store.Read();
        ADD_FAILURE() << "corrupt file read";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.code(), StoreError::Code::Io);
    }
}

TEST(StoreDirTest, DefaultDirectoryOrder) {
    const char* keep[] = {"SOFTSKF_DIR", "XDG_DATA_HOME", "HOME"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(keep[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
    }
    ::setenv("HOME", "/h", 1);
    ::setenv("XDG_DATA_HOME", "/x", 1);
    ::setenv("SOFTSKF_DIR", "/s", 1);
    EXPECT_EQ(Store::DefaultDir(), "/s");
    ::unsetenv("SOFTSKF_DIR");
    EXPECT_EQ(Store::DefaultDir(), "/x/softskf");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Store::DefaultDir(), "/h/.local/share/softskf");
    for (int i = 0; i < 3; ++i) {
        if (had[i]) ::setenv(keep[i], saved[i].c_str(), 1); else ::unsetenv(keep[i]);
    }
}

}  // namespace
}  // namespace softskf
