#include "SM/fp7.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

template <typename T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
template <typename T, void (*F)(T*)>
using Ptr = std::unique_ptr<T, Deleter<T, F>>;

using P7Ptr = Ptr<sm::SM2_P7, sm::SM2_P7_free>;
using SignerPtr = Ptr<sm::SM2_SIGNER_INFO, sm::SM2_SIGNER_INFO_free>;
using X509Ptr = Ptr<X509, X509_free>;
using PkeyPtr = Ptr<EVP_PKEY, EVP_PKEY_free>;
using AttrsPtr = Ptr<STACK_OF(X509_ATTRIBUTE), sm::SM2_ATTR_SIGN_free>;

Bytes fromHex(const std::string& h)
{
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <typename T>
Bytes der(int (*i2d)(const T*, unsigned char**), const T* v)
{
    const int n = i2d(v, nullptr);
    if (n <= 0) {
        return {};
    }
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    if (i2d(v, &p) != n || p != out.data() + n) {
        return {};
    }
    return out;
}

Bytes p7der(const sm::SM2_P7* p7) { return der(sm::i2d_SM2_P7, p7); }

P7Ptr decodeP7(const Bytes& in)
{
    const unsigned char* p = in.data();
    P7Ptr v(sm::d2i_SM2_P7(nullptr, &p, static_cast<long>(in.size())));
    if (v && p != in.data() + in.size()) {
        return P7Ptr();
    }
    return v;
}

bool contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Walks a DER tree and checks that every constructed element is exactly
// filled by its children, so a patched-in element with a wrong enclosing
// length shows up.
bool wellFormed(const unsigned char* p, long len)
{
    const unsigned char* end = p + len;
    while (p < end) {
        long n = 0;
        int tag = 0;
        int cls = 0;
        const unsigned char* start = p;
        const int r = ASN1_get_object(&p, &n, &tag, &cls, end - start);
        if ((r & 0x80) || (r & 0x01)) {  // error, or indefinite length
            return false;
        }
        if ((r & V_ASN1_CONSTRUCTED) && !wellFormed(p, n)) {
            return false;
        }
        p += n;
    }
    return p == end;
}

// A self-signed SM2 certificate made with OpenSSL 3.0's own SM2, as the
// signer's certificate.
X509Ptr makeCert()
{
    EVP_PKEY* raw = nullptr;
    Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> kctx(EVP_PKEY_CTX_new_id(EVP_PKEY_SM2, nullptr));
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_keygen(kctx.get(), &raw) != 1) {
        return X509Ptr();
    }
    PkeyPtr key(raw);
    X509Ptr x(X509_new());
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vaultline test"), -1,
                               -1, 0);
    X509_set_issuer_name(x.get(), name);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 0x1234);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
    X509_set_pubkey(x.get(), key.get());
    if (X509_sign(x.get(), key.get(), EVP_sm3()) <= 0) {
        return X509Ptr();
    }
    return x;
}

// A signer info as the signing path fills it: version 1, issuer and serial of
// the certificate, the given digest algorithm, SM2, a 64-byte r || s.
SignerPtr makeSigner(X509* cert, ASN1_OBJECT* digest)
{
    SignerPtr si(sm::SM2_SIGNER_INFO_new());
    ASN1_INTEGER_set(si->version, 1);
    X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(cert));
    ASN1_INTEGER_free(si->issuer_and_serial->serial);
    si->issuer_and_serial->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
    X509_ALGOR_set0(si->digest_alg, digest, V_ASN1_NULL, nullptr);
    X509_ALGOR_set0(si->digest_enc_alg, sm::SM2_OBJ_nid2obj(958), V_ASN1_NULL, nullptr);
    Bytes sig(64);
    for (size_t i = 0; i < sig.size(); ++i) {
        sig[i] = static_cast<unsigned char>(i + 1);
    }
    ASN1_OCTET_STRING_set(si->enc_digest, sig.data(), static_cast<int>(sig.size()));
    return si;
}

// GM/T 0010 signed data around one signer; empty text means detached.
P7Ptr makeSigned(X509* cert, const std::string& text)
{
    P7Ptr p7(sm::SM2_P7_new());
    if (!p7 || sm::SM2_P7_set_type(p7.get(), 962) != 1) {
        return P7Ptr();
    }
    if (text.empty()) {
        sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_SET_DETACHED, 1, nullptr);
    } else {
        if (sm::SM2_P7_content_new(p7.get(), 961) != 1 ||
            ASN1_OCTET_STRING_set(p7->d.sign->contents->d.data, reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size())) != 1) {
            return P7Ptr();
        }
    }
    if (sm::SM2_P7_add_certificate(p7.get(), cert) != 1) {
        return P7Ptr();
    }
    SignerPtr si = makeSigner(cert, sm::SM2_OBJ_nid2obj(959));
    if (sm::SM2_P7_add_signer(p7.get(), si.get()) != 1) {
        return P7Ptr();
    }
    si.release();  // owned by p7 now
    return p7;
}

class Fp7 : public testing::Test {
protected:
    static void SetUpTestSuite() { sm::initsm2internalnid(); }
    void SetUp() override
    {
        m_cert = makeCert();
        ASSERT_TRUE(m_cert);
    }
    X509Ptr m_cert;
};

// DER of the SM3 AlgorithmIdentifier with NULL parameter (GM/T 0006: SM3 is
// 1.2.156.10197.1.401), hand-computed.
const char kSm3AlgId[] = "300c06082a811ccf550183110500";

TEST_F(Fp7, AttachedSignedDataRoundTrips)
{
    P7Ptr p7 = makeSigned(m_cert.get(), "abc");
    ASSERT_TRUE(p7);
    const Bytes enc = p7der(p7.get());
    ASSERT_FALSE(enc.empty());
    EXPECT_TRUE(wellFormed(enc.data(), static_cast<long>(enc.size())));
    // version 1, one md_algs entry: SM3 with a NULL parameter.
    EXPECT_TRUE(contains(enc, fromHex(std::string("02010131") + "0e" + kSm3AlgId)));

    P7Ptr back = decodeP7(enc);
    ASSERT_TRUE(back);
    EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(back->type)), 962);
    sm::SM2_SIGNED* s = back->d.sign;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ASN1_INTEGER_get(s->version), 1);
    ASSERT_NE(s->contents, nullptr);
    EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(s->contents->type)), 961);
    ASSERT_NE(s->contents->d.data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s->contents->d.data)),
                          static_cast<size_t>(ASN1_STRING_length(s->contents->d.data))),
              "abc");
    ASSERT_EQ(sk_X509_num(s->cert), 1);
    EXPECT_EQ(X509_cmp(sk_X509_value(s->cert, 0), m_cert.get()), 0);
    auto* sis = sm::SM2_P7_get_signer_info(back.get());
    ASSERT_EQ(sm::sk_SM2_SIGNER_INFO_num(sis), 1);
    const sm::SM2_SIGNER_INFO* si = sm::sk_SM2_SIGNER_INFO_value(sis, 0);
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(m_cert.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(m_cert.get())), 0);
    EXPECT_EQ(OBJ_obj2nid(si->digest_enc_alg->algorithm), sm::internalsm2oid);
    EXPECT_EQ(ASN1_STRING_length(si->enc_digest), 64);
    EXPECT_EQ(sm::SM2_P7_ctrl(back.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 0);
    EXPECT_EQ(p7der(back.get()), enc);

    // Indefinite-length form reads back to the same structure.
    unsigned char* ndef = nullptr;
    const int ndefLen = sm::i2d_SM2_P7_NDEF(p7.get(), &ndef);
    ASSERT_GT(ndefLen, 0);
    const Bytes ndefBytes(ndef, ndef + ndefLen);
    OPENSSL_free(ndef);
    EXPECT_NE(ndefBytes, enc);
    P7Ptr fromNdef = decodeP7(ndefBytes);
    ASSERT_TRUE(fromNdef);
    EXPECT_EQ(p7der(fromNdef.get()), enc);

    P7Ptr copy(sm::SM2_P7_dup(p7.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(p7der(copy.get()), enc);

    Ptr<BIO, BIO_free_all> mem(BIO_new(BIO_s_mem()));
    ASSERT_EQ(sm::SM2_P7_print_ctx(mem.get(), p7.get(), 0, nullptr), 1);
    char* text = nullptr;
    const long n = BIO_get_mem_data(mem.get(), &text);
    const std::string printed(text, static_cast<size_t>(n));
    EXPECT_NE(printed.find("sm2p7signed"), std::string::npos) << printed;
    EXPECT_NE(printed.find("sm2p7data"), std::string::npos) << printed;

    // Every truncation is refused without a crash.
    for (size_t cut = 0; cut < enc.size(); ++cut) {
        const Bytes part(enc.begin(), enc.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decodeP7(part)) << cut;
    }
}

TEST_F(Fp7, DetachedBeforeContentWritesAnEmptySequence)
{
    P7Ptr p7 = makeSigned(m_cert.get(), "");
    ASSERT_TRUE(p7);
    EXPECT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);
    const Bytes enc = p7der(p7.get());
    ASSERT_FALSE(enc.empty());
    EXPECT_TRUE(wellFormed(enc.data(), static_cast<long>(enc.size())));
    // md_algs, then the inner content info as 30 00, then the [0] certificates.
    EXPECT_TRUE(contains(enc, fromHex(std::string("02010131") + "0e" + kSm3AlgId + "3000a0")));

    // Against the attached form with a one-byte text, only the inner content
    // info differs: 30 11 06 0a <oid> a0 03 04 01 78 (19 bytes) against 30 00.
    // Both messages are some 450 bytes, so every enclosing length keeps its
    // two-byte form and the sizes differ by exactly 17.
    P7Ptr attached = makeSigned(m_cert.get(), "x");
    ASSERT_TRUE(attached);
    EXPECT_EQ(p7der(attached.get()).size(), enc.size() + 17);

    // The type is a required field: neither the empty content info nor the
    // message holding it decodes again.
    EXPECT_FALSE(decodeP7(fromHex("3000")));
    EXPECT_FALSE(decodeP7(enc));
    // Top level, the same encoder gives the same two bytes.
    P7Ptr empty(sm::SM2_P7_new());
    EXPECT_EQ(p7der(empty.get()), fromHex("3000"));
}

}  // namespace
