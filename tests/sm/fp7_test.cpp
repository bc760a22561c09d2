#include "SM/fp7.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <algorithm>
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

// X509at_add1_attr_by_NID takes an object value as a pointer to the
// ASN1_OBJECT itself, with length -1.
const unsigned char* objectValue(int internalNid)
{
    return reinterpret_cast<const unsigned char*>(sm::SM2_OBJ_nid2obj(internalNid));
}

// A self-signed SM2 certificate made with OpenSSL 3.0's own SM2, as the
// signer's certificate.
X509Ptr makeCert()
{
    // OpenSSL's own SM2 in a library context of its own, so that methods our
    // hooks register with the default context cannot stand in for it.
    static OSSL_LIB_CTX* const libctx = OSSL_LIB_CTX_new();
    EVP_PKEY* raw = nullptr;
    Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> kctx(EVP_PKEY_CTX_new_from_name(libctx, "SM2", nullptr));
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_keygen(kctx.get(), &raw) != 1) {
        return X509Ptr();
    }
    PkeyPtr key(raw);
    X509Ptr x(X509_new_ex(libctx, nullptr));
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

    // The message reads back as detached signed data and encodes to the same
    // bytes; a bare 30 00 is still no content info (the type is required there).
    P7Ptr back = decodeP7(enc);
    ASSERT_TRUE(back);
    EXPECT_EQ(sm::SM2_P7_ctrl(back.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);
    EXPECT_EQ(p7der(back.get()), enc);
    EXPECT_FALSE(decodeP7(fromHex("3000")));
    // Top level, the same encoder gives the same two bytes.
    P7Ptr empty(sm::SM2_P7_new());
    EXPECT_EQ(p7der(empty.get()), fromHex("3000"));
}

TEST_F(Fp7, DetachedAfterContentKeepsTheTypeOnly)
{
    P7Ptr p7 = makeSigned(m_cert.get(), "abc");
    ASSERT_TRUE(p7);
    EXPECT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_SET_DETACHED, 1, nullptr), 1);
    EXPECT_EQ(p7->d.sign->contents->d.data, nullptr);
    EXPECT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);
    const Bytes enc = p7der(p7.get());
    // The inner content info is SEQUENCE { 1.2.156.10197.6.1.4.2.1 } alone.
    EXPECT_TRUE(contains(enc, fromHex("300c060a2a811ccf550601040201a0")));
    EXPECT_TRUE(wellFormed(enc.data(), static_cast<long>(enc.size())));
    P7Ptr back = decodeP7(enc);
    ASSERT_TRUE(back);
    EXPECT_EQ(sm::SM2_P7_ctrl(back.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);
    EXPECT_EQ(p7der(back.get()), enc);
}

TEST_F(Fp7, DigestAlgorithmsAreListedOncePerAlgorithm)
{
    P7Ptr p7(sm::SM2_P7_new());
    ASSERT_EQ(sm::SM2_P7_set_type(p7.get(), 962), 1);
    // The second SM3 is a separate object built from the identifier's bytes
    // (OBJ_txt2obj would hand back the shared one): equal by number, not by
    // pointer.
    static const unsigned char sm3Oid[] = {0x2a, 0x81, 0x1c, 0xcf, 0x55, 0x01, 0x83, 0x11};
    ASN1_OBJECT* const digests[] = {sm::SM2_OBJ_nid2obj(959),
                                    ASN1_OBJECT_create(NID_undef, const_cast<unsigned char*>(sm3Oid),
                                                       sizeof sm3Oid, nullptr, nullptr),
                                    OBJ_nid2obj(NID_sha256)};
    ASSERT_NE(digests[1], digests[0]);
    ASSERT_EQ(OBJ_obj2nid(digests[1]), sm::internalsm3oid);
    const int expectedAlgs[] = {1, 1, 2};
    for (size_t i = 0; i < 3; ++i) {
        SignerPtr si = makeSigner(m_cert.get(), digests[i]);
        ASSERT_EQ(sm::SM2_P7_add_signer(p7.get(), si.get()), 1);
        si.release();
        EXPECT_EQ(sk_X509_ALGOR_num(p7->d.sign->md_algs), expectedAlgs[i]) << i;
    }
    EXPECT_EQ(sm::sk_SM2_SIGNER_INFO_num(sm::SM2_P7_get_signer_info(p7.get())), 3);
    for (int i = 0; i < 2; ++i) {
        const ASN1_OBJECT* obj = nullptr;
        int ptype = 0;
        X509_ALGOR_get0(&obj, &ptype, nullptr, sk_X509_ALGOR_value(p7->d.sign->md_algs, i));
        EXPECT_EQ(ptype, V_ASN1_NULL) << i;
        EXPECT_EQ(OBJ_obj2nid(obj), i == 0 ? sm::internalsm3oid : NID_sha256);
    }
}

// Content types outside 961-966 keep their body as ANY. OpenSSL numbers its
// own camellia-128-ccm 962: a selector keyed by raw library numbers would read
// that body as SM2 signed data and fail.
TEST_F(Fp7, OtherContentTypesKeepTheirBodyAsAny)
{
    const int types[] = {NID_pkcs7_signed, NID_pkcs7_data, NID_camellia_128_ccm};
    for (int nid : types) {
        SCOPED_TRACE(nid);
        P7Ptr p7(sm::SM2_P7_new());
        ASN1_TYPE* body = ASN1_TYPE_new();
        ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(os, reinterpret_cast<const unsigned char*>("body"), 4);
        ASN1_TYPE_set(body, V_ASN1_OCTET_STRING, os);
        // Set directly: SM2_P7_set0_type_other would read 962 as internal.
        p7->type = OBJ_nid2obj(nid);
        p7->d.other = body;
        const Bytes enc = p7der(p7.get());
        ASSERT_FALSE(enc.empty());
        P7Ptr back = decodeP7(enc);
        ASSERT_TRUE(back);
        EXPECT_EQ(OBJ_obj2nid(back->type), nid);
        ASSERT_NE(back->d.other, nullptr);
        EXPECT_EQ(back->d.other->type, V_ASN1_OCTET_STRING);
        EXPECT_EQ(p7der(back.get()), enc);
        EXPECT_EQ(sm::SM2_P7_get_signer_info(back.get()), nullptr);
    }

    // The same inside SM2 signed data: a foreign inner content type.
    P7Ptr outer(sm::SM2_P7_new());
    ASSERT_EQ(sm::SM2_P7_set_type(outer.get(), 962), 1);
    P7Ptr inner(sm::SM2_P7_new());
    ASN1_TYPE* body = ASN1_TYPE_new();
    ASN1_TYPE_set(body, V_ASN1_NULL, nullptr);
    ASSERT_EQ(sm::SM2_P7_set0_type_other(inner.get(), NID_pkcs7_data, body), 1);
    ASSERT_EQ(sm::SM2_P7_set_content(outer.get(), inner.release()), 1);
    P7Ptr back = decodeP7(p7der(outer.get()));
    ASSERT_TRUE(back);
    ASSERT_NE(back->d.sign->contents->d.other, nullptr);
    EXPECT_EQ(back->d.sign->contents->d.other->type, V_ASN1_NULL);
}

// One populated instance of every body type, each wrapped in a content info
// of its type: the body is encoded, read back into the right member of the
// union and encoded again to the same bytes.
TEST_F(Fp7, EveryContentTypeRoundTrips)
{
    auto algor = [](int nid) {
        X509_ALGOR* a = X509_ALGOR_new();
        X509_ALGOR_set0(a, sm::SM2_OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
        return a;
    };
    auto encContent = [&]() {
        sm::SM2_ENC_CONTENT* ec = sm::SM2_ENC_CONTENT_new();
        ec->content_type = sm::SM2_OBJ_nid2obj(961);
        X509_ALGOR_free(ec->algorithm);
        ec->algorithm = algor(960);
        ec->enc_data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(ec->enc_data, reinterpret_cast<const unsigned char*>("0123456789abcdef"), 16);
        return ec;
    };
    auto recipient = [&]() {
        sm::SM2_RECIP_INFO* ri = sm::SM2_RECIP_INFO_new();
        ASN1_INTEGER_set(ri->version, 0);
        X509_NAME_set(&ri->issuer_and_serial->issuer, X509_get_issuer_name(m_cert.get()));
        ASN1_INTEGER_set(ri->issuer_and_serial->serial, 7);
        X509_ALGOR_free(ri->key_enc_algor);
        ri->key_enc_algor = algor(958);
        ASN1_OCTET_STRING_set(ri->enc_key, reinterpret_cast<const unsigned char*>("wrapped"), 7);
        ri->cert = X509_dup(m_cert.get());  // memory only, freed with ri
        return ri;
    };

    struct Case {
        int type;
        void* body;
        int (*i2dBody)(const void*, unsigned char**);
    };
    auto i2dOf = [](auto f) { return reinterpret_cast<int (*)(const void*, unsigned char**)>(f); };

    sm::SM2_SIGNED* sd = sm::SM2_SIGNED_new();
    ASN1_INTEGER_set(sd->version, 1);
    sk_X509_ALGOR_push(sd->md_algs, algor(959));
    sm::SM2_P7_set_type(sd->contents, 961);
    ASN1_OCTET_STRING_set(sd->contents->d.data, reinterpret_cast<const unsigned char*>("abc"), 3);
    sd->crl = sk_X509_CRL_new_null();
    SignerPtr si = makeSigner(m_cert.get(), sm::SM2_OBJ_nid2obj(959));
    // Both attribute lists present, with the pkey that is not encoded.
    si->auth_attr = sk_X509_ATTRIBUTE_new_null();
    const unsigned char md[32] = {1, 2, 3};
    X509at_add1_attr_by_NID(&si->auth_attr, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md, 32);
    X509at_add1_attr_by_NID(&si->unauth_attr, NID_pkcs9_contentType, V_ASN1_OBJECT, objectValue(961), -1);
    si->pkey = X509_get_pubkey(m_cert.get());
    sm::sk_SM2_SIGNER_INFO_push(sd->signer_info, si.release());

    sm::SM2_ENVELOPE* env = sm::SM2_ENVELOPE_new();
    sm::sk_SM2_RECIP_INFO_push(env->recipientinfo, recipient());
    sm::SM2_ENC_CONTENT_free(env->enc_data);
    env->enc_data = encContent();

    sm::SM2_SIGN_ENVELOPE* se = sm::SM2_SIGN_ENVELOPE_new();
    ASN1_INTEGER_set(se->version, 1);
    sm::sk_SM2_RECIP_INFO_push(se->recipientinfo, recipient());
    sk_X509_ALGOR_push(se->md_algs, algor(959));
    sm::SM2_ENC_CONTENT_free(se->enc_data);
    se->enc_data = encContent();
    se->cert = sk_X509_new_null();
    sk_X509_push(se->cert, X509_dup(m_cert.get()));
    sm::sk_SM2_SIGNER_INFO_push(se->signer_info, makeSigner(m_cert.get(), sm::SM2_OBJ_nid2obj(959)).release());

    sm::SM2_DIGEST* dg = sm::SM2_DIGEST_new();
    X509_ALGOR_free(dg->md);
    dg->md = algor(959);
    sm::SM2_P7_set_type(dg->contents, 961);
    ASN1_OCTET_STRING_set(dg->digest, md, 32);

    sm::SM2_ENCRYPT* en = sm::SM2_ENCRYPT_new();
    sm::SM2_ENC_CONTENT_free(en->enc_data);
    en->enc_data = encContent();

    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, reinterpret_cast<const unsigned char*>("plain"), 5);

    const Case cases[] = {
        {961, data, i2dOf(i2d_ASN1_OCTET_STRING)},      {962, sd, i2dOf(sm::i2d_SM2_SIGNED)},
        {963, env, i2dOf(sm::i2d_SM2_ENVELOPE)},        {964, se, i2dOf(sm::i2d_SM2_SIGN_ENVELOPE)},
        {965, dg, i2dOf(sm::i2d_SM2_DIGEST)},           {966, en, i2dOf(sm::i2d_SM2_ENCRYPT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        P7Ptr p7(sm::SM2_P7_new());
        p7->type = sm::SM2_OBJ_nid2obj(c.type);
        p7->d.ptr = static_cast<char*>(c.body);  // p7 owns the body from here
        const Bytes body = der(c.i2dBody, static_cast<const void*>(c.body));
        ASSERT_FALSE(body.empty());
        const Bytes enc = p7der(p7.get());
        ASSERT_FALSE(enc.empty());
        // SEQUENCE { OID, [0] { body } }: the body's bytes are there verbatim.
        EXPECT_TRUE(contains(enc, body));

        P7Ptr back = decodeP7(enc);
        ASSERT_TRUE(back);
        EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(back->type)), c.type);
        ASSERT_NE(back->d.ptr, nullptr);
        EXPECT_EQ(der(c.i2dBody, static_cast<const void*>(back->d.ptr)), body);
        EXPECT_EQ(p7der(back.get()), enc);
        const bool hasSigners = c.type == 962 || c.type == 964;
        EXPECT_EQ(sm::SM2_P7_get_signer_info(back.get()) != nullptr, hasSigners);
    }
}

TEST_F(Fp7, SignedAttributesAreSortedVerifiedOnesKeepTheirOrder)
{
    // DER orders a SET OF by the elements' encodings (X.690, 11.6): the
    // messageDigest attribute here (30 13 ...) sorts before the contentType
    // one (30 19 ...). Insert them the other way round.
    AttrsPtr attrs(sk_X509_ATTRIBUTE_new_null());
    STACK_OF(X509_ATTRIBUTE)* raw = attrs.get();
    const unsigned char md[4] = {0xde, 0xad, 0xbe, 0xef};
    ASSERT_TRUE(X509at_add1_attr_by_NID(&raw, NID_pkcs9_contentType, V_ASN1_OBJECT, objectValue(961), -1));
    ASSERT_TRUE(X509at_add1_attr_by_NID(&raw, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md, 4));
    const Bytes typeAttr = der(i2d_X509_ATTRIBUTE, static_cast<const X509_ATTRIBUTE*>(sk_X509_ATTRIBUTE_value(raw, 0)));
    const Bytes digestAttr = der(i2d_X509_ATTRIBUTE, static_cast<const X509_ATTRIBUTE*>(sk_X509_ATTRIBUTE_value(raw, 1)));
    ASSERT_LT(digestAttr, typeAttr);

    auto setOf = [](const Bytes& a, const Bytes& b) {
        Bytes out = {0x31, static_cast<unsigned char>(a.size() + b.size())};
        out.insert(out.end(), a.begin(), a.end());
        out.insert(out.end(), b.begin(), b.end());
        return out;
    };
    const Bytes received = der(sm::i2d_SM2_ATTR_VERIFY, static_cast<const sm::SM2_ATTRIBUTES*>(raw));
    EXPECT_EQ(received, setOf(typeAttr, digestAttr));
    EXPECT_EQ(der(sm::i2d_SM2_ATTR_SIGN, static_cast<const sm::SM2_ATTRIBUTES*>(raw)), setOf(digestAttr, typeAttr));
    // The signing form sorts the list itself, in memory, as OpenSSL does for
    // every SET OF in DER order.
    EXPECT_EQ(der(sm::i2d_SM2_ATTR_VERIFY, static_cast<const sm::SM2_ATTRIBUTES*>(raw)), setOf(digestAttr, typeAttr));
    const unsigned char* p = received.data();
    AttrsPtr back(sm::d2i_SM2_ATTR_VERIFY(nullptr, &p, static_cast<long>(received.size())));
    ASSERT_TRUE(back);
    EXPECT_EQ(sk_X509_ATTRIBUTE_num(back.get()), 2);
}

TEST_F(Fp7, AttributeLookup)
{
    STACK_OF(X509_ATTRIBUTE)* raw = nullptr;
    const unsigned char md[32] = {0x5a};
    ASSERT_TRUE(X509at_add1_attr_by_NID(&raw, NID_pkcs9_contentType, V_ASN1_OBJECT, objectValue(961), -1));
    ASSERT_TRUE(X509at_add1_attr_by_NID(&raw, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md, 32));
    // An attribute with an empty value set.
    X509_ATTRIBUTE* empty = X509_ATTRIBUTE_create_by_NID(nullptr, NID_pkcs9_signingTime, V_ASN1_UTCTIME, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    if (X509_ATTRIBUTE_count(empty) != 0) {
        X509_ATTRIBUTE_free(empty);
        empty = X509_ATTRIBUTE_new();
        X509_ATTRIBUTE_set1_object(empty, OBJ_nid2obj(NID_pkcs9_signingTime));
    }
    sk_X509_ATTRIBUTE_push(raw, empty);
    AttrsPtr attrs(raw);

    ASN1_TYPE* ct = sm::get_attribute(raw, NID_pkcs9_contentType);
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(ct->type, V_ASN1_OBJECT);
    EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(ct->value.object)), 961);

    const ASN1_OCTET_STRING* digest = sm::SM2_P7_digest_from_attributes(raw);
    ASSERT_NE(digest, nullptr);
    EXPECT_EQ(Bytes(ASN1_STRING_get0_data(digest), ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest)),
              Bytes(md, md + 32));

    EXPECT_EQ(sm::get_attribute(raw, NID_pkcs9_signingTime), nullptr) << "empty value set";
    EXPECT_EQ(sm::get_attribute(raw, NID_pkcs9_countersignature), nullptr) << "absent";
    EXPECT_EQ(sm::get_attribute(raw, 100000), nullptr) << "number without an object";
    EXPECT_EQ(sm::get_attribute(nullptr, NID_pkcs9_contentType), nullptr);
    EXPECT_EQ(sm::SM2_P7_digest_from_attributes(nullptr), nullptr);
    ERR_clear_error();

    // A messageDigest whose value is not an OCTET STRING is no digest.
    STACK_OF(X509_ATTRIBUTE)* odd = nullptr;
    ASSERT_TRUE(X509at_add1_attr_by_NID(&odd, NID_pkcs9_messageDigest, V_ASN1_OBJECT, objectValue(959), -1));
    AttrsPtr oddOwner(odd);
    EXPECT_NE(sm::get_attribute(odd, NID_pkcs9_messageDigest), nullptr);
    EXPECT_EQ(sm::SM2_P7_digest_from_attributes(odd), nullptr);
}

// Operations that need signed data refuse other content, and bad arguments
// give 0 without touching the structure.
TEST_F(Fp7, OperationsRefuseWrongContent)
{
    P7Ptr data(sm::SM2_P7_new());
    ASSERT_EQ(sm::SM2_P7_set_type(data.get(), 961), 1);
    P7Ptr fresh(sm::SM2_P7_new());
    SignerPtr si = makeSigner(m_cert.get(), sm::SM2_OBJ_nid2obj(959));
    for (sm::SM2_P7* p7 : {data.get(), fresh.get(), static_cast<sm::SM2_P7*>(nullptr)}) {
        EXPECT_EQ(sm::SM2_P7_ctrl(p7, sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 0);
        EXPECT_EQ(sm::SM2_P7_ctrl(p7, sm::SM2_P7_CTRL_SET_DETACHED, 1, nullptr), 0);
        EXPECT_EQ(sm::SM2_P7_add_signer(p7, si.get()), 0);
        EXPECT_EQ(sm::SM2_P7_add_certificate(p7, m_cert.get()), 0);
        EXPECT_EQ(sm::SM2_P7_set_content(p7, nullptr), 0);
        EXPECT_EQ(sm::SM2_P7_content_new(p7, 961), 0);
        EXPECT_EQ(sm::SM2_P7_get_signer_info(p7), nullptr);
    }
    EXPECT_NE(data->d.data, nullptr) << "the data body must survive refused calls";

    P7Ptr sd(sm::SM2_P7_new());
    ASSERT_EQ(sm::SM2_P7_set_type(sd.get(), 962), 1);
    EXPECT_EQ(sm::SM2_P7_ctrl(sd.get(), 3, 1, nullptr), 0) << "unknown command";
    EXPECT_EQ(sm::SM2_P7_add_signer(sd.get(), nullptr), 0);
    EXPECT_EQ(sm::SM2_P7_add_certificate(sd.get(), nullptr), 0);
    EXPECT_EQ(sm::SM2_P7_add_crl(sd.get(), nullptr), 0);
    // Only data, signed and enveloped bodies can be created by number.
    for (int type : {958, 964, 965, 966, 969, NID_pkcs7_signed, -1}) {
        EXPECT_EQ(sm::SM2_P7_set_type(sd.get(), type), 0) << type;
    }
    EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(sd->type)), 962) << "a refused type leaves the old one";
    EXPECT_EQ(sm::SM2_P7_content_new(sd.get(), 964), 0);
    EXPECT_EQ(sm::SM2_P7_set0_type_other(sd.get(), 100000, nullptr), 0);
    ERR_clear_error();

    // Re-typing frees the old body (leak checkers see it) and builds the new one.
    ASSERT_EQ(sm::SM2_P7_set_type(sd.get(), 963), 1);
    EXPECT_EQ(sm::translateinternalnid(OBJ_obj2nid(sd->type)), 963);
    EXPECT_NE(sd->d.enveloped, nullptr);
}

// The command-line tool of OpenSSL 3.0 reads what we write and shows the SM
// identifiers in it (dotted where it has no name for them).
TEST_F(Fp7, OpensslAsn1parseShowsTheSmIdentifiers)
{
    for (const char* text : {"abc", ""}) {
        SCOPED_TRACE(*text ? "attached" : "detached");
        P7Ptr p7 = makeSigned(m_cert.get(), text);
        ASSERT_TRUE(p7);
        const Bytes enc = p7der(p7.get());
        char path[] = "/tmp/vaultline_fp7_XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, enc.data(), enc.size()), static_cast<ssize_t>(enc.size()));
        close(fd);
        const std::string cmd = std::string("openssl asn1parse -inform DER -in ") + path + " 2>&1";
        FILE* pipe = popen(cmd.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buf[4096];
        size_t n = 0;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) {
            out.append(buf, n);
        }
        const int status = pclose(pipe);
        unlink(path);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(":1.2.156.10197.6.1.4.2.2"), std::string::npos) << out;
        EXPECT_EQ(out.find(":1.2.156.10197.6.1.4.2.1") != std::string::npos, *text != 0) << out;
        EXPECT_NE(out.find(":sm3"), std::string::npos) << out;  // 1.2.156.10197.1.401
        EXPECT_NE(out.find(":sm2\n"), std::string::npos) << out;  // 1.2.156.10197.1.301
        EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    }
}

}  // namespace
