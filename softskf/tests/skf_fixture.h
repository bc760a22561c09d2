// Loads the built library with dlopen, as the service does, and gives each
// test its own token directory with one device and one application.
#pragma once

#include "skf.h"
#include "skf_lib.h"
#include "store.h"
#include "temp_dir.h"
#include "test_crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace softskf::testing {

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
                              "SOFTSKF_DIALOG_PIN", "XDG_DATA_HOME"}) {
            ::unsetenv(v);
        }
        ::setenv("SOFTSKF_DIR", tmp.path().c_str(), 1);
        store.CreateDevice(kDev, "Test token", "SN-0001");
        store.CreateApplication(kDev, kApp, kPin, kRetries, kSoPin, 3);
    }
    void TearDown() override {
        for (const char* v : {"SOFTSKF_FAIL", "SOFTSKF_LEFT_ALIGN", "SOFTSKF_UNTERMINATED_LISTS",
                              "SOFTSKF_DIALOG_PIN", "SOFTSKF_DIR"}) {
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
