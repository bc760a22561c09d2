#include "SM/sm2_asn1.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

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

using SigPtr = Ptr<sm::EC_SM2_SIG, sm::EC_SM2_SIG_free>;
using CipherPtr = Ptr<sm::EC_SM2_CIPHER, sm::EC_SM2_CIPHER_free>;
using ParamsPtr = Ptr<sm::SM2PKPARAMETERS, sm::SM2PKPARAMETERS_free>;
using PrivPtr = Ptr<sm::SM2_PRIVATEKEY, sm::SM2_PRIVATEKEY_free>;
using PkeyPtr = Ptr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;

Bytes fromHex(const std::string& h)
{
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    }
    return out;
}

BIGNUM* bnHex(const char* h)
{
    BIGNUM* b = nullptr;
    BN_hex2bn(&b, h);
    return b;
}

// i2d into a vector; empty on failure.
template <typename T>
Bytes der(int (*i2d)(const T*, unsigned char**), const T* v)
{
    const int n = i2d(v, nullptr);
    if (n <= 0) {
        return {};
    }
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    if (i2d(v, &p) != n) {
        return {};
    }
    return out;
}

// d2i the whole of `in` and encode it again; empty when it does not decode
// or leaves bytes over.
template <typename T>
Bytes reencode(T* (*d2i)(T**, const unsigned char**, long), int (*i2d)(const T*, unsigned char**),
               void (*free)(T*), const Bytes& in)
{
    const unsigned char* p = in.data();
    T* v = d2i(nullptr, &p, static_cast<long>(in.size()));
    if (v == nullptr || p != in.data() + in.size()) {
        free(v);
        return {};
    }
    Bytes out = der(i2d, static_cast<const T*>(v));
    free(v);
    return out;
}

// Every proper prefix of a valid encoding must be refused cleanly; the
// decoder gets an exact-sized copy so a read past the end shows under a
// memory checker.
template <typename T>
void expectPrefixesRefused(T* (*d2i)(T**, const unsigned char**, long), void (*free)(T*), const Bytes& good)
{
    for (size_t n = 0; n < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
        const unsigned char* p = cut.data();
        T* v = d2i(nullptr, &p, static_cast<long>(n));
        EXPECT_EQ(v, nullptr) << "prefix of " << n << " bytes decoded";
        free(v);
    }
}

TEST(Sm2Asn1, SignatureMatchesTheLibrarysEncoderByteForByte)
{
    // (r, s) chosen for the INTEGER encoding rules: a leading 1 bit needs a
    // 00 pad, small and zero values shrink to one octet.
    const struct {
        const char* r;
        const char* s;
    } cases[] = {
        {"32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
         "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0"},
        {"80", "7F"},
        {"1", "0"},
        {"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.r);
        SigPtr ours(sm::EC_SM2_SIG_new());
        ASSERT_TRUE(ours);
        BN_free(ours->r);
        BN_free(ours->s);
        ours->r = bnHex(c.r);
        ours->s = bnHex(c.s);
        // ECDSA-Sig-Value (RFC 3279) is the same SEQUENCE { r, s }.
        Ptr<ECDSA_SIG, ECDSA_SIG_free> ref(ECDSA_SIG_new());
        ASSERT_EQ(ECDSA_SIG_set0(ref.get(), bnHex(c.r), bnHex(c.s)), 1);
        const Bytes expected = der(i2d_ECDSA_SIG, static_cast<const ECDSA_SIG*>(ref.get()));
        const Bytes got = der(sm::i2d_EC_SM2_SIG, static_cast<const sm::EC_SM2_SIG*>(ours.get()));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got, expected);
        EXPECT_EQ(reencode(sm::d2i_EC_SM2_SIG, sm::i2d_EC_SM2_SIG, sm::EC_SM2_SIG_free, got), got);
        expectPrefixesRefused(sm::d2i_EC_SM2_SIG, sm::EC_SM2_SIG_free, got);
    }
}

TEST(Sm2Asn1, CipherTextHandComputed)
{
    // Hand-computed: x needs a pad octet, y is one octet, C3 and C2 are short.
    const Bytes expected = fromHex("3010"
                                   "02020080"
                                   "020101"
                                   "0403aabbcc"
                                   "04020102");
    CipherPtr c(sm::EC_SM2_CIPHER_new());
    ASSERT_TRUE(c);
    BN_free(c->x);
    BN_free(c->y);
    c->x = bnHex("80");
    c->y = bnHex("1");
    ASSERT_EQ(ASN1_OCTET_STRING_set(c->hash, fromHex("aabbcc").data(), 3), 1);
    ASSERT_EQ(ASN1_OCTET_STRING_set(c->ciphertext, fromHex("0102").data(), 2), 1);
    EXPECT_EQ(der(sm::i2d_EC_SM2_CIPHER, static_cast<const sm::EC_SM2_CIPHER*>(c.get())), expected);

    const unsigned char* p = expected.data();
    CipherPtr back(sm::d2i_EC_SM2_CIPHER(nullptr, &p, static_cast<long>(expected.size())));
    ASSERT_TRUE(back);
    EXPECT_EQ(BN_cmp(back->x, c->x), 0);
    EXPECT_EQ(BN_cmp(back->y, c->y), 0);
    EXPECT_EQ(ASN1_OCTET_STRING_cmp(back->hash, c->hash), 0);
    EXPECT_EQ(ASN1_OCTET_STRING_cmp(back->ciphertext, c->ciphertext), 0);
    expectPrefixesRefused(sm::d2i_EC_SM2_CIPHER, sm::EC_SM2_CIPHER_free, expected);
}

// OpenSSL's own SM2 in a library context of its own, so that methods our
// hooks register with the default context cannot stand in for it.
OSSL_LIB_CTX* opensslCtx()
{
    static OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    return ctx;
}

PkeyPtr generatedSm2Key()
{
    PkeyCtxPtr kctx(EVP_PKEY_CTX_new_from_name(opensslCtx(), "SM2", nullptr));
    EVP_PKEY* k = nullptr;
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_keygen(kctx.get(), &k) != 1) {
        return PkeyPtr();
    }
    return PkeyPtr(k);
}

// Signatures and cipher texts made by OpenSSL 3.0's own SM2 must decode into
// our types and encode back to the very same bytes.
TEST(Sm2Asn1, OpenSslSm2OutputsRoundTrip)
{
    PkeyPtr key = generatedSm2Key();
    ASSERT_TRUE(key);
    const unsigned char msg[] = "message digest";

    MdCtxPtr md(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit_ex(md.get(), nullptr, "SM3", opensslCtx(), nullptr, key.get(), nullptr), 1);
    size_t sigLen = 0;
    ASSERT_EQ(EVP_DigestSign(md.get(), nullptr, &sigLen, msg, sizeof msg - 1), 1);
    Bytes sig(sigLen);
    ASSERT_EQ(EVP_DigestSign(md.get(), sig.data(), &sigLen, msg, sizeof msg - 1), 1);
    sig.resize(sigLen);
    EXPECT_EQ(reencode(sm::d2i_EC_SM2_SIG, sm::i2d_EC_SM2_SIG, sm::EC_SM2_SIG_free, sig), sig);

    PkeyCtxPtr ectx(EVP_PKEY_CTX_new_from_pkey(opensslCtx(), key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_encrypt_init(ectx.get()), 1);
    size_t ctLen = 0;
    ASSERT_EQ(EVP_PKEY_encrypt(ectx.get(), nullptr, &ctLen, msg, sizeof msg - 1), 1);
    Bytes ct(ctLen);
    ASSERT_EQ(EVP_PKEY_encrypt(ectx.get(), ct.data(), &ctLen, msg, sizeof msg - 1), 1);
    ct.resize(ctLen);
    EXPECT_EQ(reencode(sm::d2i_EC_SM2_CIPHER, sm::i2d_EC_SM2_CIPHER, sm::EC_SM2_CIPHER_free, ct), ct);
    const unsigned char* p = ct.data();
    CipherPtr c(sm::d2i_EC_SM2_CIPHER(nullptr, &p, static_cast<long>(ct.size())));
    ASSERT_TRUE(c);
    EXPECT_EQ(ASN1_STRING_length(c->hash), 32);  // C3 = SM3 digest
    EXPECT_EQ(ASN1_STRING_length(c->ciphertext), static_cast<int>(sizeof msg - 1));
}

TEST(Sm2Asn1, CurveParameterChoice)
{
    const struct {
        int type;
        Bytes der;
    } cases[] = {
        {0, fromHex("06082a811ccf5501822d")},  // 1.2.156.10197.1.301
        {1, fromHex("0500")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const unsigned char* p = c.der.data();
        ParamsPtr v(sm::d2i_SM2PKPARAMETERS(nullptr, &p, static_cast<long>(c.der.size())));
        ASSERT_TRUE(v);
        EXPECT_EQ(v->type, c.type);
        if (c.type == 0) {
            EXPECT_EQ(OBJ_obj2nid(v->value.named_curve), NID_sm2);
        }
        EXPECT_EQ(der(sm::i2d_SM2PKPARAMETERS, static_cast<const sm::SM2PKPARAMETERS*>(v.get())), c.der);
    }
    // Neither alternative: INTEGER 1.
    const Bytes bad = fromHex("020101");
    const unsigned char* p = bad.data();
    EXPECT_EQ(sm::d2i_SM2PKPARAMETERS(nullptr, &p, static_cast<long>(bad.size())), nullptr);
}

// An SM2 key written by OpenSSL's EC private key encoder has our layout.
TEST(Sm2Asn1, PrivateKeyMatchesTheLibrarysEcPrivateKey)
{
    PkeyPtr key = generatedSm2Key();
    ASSERT_TRUE(key);
    const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key.get());
    ASSERT_NE(ec, nullptr);
    const Bytes ref = der(i2d_ECPrivateKey, ec);
    ASSERT_FALSE(ref.empty());

    const unsigned char* p = ref.data();
    PrivPtr v(sm::d2i_SM2_PRIVATEKEY(nullptr, &p, static_cast<long>(ref.size())));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->version, 1);
    Bytes priv(32);
    ASSERT_EQ(BN_bn2binpad(EC_KEY_get0_private_key(ec), priv.data(), 32), 32);
    EXPECT_EQ(Bytes(ASN1_STRING_get0_data(v->privateKey),
                    ASN1_STRING_get0_data(v->privateKey) + ASN1_STRING_length(v->privateKey)),
              priv);
    ASSERT_NE(v->parameters, nullptr);
    EXPECT_EQ(OBJ_obj2nid(v->parameters->value.named_curve), NID_sm2);
    ASSERT_NE(v->publicKey, nullptr);
    EXPECT_EQ(ASN1_STRING_length(v->publicKey), 65);  // 04 || x || y
    EXPECT_EQ(der(sm::i2d_SM2_PRIVATEKEY, static_cast<const sm::SM2_PRIVATEKEY*>(v.get())), ref);
    expectPrefixesRefused(sm::d2i_SM2_PRIVATEKEY, sm::SM2_PRIVATEKEY_free, ref);

    // Both optional fields absent.
    PrivPtr bare(sm::SM2_PRIVATEKEY_new());
    ASSERT_TRUE(bare);
    bare->version = 1;
    ASSERT_EQ(ASN1_OCTET_STRING_set(bare->privateKey, priv.data(), 1), 1);
    Bytes expected = fromHex("3006020101040100");
    expected.back() = priv[0];
    EXPECT_EQ(der(sm::i2d_SM2_PRIVATEKEY, static_cast<const sm::SM2_PRIVATEKEY*>(bare.get())), expected);
}

}  // namespace
