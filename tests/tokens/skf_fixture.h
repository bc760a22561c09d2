// A private software token per test, and OpenSSL checks of what the binding
// produced (independent of the service's own SM code).
#pragma once

#include "CSKFProvider.h"
#include "store.h"
#include "SM/sm2_asn1.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace skftest {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

using softskf::Bytes;
using softskf::KeyUsage;

inline std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline Owned<EVP_PKEY> PubFromDer(const std::string& spki) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(spki.data());
    return Owned<EVP_PKEY>(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

inline Owned<EVP_PKEY> PubOfCert(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x) return nullptr;
    return Owned<EVP_PKEY>(X509_get_pubkey(x.get()));
}

inline Owned<EVP_PKEY> NewKey(bool sm2) {
    return Owned<EVP_PKEY>(sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                               : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
}

inline std::string PrivatePem(EVP_PKEY* key) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

// A certificate for subject, issued by a fixed test CA.
inline std::string MakeCert(EVP_PKEY* subject, const std::string& cn) {
    static Owned<EVP_PKEY> ca(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Owned<X509> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    EXPECT_EQ(X509_set_pubkey(cert.get(), subject), 1);
    EXPECT_GT(X509_sign(cert.get(), ca.get(), EVP_sha256()), 0);
    unsigned char* der = nullptr;
    int n = i2d_X509(cert.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

// SM2 signature (DER) over msg with the identity every SKF caller uses.
inline bool VerifySm2(EVP_PKEY* pub, const std::string& derSig, const std::string& msg) {
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (EVP_DigestVerifyInit(md.get(), &pctx, EVP_sm3(), nullptr, pub) != 1) return false;
    if (EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) != 1) return false;
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(derSig.data()), derSig.size(),
                            reinterpret_cast<const unsigned char*>(msg.data()), msg.size()) == 1;
}

// r || s (32 bytes each) as a DER SEQUENCE of two INTEGERs.
inline std::string RawToDer(const std::string& raw) {
    if (raw.size() != 64) return {};
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(raw.data());
    ECDSA_SIG_set0(sig.get(), BN_bin2bn(p, 32, nullptr), BN_bin2bn(p + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

inline bool VerifyRsaSha256(EVP_PKEY* pub, const std::string& sig, const std::string& msg) {
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    if (EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, pub) != 1) return false;
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(msg.data()), msg.size()) == 1;
}

// The wrapped-key string and encrypted private key for an SM2 encryption key
// pair, made for the container's signing key: the SM4 key SM2-encrypted to
// signPub, the private key SM4-ECB-encrypted with it.
struct Wrapped {
    std::string key;     // X(32) | Y(32) | hash(32) | 4 skipped | cipher
    std::string prikey;  // 32 bytes
};

inline std::string Pad32(const BIGNUM* bn) {
    unsigned char b[32];
    BN_bn2binpad(bn, b, 32);
    return std::string(reinterpret_cast<char*>(b), 32);
}

inline Wrapped WrapForContainer(EVP_PKEY* signPub, EVP_PKEY* encKey) {
    Wrapped w;
    unsigned char sm4[16];
    RAND_bytes(sm4, sizeof(sm4));

    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(signPub, nullptr));
    size_t outLen = 0;
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, sm4, sizeof(sm4)), 1);
    std::vector<unsigned char> ct(outLen);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), ct.data(), &outLen, sm4, sizeof(sm4)), 1);
    const unsigned char* p = ct.data();
    sm::EC_SM2_CIPHER* c = sm::d2i_EC_SM2_CIPHER(nullptr, &p, static_cast<long>(outLen));
    EXPECT_NE(c, nullptr);
    if (!c) return w;
    w.key = Pad32(c->x) + Pad32(c->y) +
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(c->hash)), 32) +
            std::string(4, '\x55') +
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(c->ciphertext)),
                        ASN1_STRING_length(c->ciphertext));
    sm::EC_SM2_CIPHER_free(c);

    BIGNUM* d = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(encKey, OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
    const std::string clear = Pad32(d);
    BN_clear_free(d);
    Owned<EVP_CIPHER_CTX> cc(EVP_CIPHER_CTX_new());
    unsigned char out[48];
    int n = 0, m = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(cc.get(), EVP_sm4_ecb(), nullptr, sm4, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(cc.get(), 0);
    EXPECT_EQ(EVP_EncryptUpdate(cc.get(), out, &n, reinterpret_cast<const unsigned char*>(clear.data()), 32), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(cc.get(), out + n, &m), 1);
    w.prikey.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n + m));
    return w;
}

constexpr const char* kDev = "D1";
constexpr const char* kApp = "APP1";
constexpr const char* kApp2 = "APP2";

// Each test gets its own store directory (SOFTSKF_DIR) and its own log file;
// the token hooks are cleared before and after.
class SkfTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vaultline-skf-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
        ::setenv("SOFTSKF_DIR", m_dir.c_str(), 1);
        ClearHooks();
        m_log = m_dir + "/log.txt";
        CSKFProvider::SetLogPath(m_log);
        m_store = std::make_unique<softskf::Store>(m_dir);
    }
    void TearDown() override {
        ClearHooks();
        CSKFProvider::SetLogPath(CSKFProvider::kDefaultLogPath);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        ::unsetenv("SOFTSKF_DIR");
    }
    static void ClearHooks() {
        ::unsetenv("SOFTSKF_FAIL");
        ::unsetenv("SOFTSKF_LEFT_ALIGN");
        ::unsetenv("SOFTSKF_UNTERMINATED_LISTS");
        ::unsetenv("SOFTSKF_DIALOG_PIN");
    }

    // D1 / APP1 (user PIN: the binding's fixed PIN) with C1 (SM2 key and
    // certificate), C2 (RSA key and certificate) and C0 (no key); D1 / APP2
    // with C3 (SM2 key only).
    void BuildToken() {
        m_store->CreateDevice(kDev, "label", "serial");
        m_store->CreateApplication(kDev, kApp, CSKFProvider::kFixedPin, 10, "admin-pin", 10);
        m_store->CreateApplication(kDev, kApp2, CSKFProvider::kFixedPin, 10, "admin-pin", 10);
        for (const char* c : {"C1", "C2", "C0"}) m_store->CreateContainer(kDev, kApp, c);
        m_store->CreateContainer(kDev, kApp2, "C3");
        m_c1Pub = Str(m_store->GenerateKeyPair(kDev, kApp, "C1", KeyUsage::Sign, softskf::crypto::KeyAlg::SM2));
        m_c2Pub = Str(m_store->GenerateKeyPair(kDev, kApp, "C2", KeyUsage::Sign, softskf::crypto::KeyAlg::RSA, 1024));
        m_store->GenerateKeyPair(kDev, kApp2, "C3", KeyUsage::Sign, softskf::crypto::KeyAlg::SM2);
        m_c1Cert = MakeCert(PubFromDer(m_c1Pub).get(), "c1");
        m_c2Cert = MakeCert(PubFromDer(m_c2Pub).get(), "c2");
        m_store->ImportCertificate(kDev, kApp, "C1", KeyUsage::Sign, ToBytes(m_c1Cert));
        m_store->ImportCertificate(kDev, kApp, "C2", KeyUsage::Sign, ToBytes(m_c2Cert));
    }

    // Which certificate the object's open container holds ("C1", "C2", or "").
    std::string OpenCertName(CSKFProvider& p) {
        std::string cert;
        if (p.ExportCert(cert, true) != SAR_OK) return "";
        if (cert == m_c1Cert) return "C1";
        if (cert == m_c2Cert) return "C2";
        return "?";
    }

    // Opens `container` of APP1 and logs in with the binding's PIN.
    void OpenAndLogin(CSKFProvider& p, const std::string& container, bool sm3 = true) {
        ULONG rv = sm3 ? p.Init_SM3("", kApp, container, "") : p.Init("", kApp, container, "");
        ASSERT_EQ(rv, SAR_OK);
        ULONG retries = 0;
        ASSERT_EQ(p.VerifyPin(USER_TYPE, "", retries), SAR_OK);
    }

    // Opens `container` of APP1 the way enrolment does: no SKF_VerifyPIN; the
    // token's PIN dialog, answered with the user PIN, logs the handle in when
    // a key operation arrives.
    void OpenForEnrol(CSKFProvider& p, const std::string& container) {
        m_store->SetDialogPin(kDev, kApp, CSKFProvider::kFixedPin);
        ASSERT_EQ(p.Init_SM3("", kApp, container, ""), SAR_OK);
    }

    std::string m_dir;
    std::string m_log;
    std::unique_ptr<softskf::Store> m_store;
    std::string m_c1Pub, m_c2Pub, m_c1Cert, m_c2Cert;
};

}  // namespace skftest
