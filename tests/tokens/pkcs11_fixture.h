// A private SoftHSM2 token per test, reached either directly (keys made with
// CKA_PRIVATE false, since nobody logs in) or through the forwarding module
// that logs the user in; and OpenSSL helpers that check what the layer made
// without going through it.
#pragma once

#include "Pkcs11.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace p11test {

namespace p11 = korvane::crypto::pkcs11;

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kUserPin = "5678";

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

enum class Route { Direct, Forward };
inline std::string RouteName(const ::testing::TestParamInfo<Route>& i) {
    return i.param == Route::Direct ? "SoftHsm" : "Forwarded";
}

// Output and exit status of a shell command.
struct ShellResult {
    int status;
    std::string out;
};
inline ShellResult Shell(const std::string& cmd) {
    ShellResult r{-1, std::string()};
    FILE* p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = pclose(p);
    return r;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string SpkiOf(EVP_PKEY* k) {
    unsigned char* buf = nullptr;
    int n = i2d_PUBKEY(k, &buf);
    std::string out(n > 0 ? std::string(reinterpret_cast<char*>(buf), n) : std::string());
    OPENSSL_free(buf);
    return out;
}

inline std::string DerOf(X509* x) {
    unsigned char* buf = nullptr;
    int n = i2d_X509(x, &buf);
    std::string out(n > 0 ? std::string(reinterpret_cast<char*>(buf), n) : std::string());
    OPENSSL_free(buf);
    return out;
}

// RSA key from big-endian components: {n, e} public, or all eight private.
inline Owned<EVP_PKEY> RsaFrom(const std::vector<std::string>& parts) {
    static const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                  OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                  OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                  OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    std::vector<Owned<BIGNUM>> bns;
    for (size_t i = 0; i < parts.size() && i < 8; ++i) {
        bns.emplace_back(BN_bin2bn(reinterpret_cast<const unsigned char*>(parts[i].data()),
                                   static_cast<int>(parts[i].size()), nullptr));
        OSSL_PARAM_BLD_push_BN(bld.get(), names[i], bns.back().get());
    }
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* k = nullptr;
    EVP_PKEY_fromdata_init(ctx.get());
    EVP_PKEY_fromdata(ctx.get(), &k, parts.size() > 2 ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get());
    return Owned<EVP_PKEY>(k);
}

inline bool VerifyWith(EVP_PKEY* key, const EVP_MD* md, const std::string& sig, const std::string& msg) {
    Owned<EVP_MD_CTX> m(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(m.get(), nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(m.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(msg.data()), msg.size()) == 1;
}

struct KeyPair {
    CK_OBJECT_HANDLE pub;
    CK_OBJECT_HANDLE priv;
};

class TokenTest : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vaultline-p11-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::filesystem::create_directory(m_dir + "/tokens");
        WriteFile(m_dir + "/softhsm2.conf", "directories.tokendir = " + m_dir +
                                                "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
        setenv("SOFTHSM2_CONF", (m_dir + "/softhsm2.conf").c_str(), 1);
        setenv("P11FORWARD_PIN", kUserPin, 1);
        unsetenv("P11FORWARD_LIE");
        InitToken("L1");
    }

    void TearDown() override {
        delete m_session;
        for (p11::Slot* s : m_slots) delete s;
        if (m_dll.m_bLoaded) m_dll.Finalize();
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
    }

    bool Forwarded() const { return GetParam() == Route::Forward; }
    const char* ModulePath() const { return Forwarded() ? P11FORWARD_LIB : kSoftHsm; }

    void InitToken(const std::string& label) {
        ShellResult r = Shell("softhsm2-util --init-token --free --label " + label + " --so-pin 1234 --pin " + kUserPin);
        ASSERT_EQ(r.status, 0) << r.out;
    }

    // Loads and initialises the module, and opens a session on the token
    // labelled "L1": SoftHSM2 also lists a free uninitialised slot, so the
    // token is chosen by its label rather than by position.
    void Open() {
        ASSERT_TRUE(m_dll.Load(ModulePath()));
        ASSERT_EQ(m_dll.Initialize(), CKR_OK);
        ASSERT_EQ(m_dll.GetSlotList(m_slots), CKR_OK);
        for (p11::Slot* s : m_slots)
            if (Label(s->m_slotID) == "L1") m_slot = s;
        ASSERT_NE(m_slot, nullptr);
        ASSERT_EQ(m_slot->OpenSession(&m_session), CKR_OK);
        ASSERT_NE(m_session, nullptr);
    }

    CK_FUNCTION_LIST_PTR F() const { return m_dll.m_p11Funcs; }
    CK_SESSION_HANDLE S() const { return m_session->GetHandle(); }

    // The token label: 32 bytes padded with spaces, no terminating zero.
    std::string Label(CK_SLOT_ID id) {
        CK_TOKEN_INFO info;
        if (F()->C_GetTokenInfo(id, &info) != CKR_OK) return std::string();
        std::string l(reinterpret_cast<const char*>(info.label), sizeof info.label);
        return l.substr(0, l.find_last_not_of(' ') + 1);
    }

    // Attribute values read straight from the module (trusted here).
    std::vector<std::string> Attrs(CK_OBJECT_HANDLE h, std::vector<CK_ATTRIBUTE_TYPE> types) {
        std::vector<CK_ATTRIBUTE> t;
        for (auto ty : types) t.push_back({ty, nullptr, 0});
        std::vector<std::string> out;
        if (F()->C_GetAttributeValue(S(), h, t.data(), t.size()) != CKR_OK) return out;
        out.resize(t.size());
        for (size_t i = 0; i < t.size(); ++i) {
            out[i].resize(t[i].ulValueLen);
            t[i].pValue = &out[i][0];
        }
        if (F()->C_GetAttributeValue(S(), h, t.data(), t.size()) != CKR_OK) out.clear();
        return out;
    }

    std::vector<CK_OBJECT_HANDLE> Objects(CK_OBJECT_CLASS cls) {
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}};
        std::vector<CK_OBJECT_HANDLE> out;
        if (F()->C_FindObjectsInit(S(), t, 1) != CKR_OK) return out;
        CK_OBJECT_HANDLE h[16];
        CK_ULONG n = 0;
        while (F()->C_FindObjects(S(), h, 16, &n) == CKR_OK && n > 0) out.insert(out.end(), h, h + n);
        F()->C_FindObjectsFinal(S());
        return out;
    }

    // An RSA key pair on the token. Directly against SoftHSM2 the keys are
    // not private (no login); an extractable pair can be exported by tests.
    KeyPair MakeRsa(const std::string& id, CK_ULONG bits = 1024, bool extractable = false) {
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        std::string subject = "subject of " + id;
        CK_BBOOL priv = Forwarded() ? CK_TRUE : CK_FALSE;
        CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1},          {CKA_PRIVATE, &no, 1},
                              {CKA_ID, (void*)id.data(), id.size()}, {CKA_VERIFY, &yes, 1},
                              {CKA_ENCRYPT, &yes, 1},        {CKA_MODULUS_BITS, &bits, sizeof bits},
                              {CKA_SUBJECT, (void*)subject.data(), subject.size()}};
        CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, 1},
                              {CKA_PRIVATE, &priv, 1},
                              {CKA_ID, (void*)id.data(), id.size()},
                              {CKA_SIGN, &yes, 1},
                              {CKA_DECRYPT, &yes, 1},
                              {CKA_SENSITIVE, extractable ? &no : &yes, 1},
                              {CKA_EXTRACTABLE, extractable ? &yes : &no, 1}};
        CK_MECHANISM m = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        KeyPair k{0, 0};
        EXPECT_EQ(F()->C_GenerateKeyPair(S(), &m, pub, 7, prv, 7, &k.pub, &k.priv), CKR_OK);
        return k;
    }

    Owned<EVP_PKEY> PublicOf(CK_OBJECT_HANDLE pub) {
        return RsaFrom(Attrs(pub, {CKA_MODULUS, CKA_PUBLIC_EXPONENT}));
    }
    Owned<EVP_PKEY> ExportPrivate(CK_OBJECT_HANDLE priv) {
        return RsaFrom(Attrs(priv, {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                    CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT}));
    }

    // A certificate for subject's key, issued by a throwaway test CA.
    std::string Issue(EVP_PKEY* subject, const std::string& cn) {
        if (!m_ca) m_ca.reset(EVP_EC_gen("P-256"));
        Owned<X509> x(X509_new());
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), ++m_serial);
        X509_NAME_add_entry_by_txt(X509_get_issuer_name(x.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Test CA"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
        X509_set_pubkey(x.get(), subject);
        EXPECT_GT(X509_sign(x.get(), m_ca.get(), EVP_sha256()), 0);
        return DerOf(x.get());
    }

    CK_OBJECT_HANDLE PutCert(const std::string& der, const std::string& id) {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        // SoftHSM2 requires the subject of a certificate object.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        unsigned char* name = nullptr;
        int nameLen = x ? i2d_X509_NAME(X509_get_subject_name(x.get()), &name) : 0;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_ID, (void*)id.data(), id.size()},
                            {CKA_SUBJECT, name, static_cast<CK_ULONG>(nameLen > 0 ? nameLen : 0)},
                            {CKA_VALUE, (void*)der.data(), der.size()}};
        CK_OBJECT_HANDLE h = 0;
        EXPECT_EQ(F()->C_CreateObject(S(), t, 6, &h), CKR_OK);
        OPENSSL_free(name);
        return h;
    }

    // A key pair on the token with its certificate, found as the layer sees it.
    std::unique_ptr<p11::Cert> CertFor(const KeyPair& k, const std::string& cn) {
        Owned<EVP_PKEY> pub(PublicOf(k.pub));
        CK_OBJECT_HANDLE h = PutCert(Issue(pub.get(), cn), cn);
        return std::make_unique<p11::Cert>(h, m_session, &m_dll);
    }

    std::string m_dir;
    p11::Pkcs11Dll m_dll;
    std::vector<p11::Slot*> m_slots;
    p11::Slot* m_slot = nullptr;
    p11::Session* m_session = nullptr;
    Owned<EVP_PKEY> m_ca;
    long m_serial = 0;
};

}  // namespace p11test
