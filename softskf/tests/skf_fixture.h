// Loads the built library with dlopen, as the service does, and gives each
// test its own token directory with one device and one application.
#pragma once

#include "skf.h"
#include "store.h"
#include "temp_dir.h"
#include "test_crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace softskf::testing {

#define SOFTSKF_FUNCTIONS(X)                                                                     \
    X(SKF_EnumDev) X(SKF_ConnectDev) X(SKF_DisConnectDev) X(SKF_GetDevInfo) X(SKF_GenRandom)     \
    X(SKF_ChangePIN) X(SKF_GetPINInfo) X(SKF_VerifyPIN) X(SKF_CreateApplication)                 \
    X(SKF_EnumApplication) X(SKF_DeleteApplication) X(SKF_OpenApplication)                       \
    X(SKF_CloseApplication) X(SKF_CreateContainer) X(SKF_DeleteContainer) X(SKF_OpenContainer)   \
    X(SKF_CloseContainer) X(SKF_EnumContainer) X(SKF_GetContainerType) X(SKF_ImportCertificate)  \
    X(SKF_ExportCertificate) X(SKF_GenRSAKeyPair) X(SKF_ImportRSAKeyPair) X(SKF_RSASignData)     \
    X(SKF_GenECCKeyPair) X(SKF_ImportECCKeyPair) X(SKF_ECCSignData) X(SKF_ExportPublicKey)       \
    X(SKF_ECCSignHash) X(SKF_RSASignHash) X(SKF_DigestInit) X(SKF_Digest) X(SKF_DigestUpdate)   \
    X(SKF_DigestFinal) X(SKF_CloseHandle)

// The library's functions, bound by name; a missing name stays null.
struct SkfLib {
    void* handle = nullptr;
#define SOFTSKF_MEMBER(name) decltype(&::name) name = nullptr;
    SOFTSKF_FUNCTIONS(SOFTSKF_MEMBER)
#undef SOFTSKF_MEMBER

    explicit SkfLib(const char* path) {
        handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        }
#define SOFTSKF_BIND(name) name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));
        SOFTSKF_FUNCTIONS(SOFTSKF_BIND)
#undef SOFTSKF_BIND
    }
    // Kept loaded for the life of the process, like the service does.
    static SkfLib& Full() {
        static SkfLib lib(SOFTSKF_LIB_PATH);
        return lib;
    }
};

// A pointer that no handle of the library can be.
inline HANDLE Bogus() { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xdead0000)); }

inline char* Str(const std::string& s) { return const_cast<char*>(s.c_str()); }

class SkfTest : public ::testing::Test {
protected:
    static constexpr const char* kDev = "dev0";
    static constexpr const char* kApp = "app0";
    static constexpr const char* kPin = "123456";
    static constexpr const char* kSoPin = "admin-pin";
    static constexpr ULONG kRetries = 5;

    void SetUp() override {
        for (const char* v : {"SOFTSKF_FAIL", "SOFTSKF_LEFT_ALIGN", "SOFTSKF_UNTERMINATED_LISTS",
                              "XDG_DATA_HOME"}) {
            ::unsetenv(v);
        }
        ::setenv("SOFTSKF_DIR", tmp.path().c_str(), 1);
        store.CreateDevice(kDev, "Test token", "SN-0001");
        store.CreateApplication(kDev, kApp, kPin, kRetries, kSoPin, 3);
    }
    void TearDown() override {
        for (const char* v : {"SOFTSKF_FAIL", "SOFTSKF_LEFT_ALIGN", "SOFTSKF_UNTERMINATED_LISTS",
                              "SOFTSKF_DIR"}) {
            ::unsetenv(v);
        }
    }

    DEVHANDLE Connect() {
        DEVHANDLE h = nullptr;
        EXPECT_EQ(skf.SKF_ConnectDev(Str(kDev), &h), SAR_OK);
        return h;
    }
    HAPPLICATION OpenApp(DEVHANDLE dev) {
        HAPPLICATION h = nullptr;
        EXPECT_EQ(skf.SKF_OpenApplication(dev, Str(kApp), &h), SAR_OK);
        return h;
    }
    void Login(HAPPLICATION app) {
        ULONG retry = 0;
        ASSERT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), &retry), SAR_OK);
    }
    HCONTAINER NewContainer(HAPPLICATION app, const std::string& name) {
        HCONTAINER h = nullptr;
        EXPECT_EQ(skf.SKF_CreateContainer(app, Str(name), &h), SAR_OK);
        return h;
    }
    // Device, logged-in application and a container with a generated signing key pair.
    struct Session {
        DEVHANDLE dev = nullptr;
        HAPPLICATION app = nullptr;
        HCONTAINER cont = nullptr;
    };
    Session Sm2Session(const std::string& name = "sm2") {
        Session s{Connect(), nullptr, nullptr};
        s.app = OpenApp(s.dev);
        Login(s.app);
        s.cont = NewContainer(s.app, name);
        ECCPUBLICKEYBLOB pub{};
        EXPECT_EQ(skf.SKF_GenECCKeyPair(s.cont, SGD_SM2_1, &pub), SAR_OK);
        return s;
    }
    Session RsaSession(const std::string& name = "rsa", ULONG bits = 1024) {
        Session s{Connect(), nullptr, nullptr};
        s.app = OpenApp(s.dev);
        Login(s.app);
        s.cont = NewContainer(s.app, name);
        RSAPUBLICKEYBLOB pub{};
        EXPECT_EQ(skf.SKF_GenRSAKeyPair(s.cont, bits, &pub), SAR_OK);
        return s;
    }
    // The key the store holds, as OpenSSL reads it back (independent of the library).
    ossl::Pkey StoredPublicKey(const std::string& cont, KeyUsage usage) {
        const Bytes der = store.PublicKey(kDev, kApp, cont, usage);
        const unsigned char* p = der.data();
        return ossl::Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    }

    TempDir tmp;
    Store store{tmp.path()};
    SkfLib& skf = SkfLib::Full();
};

}  // namespace softskf::testing
