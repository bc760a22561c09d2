// OpenSSL checks of what the library produced, written against OpenSSL
// directly rather than through the token's own crypto code.
#pragma once

#include "ossl.h"
#include "skf.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace softskf::testing {

using Bytes = std::vector<std::uint8_t>;

// A certificate for subject's public key, signed by signer.
inline Bytes MakeCertificate(EVP_PKEY* subject, EVP_PKEY* signer) {
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 42);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("softskf test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    EXPECT_EQ(X509_set_pubkey(cert.get(), subject), 1);
    const EVP_MD* md = EVP_PKEY_is_a(signer, "SM2") ? EVP_sm3() : EVP_sha256();
    EXPECT_GT(X509_sign(cert.get(), signer, md), 0);
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

// The uncompressed point 04 || X || Y of an SM2 key.
inline Bytes PointOf(EVP_PKEY* key) {
    Bytes buf(65);
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, buf.data(), buf.size(), &len), 1);
    buf.resize(len);
    return buf;
}

// r or s (or a coordinate) as the token is documented to place it: right-aligned.
inline Bytes RightAligned(const BYTE field[64]) {
    EXPECT_TRUE(std::all_of(field, field + 32, [](BYTE b) { return b == 0; }))
        << "first 32 bytes of a 64-byte field should be zero";
    return Bytes(field + 32, field + 64);
}

inline Bytes Sm2SigDer(const Bytes& r, const Bytes& s) {
    ossl::Ecdsa sig(ECDSA_SIG_new());
    BIGNUM* br = BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr);
    BIGNUM* bs = BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr);
    ECDSA_SIG_set0(sig.get(), br, bs);
    unsigned char* der = nullptr;
    const int n = i2d_ECDSA_SIG(sig.get(), &der);
    Bytes out(der, der + std::max(n, 0));
    OPENSSL_free(der);
    return out;
}

// SM2 signature over a finished 32-byte digest.
inline bool VerifySm2Digest(EVP_PKEY* pub, const ECCSIGNATUREBLOB& sig, const Bytes& digest) {
    const Bytes der = Sm2SigDer(RightAligned(sig.r), RightAligned(sig.s));
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
}

// SM2 signature over a message, with Z from the identity 1234567812345678.
inline bool VerifySm2Data(EVP_PKEY* pub, const ECCSIGNATUREBLOB& sig, const Bytes& msg) {
    const Bytes der = Sm2SigDer(RightAligned(sig.r), RightAligned(sig.s));
    ossl::MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sm3(), nullptr, pub) != 1 ||
        EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) != 1) {
        return false;
    }
    return EVP_DigestVerify(md.get(), der.data(), der.size(), msg.data(), msg.size()) == 1;
}

// RSA PKCS#1 v1.5 signature over a message with the given digest.
inline bool VerifyRsa(EVP_PKEY* pub, const Bytes& sig, const EVP_MD* md, const Bytes& msg) {
    ossl::MdCtx ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, pub) == 1 &&
           EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), msg.data(), msg.size()) == 1;
}

// RSA PKCS#1 v1.5 signature whose padded content is exactly `info`.
inline bool VerifyRsaRaw(EVP_PKEY* pub, const Bytes& sig, const Bytes& info) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), info.data(), info.size()) == 1;
}

inline Bytes Hash(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr), 1);
    out.resize(n);
    return out;
}

inline Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace softskf::testing
