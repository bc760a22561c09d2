// SM2 signatures, encryption, Z/e and key checks. Every behaviour runs on both
// point arithmetics: the default (dedicated) one and the reference over the
// library's EC_POINT code, through the public entry points of each.

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm3.h"
#include "sm2_test_util.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

using namespace sm2test;
using sm::Sm2Arith;

struct Api {
    const char* name;
    Sm2Arith arith;
    BIGNUM* (*hash)(EC_KEY*, const char*, const unsigned char*, size_t, const EVP_MD*, int);
    int (*sign)(EC_KEY*, const char*, const unsigned char*, size_t, sm::EC_SM2_SIG*, const EVP_MD*);
    int (*verify)(EC_KEY*, const char*, const unsigned char*, size_t, const sm::EC_SM2_SIG*, const EVP_MD*);
    size_t (*encrypt)(EC_KEY*, const unsigned char*, size_t, unsigned char*, const EVP_MD*);
    size_t (*decrypt)(EC_KEY*, const unsigned char*, size_t, unsigned char*, const EVP_MD*);
    int (*generate)(EC_KEY*);
    int (*check)(EC_KEY*);
};

const Api kApis[] = {
    {"fast", Sm2Arith::Fast, sm::EC_SM2_HashIdMessage, sm::EC_SM2_sign, sm::EC_SM2_verify, sm::EC_SM2_encrypt,
     sm::EC_SM2_decrypt, sm::EC_SM2_generate_key, sm::EC_SM2_check_key},
    {"reference", Sm2Arith::Reference, sm::ref::EC_SM2_HashIdMessage, sm::ref::EC_SM2_sign, sm::ref::EC_SM2_verify,
     sm::ref::EC_SM2_encrypt, sm::ref::EC_SM2_decrypt, sm::ref::EC_SM2_generate_key, sm::ref::EC_SM2_check_key},
};

void PrintTo(const Api& api, std::ostream* os)
{
    *os << api.name;
}

class Sm2 : public ::testing::TestWithParam<Api> {
protected:
    const Api& api() const { return GetParam(); }
    static const EVP_MD* md() { return sm::EVP_sm3(); }
};

const unsigned char* u8(const char* s)
{
    return reinterpret_cast<const unsigned char*>(s);
}

// ---- Known answers ---------------------------------------------------------

// GB/T 32918.5-2017 Annex A (also GM/T 0003.5-2012 Annex A), recommended curve.
struct SignVector {
    const char* source;
    const char* d;
    const char* id;
    const char* msg;
    const char* k;
    const char* e;
    const char* r;
    const char* s;
};
const SignVector kSignVectors[] = {
    {"GB/T 32918.5-2017 Annex A, signature", "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8",
     "1234567812345678", "message digest", "59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1BC21",
     "F0B43E94BA45ACCAACE692ED534382EB17E6AB5A19CE7B31F4486FDFC0D28640",
     "F5A03B0648D2C4630EEAC513E1BB81A15944DA3827D5B74143AC7EACEEE720B3",
     "B1B6AA29DF212FD8763182BC0D421CA1BB9038FD1F7F42D4840B69C485BBC1AA"},
};

struct EncryptVector {
    const char* source;
    const char* d;
    const char* msg;
    const char* k;
    const char* c1c3c2;
};
const EncryptVector kEncryptVectors[] = {
    {"GB/T 32918.5-2017 Annex A, encryption", "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8",
     "encryption standard", "59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1BC21",
     "04"
     "04EBFC718E8D1798620432268E77FEB6415E2EDE0E073C0F4F640ECD2E149A73"
     "E858F9D81E5430A57B36DAAB8F950A3C64E6EE6A63094D99283AFF767E124DF0"
     "59983C18F809E262923C53AEC295D30383B54E39D609D160AFCB1908D0BD8766"
     "21886CA989CA9C7D58087307CA93092D651EFA"},
};

TEST_P(Sm2, SignatureKnownAnswers)
{
    for (const auto& v : kSignVectors) {
        SCOPED_TRACE(v.source);
        Key key = keyFromPrivate(v.d);
        const size_t len = strlen(v.msg);
        // e with the public point recomputed from d (signing) and taken from the key (verification)
        for (int flag : {0, 1}) {
            Bn e(api().hash(key.get(), v.id, u8(v.msg), len, md(), flag));
            ASSERT_TRUE(e);
            EXPECT_EQ(bnToHex(e.get()), v.e) << "flag " << flag;
        }
        Sig sig;
        Bn k = bnHex(v.k);
        ASSERT_EQ(sm::sm2_sign_with_k(key.get(), v.id, u8(v.msg), len, &sig.s, md(), k.get(), api().arith), 1);
        EXPECT_EQ(bnToHex(sig.s.r), v.r);
        EXPECT_EQ(bnToHex(sig.s.s), v.s);
        EXPECT_EQ(api().verify(key.get(), v.id, u8(v.msg), len, &sig.s, md()), 1);
    }
}

TEST_P(Sm2, EncryptionKnownAnswers)
{
    for (const auto& v : kEncryptVectors) {
        SCOPED_TRACE(v.source);
        Key key = keyFromPrivate(v.d);
        const size_t len = strlen(v.msg);
        const Bytes want = hex(v.c1c3c2);
        Bytes ct(want.size() + 8);
        Bn k = bnHex(v.k);
        ASSERT_EQ(sm::sm2_encrypt_with_k(key.get(), u8(v.msg), len, ct.data(), md(), k.get(), api().arith),
                  want.size());
        ct.resize(want.size());
        EXPECT_EQ(toHex(ct.data(), ct.size()), toHex(want.data(), want.size()));
        Bytes pt(len);
        ASSERT_EQ(api().decrypt(key.get(), want.data(), want.size(), pt.data(), md()), len);
        EXPECT_EQ(0, memcmp(pt.data(), v.msg, len));
    }
}

// d = n - 1 has no (1 + d)^-1: signing fails cleanly.
TEST_P(Sm2, PrivateKeyNMinus1CannotSign)
{
    Key key = keyFromPrivate("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122");
    Sig sig;
    EXPECT_EQ(api().sign(key.get(), nullptr, u8("m"), 1, &sig.s, md()), 0);
}

// A fixed k that the algorithm would have to reject fails instead of looping.
TEST_P(Sm2, FixedKOutsideRangeFails)
{
    Key key = randomKey();
    const Bn n(BN_bin2bn(sm::EC_SM2_n, 32, nullptr));
    Bn zero(BN_new());
    BN_zero(zero.get());
    Sig sig;
    unsigned char ct[65 + 32 + 4];
    for (const BIGNUM* k : {zero.get(), n.get()}) {
        EXPECT_EQ(sm::sm2_sign_with_k(key.get(), nullptr, u8("abcd"), 4, &sig.s, md(), k, api().arith), 0);
        EXPECT_EQ(sm::sm2_encrypt_with_k(key.get(), u8("abcd"), 4, ct, md(), k, api().arith), 0u);
    }
}

// ---- Z and e ---------------------------------------------------------------

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), computed here from the
// formula with OpenSSL 3's SM3; e = SM3(Z || M).
Bytes independentZ(const std::string& id, const unsigned char xy[64])
{
    const unsigned entl = static_cast<unsigned>(id.size() * 8);
    const unsigned char entlBytes[2] = {static_cast<unsigned char>(entl >> 8), static_cast<unsigned char>(entl)};
    MdCtx ctx(EVP_MD_CTX_new());
    unsigned char z[32];
    EVP_DigestInit_ex(ctx.get(), ::EVP_sm3(), nullptr);
    EVP_DigestUpdate(ctx.get(), entlBytes, 2);
    EVP_DigestUpdate(ctx.get(), id.data(), id.size());
    for (const unsigned char* c : {sm::EC_SM2_a, sm::EC_SM2_b, sm::EC_SM2_Gx, sm::EC_SM2_Gy}) {
        EVP_DigestUpdate(ctx.get(), c, 32);
    }
    EVP_DigestUpdate(ctx.get(), xy, 64);
    EVP_DigestFinal_ex(ctx.get(), z, nullptr);
    return Bytes(z, z + 32);
}

Bytes independentE(EC_KEY* key, const std::string& id, const Bytes& msg)
{
    unsigned char pt[65];
    EC_POINT_point2oct(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key), POINT_CONVERSION_UNCOMPRESSED, pt,
                       sizeof pt, nullptr);
    Bytes zm = independentZ(id, pt + 1);
    zm.insert(zm.end(), msg.begin(), msg.end());
    unsigned char e[32];
    EVP_Digest(zm.data(), zm.size(), e, nullptr, ::EVP_sm3(), nullptr);
    return Bytes(e, e + 32);
}

TEST_P(Sm2, MessageRepresentativeMatchesTheFormula)
{
    std::mt19937 rng(7);
    const struct {
        const char* what;
        bool absent;  // pass no identity at all
        std::string id;
    } rows[] = {
        {"absent identity means ENTL 0x0080 and 1234567812345678", true, "1234567812345678"},
        {"explicit default identity", false, "1234567812345678"},
        {"empty identity, ENTL 0", false, ""},
        {"other identity", false, "ALICE123@YAHOO.COM"},
        {"longest identity, ENTL 0xFFF8", false, std::string(8191, 'x')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Key key = randomKey();
        const Bytes msg = randomBytes(rng, 1 + rng() % 100);
        const Bytes want = independentE(key.get(), row.id, msg);
        for (int flag : {0, 1}) {
            Bn e(api().hash(key.get(), row.absent ? nullptr : row.id.c_str(), msg.data(), msg.size(), md(), flag));
            ASSERT_TRUE(e);
            unsigned char got[32];
            BN_bn2binpad(e.get(), got, 32);
            EXPECT_EQ(toHex(got, 32), toHex(want.data(), 32)) << "flag " << flag;
        }
    }
    Key key = randomKey();
    const std::string tooLong(8192, 'x');
    EXPECT_EQ(api().hash(key.get(), tooLong.c_str(), u8("m"), 1, md(), 1), nullptr);
}

// ---- Interoperation with OpenSSL 3 ------------------------------------------

// OpenSSL's own SM2, in a library context of its own: an engine that other
// code registers for SM2 keys in the default context (as the hooks do) cannot
// stand in for the reference there.
OSSL_LIB_CTX* opensslCtx()
{
    static OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    return ctx;
}

Pkey toPkey(EC_KEY* key)
{
    unsigned char pub[65];
    EC_POINT_point2oct(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key), POINT_CONVERSION_UNCOMPRESSED, pub,
                       sizeof pub, nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, EC_KEY_get0_private_key(key));
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PkeyCtx pc(EVP_PKEY_CTX_new_from_name(opensslCtx(), "SM2", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (pc && EVP_PKEY_fromdata_init(pc.get()) == 1) {
        EVP_PKEY_fromdata(pc.get(), &pkey, EVP_PKEY_KEYPAIR, params);
    }
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(pkey);
}

Bytes derSig(const sm::EC_SM2_SIG& sig)
{
    ECDSA_SIG* es = ECDSA_SIG_new();
    ECDSA_SIG_set0(es, BN_dup(sig.r), BN_dup(sig.s));
    unsigned char* der = nullptr;
    const int len = i2d_ECDSA_SIG(es, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    ECDSA_SIG_free(es);
    return out;
}

int opensslVerify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& der)
{
    MdCtx m(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    if (EVP_DigestVerifyInit_ex(m.get(), &pc, "SM3", opensslCtx(), nullptr, pkey, nullptr) != 1 ||
        EVP_PKEY_CTX_set1_id(pc, sm::SM2_DEFAULT_ID, 16) != 1) {
        return -99;
    }
    return EVP_DigestVerify(m.get(), der.data(), der.size(), msg.data(), msg.size());
}

Bytes opensslSign(EVP_PKEY* pkey, const Bytes& msg)
{
    MdCtx m(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    size_t len = 0;
    if (EVP_DigestSignInit_ex(m.get(), &pc, "SM3", opensslCtx(), nullptr, pkey, nullptr) != 1 ||
        EVP_PKEY_CTX_set1_id(pc, sm::SM2_DEFAULT_ID, 16) != 1 ||
        EVP_DigestSign(m.get(), nullptr, &len, msg.data(), msg.size()) != 1) {
        return {};
    }
    Bytes out(len);
    if (EVP_DigestSign(m.get(), out.data(), &len, msg.data(), msg.size()) != 1) {
        return {};
    }
    out.resize(len);
    return out;
}

// C1 || C3 || C2  <->  SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING, ciphertext OCTET STRING }
Bytes toDerCipher(const Bytes& ct)
{
    ASN1_TYPE* items[4] = {ASN1_TYPE_new(), ASN1_TYPE_new(), ASN1_TYPE_new(), ASN1_TYPE_new()};
    for (int i = 0; i < 2; ++i) {
        Bn v(BN_bin2bn(ct.data() + 1 + 32 * i, 32, nullptr));
        ASN1_TYPE_set(items[i], V_ASN1_INTEGER, BN_to_ASN1_INTEGER(v.get(), nullptr));
    }
    ASN1_OCTET_STRING* h = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(h, ct.data() + 65, 32);
    ASN1_TYPE_set(items[2], V_ASN1_OCTET_STRING, h);
    ASN1_OCTET_STRING* c = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(c, ct.data() + 97, static_cast<int>(ct.size() - 97));
    ASN1_TYPE_set(items[3], V_ASN1_OCTET_STRING, c);
    ASN1_SEQUENCE_ANY* seq = sk_ASN1_TYPE_new_null();
    for (ASN1_TYPE* t : items) {
        sk_ASN1_TYPE_push(seq, t);
    }
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_SEQUENCE_ANY(seq, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

Bytes fromDerCipher(const Bytes& der)
{
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    Bytes out;
    if (seq != nullptr && sk_ASN1_TYPE_num(seq) == 4) {
        out.assign(65, 0x04);
        for (int i = 0; i < 2; ++i) {
            Bn v(ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr));
            BN_bn2binpad(v.get(), out.data() + 1 + 32 * i, 32);
        }
        for (int i = 2; i < 4; ++i) {
            const ASN1_OCTET_STRING* o = sk_ASN1_TYPE_value(seq, i)->value.octet_string;
            out.insert(out.end(), o->data, o->data + o->length);
        }
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

Bytes opensslCrypt(EVP_PKEY* pkey, const Bytes& in, bool encrypt)
{
    PkeyCtx pc(EVP_PKEY_CTX_new_from_pkey(opensslCtx(), pkey, nullptr));
    size_t len = 0;
    const auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
    if (!pc || (encrypt ? EVP_PKEY_encrypt_init(pc.get()) : EVP_PKEY_decrypt_init(pc.get())) != 1 ||
        op(pc.get(), nullptr, &len, in.data(), in.size()) != 1) {
        return {};
    }
    Bytes out(len);
    if (op(pc.get(), out.data(), &len, in.data(), in.size()) != 1) {
        return {};
    }
    out.resize(len);
    return out;
}

// Message lengths around the 32-byte blocks of the key derivation function.
const size_t kLengths[] = {1, 31, 32, 33, 64, 100};

TEST_P(Sm2, SignaturesInteroperateWithOpenSSL)
{
    std::mt19937 rng(11);
    for (size_t len : kLengths) {
        Key key = randomKey();
        Pkey pkey = toPkey(key.get());
        ASSERT_TRUE(pkey);
        const Bytes msg = randomBytes(rng, len);
        Sig sig;
        ASSERT_EQ(api().sign(key.get(), nullptr, msg.data(), msg.size(), &sig.s, md()), 1);
        EXPECT_EQ(opensslVerify(pkey.get(), msg, derSig(sig.s)), 1) << "OpenSSL verifies ours, length " << len;

        const Bytes der = opensslSign(pkey.get(), msg);
        ASSERT_FALSE(der.empty());
        const unsigned char* p = der.data();
        ECDSA_SIG* es = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(es, nullptr);
        const sm::EC_SM2_SIG theirs{const_cast<BIGNUM*>(ECDSA_SIG_get0_r(es)), const_cast<BIGNUM*>(ECDSA_SIG_get0_s(es))};
        EXPECT_EQ(api().verify(key.get(), nullptr, msg.data(), msg.size(), &theirs, md()), 1)
            << "we verify OpenSSL's, length " << len;
        ECDSA_SIG_free(es);
    }
}

TEST_P(Sm2, EncryptionInteroperatesWithOpenSSL)
{
    std::mt19937 rng(13);
    for (size_t len : kLengths) {
        Key key = randomKey();
        Pkey pkey = toPkey(key.get());
        ASSERT_TRUE(pkey);
        const Bytes msg = randomBytes(rng, len);

        Bytes ct(api().encrypt(key.get(), msg.data(), msg.size(), nullptr, md()));
        ASSERT_EQ(api().encrypt(key.get(), msg.data(), msg.size(), ct.data(), md()), ct.size());
        EXPECT_EQ(opensslCrypt(pkey.get(), toDerCipher(ct), false), msg) << "OpenSSL decrypts ours, length " << len;

        const Bytes theirs = fromDerCipher(opensslCrypt(pkey.get(), msg, true));
        ASSERT_EQ(theirs.size(), 97 + len);
        Bytes pt(len);
        EXPECT_EQ(api().decrypt(key.get(), theirs.data(), theirs.size(), pt.data(), md()), len);
        EXPECT_EQ(pt, msg) << "we decrypt OpenSSL's, length " << len;
    }
}

// ---- Verification failures ---------------------------------------------------

// A digest that counts its uses, to show which failures happen before hashing.
int g_digestInits = 0;
const EVP_MD* countingDigest()
{
    static EVP_MD* md = [] {
        EVP_MD* m = EVP_MD_meth_new(NID_undef, NID_undef);
        EVP_MD_meth_set_result_size(m, 32);
        EVP_MD_meth_set_input_blocksize(m, 64);
        EVP_MD_meth_set_init(m, [](EVP_MD_CTX*) {
            ++g_digestInits;
            return 1;
        });
        EVP_MD_meth_set_update(m, [](EVP_MD_CTX*, const void*, size_t) { return 1; });
        EVP_MD_meth_set_final(m, [](EVP_MD_CTX*, unsigned char* out) {
            memset(out, 0x5a, 32);
            return 1;
        });
        return m;
    }();
    return md;
}

TEST_P(Sm2, VerificationRejectsOutOfRangeSignatureBeforeHashing)
{
    Key key = randomKey();
    const Bn n(BN_bin2bn(sm::EC_SM2_n, 32, nullptr));
    Bn zero(BN_new());
    BN_zero(zero.get());
    Bn one(BN_new());
    BN_one(one.get());
    const struct {
        const char* what;
        const BIGNUM* r;
        const BIGNUM* s;
    } rows[] = {
        {"r = 0", zero.get(), one.get()},
        {"s = 0", one.get(), zero.get()},
        {"r = n", n.get(), one.get()},
        {"s = n", one.get(), n.get()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const sm::EC_SM2_SIG sig{const_cast<BIGNUM*>(row.r), const_cast<BIGNUM*>(row.s)};
        g_digestInits = 0;
        EXPECT_EQ(api().verify(key.get(), nullptr, u8("m"), 1, &sig, countingDigest()), 0);
        EXPECT_EQ(g_digestInits, 0);
    }
    // The counter does move when verification gets as far as hashing.
    const sm::EC_SM2_SIG inRange{one.get(), one.get()};
    g_digestInits = 0;
    EXPECT_EQ(api().verify(key.get(), nullptr, u8("m"), 1, &inRange, countingDigest()), 0);
    EXPECT_GT(g_digestInits, 0);
    EXPECT_EQ(api().verify(key.get(), nullptr, u8("m"), 1, nullptr, md()), -1);
}

TEST_P(Sm2, VerificationRejectsAnyChange)
{
    Key key = randomKey();
    Key other = randomKey();
    const Bytes msg = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
    Sig sig;
    ASSERT_EQ(api().sign(key.get(), "alice", msg.data(), msg.size(), &sig.s, md()), 1);
    ASSERT_EQ(api().verify(key.get(), "alice", msg.data(), msg.size(), &sig.s, md()), 1);
    Bytes changed = msg;
    changed[3] ^= 0x01;
    EXPECT_EQ(api().verify(key.get(), "alice", changed.data(), changed.size(), &sig.s, md()), 0) << "message";
    EXPECT_EQ(api().verify(key.get(), "alicf", msg.data(), msg.size(), &sig.s, md()), 0) << "identity";
    EXPECT_EQ(api().verify(key.get(), nullptr, msg.data(), msg.size(), &sig.s, md()), 0) << "default identity";
    EXPECT_EQ(api().verify(other.get(), "alice", msg.data(), msg.size(), &sig.s, md()), 0) << "public key";
    BN_add_word(sig.s.s, 1);
    EXPECT_EQ(api().verify(key.get(), "alice", msg.data(), msg.size(), &sig.s, md()), 0) << "s + 1";
}

// ---- Encryption lengths and failures -------------------------------------------

int g_randCalls = 0;
int countingBytes(unsigned char* buf, int num)
{
    ++g_randCalls;
    return RAND_OpenSSL()->bytes(buf, num);
}

TEST_P(Sm2, EncryptionLayoutAndDecryptionFailures)
{
    Key key = randomKey();
    const Bytes msg = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes ct(107);
    ASSERT_EQ(api().encrypt(key.get(), msg.data(), msg.size(), ct.data(), md()), 107u);
    EXPECT_EQ(ct[0], 0x04);
    Bytes pt(10);
    ASSERT_EQ(api().decrypt(key.get(), ct.data(), ct.size(), nullptr, md()), 10u);
    ASSERT_EQ(api().decrypt(key.get(), ct.data(), ct.size(), pt.data(), md()), 10u);
    EXPECT_EQ(pt, msg);

    const struct {
        const char* what;
        size_t flipAt;
    } flips[] = {{"first byte of C3", 65}, {"last byte of C3", 96}, {"first byte of C2", 97}, {"last byte of C2", 106},
                 {"x of C1", 5}, {"y of C1", 40}};
    for (const auto& f : flips) {
        Bytes bad = ct;
        bad[f.flipAt] ^= 0x01;
        EXPECT_EQ(api().decrypt(key.get(), bad.data(), bad.size(), pt.data(), md()), 0u) << f.what;
    }

    // C1 that is not an uncompressed point of the curve
    const Bytes p = Bytes(sm::EC_SM2_p, sm::EC_SM2_p + 32);
    const struct {
        const char* what;
        Bytes c1;
    } points[] = {
        {"compressed prefix", [&] { Bytes c(ct.begin(), ct.begin() + 65); c[0] = 0x02; return c; }()},
        {"x = p", [&] { Bytes c(ct.begin(), ct.begin() + 65); std::copy(p.begin(), p.end(), c.begin() + 1); return c; }()},
        {"y = p", [&] { Bytes c(ct.begin(), ct.begin() + 65); std::copy(p.begin(), p.end(), c.begin() + 33); return c; }()},
        {"all zero", Bytes(65, 0)},
        {"prefix only zero", [] { Bytes c(65, 0); c[0] = 0x04; return c; }()},
    };
    for (const auto& row : points) {
        Bytes bad = ct;
        std::copy(row.c1.begin(), row.c1.end(), bad.begin());
        EXPECT_EQ(api().decrypt(key.get(), bad.data(), bad.size(), pt.data(), md()), 0u) << row.what;
    }

    // Too short for C1 || C3, and an empty C2
    EXPECT_EQ(api().decrypt(key.get(), ct.data(), 96, pt.data(), md()), 0u);
    EXPECT_EQ(api().decrypt(key.get(), ct.data(), 96, nullptr, md()), 0u);
    EXPECT_EQ(api().decrypt(key.get(), ct.data(), 97, pt.data(), md()), 0u);
    // Empty message, key without public point, key without private key
    EXPECT_EQ(api().encrypt(key.get(), msg.data(), 0, ct.data(), md()), 0u);
    Key noPub(EC_KEY_new_by_curve_name(NID_sm2));
    EXPECT_EQ(api().encrypt(noPub.get(), msg.data(), msg.size(), ct.data(), md()), 0u);
    EC_KEY_set_private_key(noPub.get(), EC_KEY_get0_private_key(key.get()));
    ASSERT_EQ(api().encrypt(key.get(), msg.data(), msg.size(), ct.data(), md()), 107u);
    EXPECT_EQ(api().decrypt(noPub.get(), ct.data(), ct.size(), pt.data(), md()), 10u);
    Key pubOnly(EC_KEY_new_by_curve_name(NID_sm2));
    EC_KEY_set_public_key(pubOnly.get(), EC_KEY_get0_public_key(key.get()));
    EXPECT_EQ(api().decrypt(pubOnly.get(), ct.data(), ct.size(), pt.data(), md()), 0u);
}

TEST_P(Sm2, LengthQueryDrawsNoRandomness)
{
    Key key = randomKey();
    const unsigned char msg[10] = {1};
    RAND_METHOD counting = *RAND_OpenSSL();
    counting.bytes = countingBytes;
    counting.pseudorand = countingBytes;
    ASSERT_EQ(RAND_set_rand_method(&counting), 1);
    g_randCalls = 0;
    const size_t need = api().encrypt(key.get(), msg, sizeof msg, nullptr, md());
    const int callsForQuery = g_randCalls;
    unsigned char ct[107];
    const size_t wrote = api().encrypt(key.get(), msg, sizeof msg, ct, md());
    const int callsForEncryption = g_randCalls - callsForQuery;
    RAND_set_rand_method(nullptr);
    EXPECT_EQ(need, 107u);
    EXPECT_EQ(callsForQuery, 0);
    EXPECT_EQ(wrote, 107u);
    EXPECT_GT(callsForEncryption, 0);
}

// ---- Keys ------------------------------------------------------------------------

TEST_P(Sm2, GeneratedKeysAreUsable)
{
    Key key(EC_KEY_new());
    ASSERT_EQ(api().generate(key.get()), 1);
    EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(key.get())), NID_sm2);
    EXPECT_EQ(api().check(key.get()), 1);
    // The public point is d*G as the library computes it.
    Point P(EC_POINT_new(EC_KEY_get0_group(key.get())));
    EC_POINT_mul(EC_KEY_get0_group(key.get()), P.get(), EC_KEY_get0_private_key(key.get()), nullptr, nullptr, nullptr);
    EXPECT_EQ(EC_POINT_cmp(EC_KEY_get0_group(key.get()), P.get(), EC_KEY_get0_public_key(key.get()), nullptr), 0);
    EXPECT_EQ(EC_KEY_check_key(key.get()), 1);
    // Keys already holding a key pair are left alone.
    EXPECT_EQ(api().generate(key.get()), 0);
    Key named(EC_KEY_new_by_curve_name(NID_sm2));
    ASSERT_EQ(api().generate(named.get()), 1);
    EXPECT_NE(BN_cmp(EC_KEY_get0_private_key(named.get()), EC_KEY_get0_private_key(key.get())), 0);
    // The curve data survives a copy of the key.
    Key copy(EC_KEY_dup(named.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(sm::ec_sm2_check(copy.get()), sm::ec_sm2_check(named.get()));
    Sig sig;
    ASSERT_EQ(api().sign(copy.get(), nullptr, u8("x"), 1, &sig.s, md()), 1);
    EXPECT_EQ(api().verify(named.get(), nullptr, u8("x"), 1, &sig.s, md()), 1);
}

// Z || M from a certificate's public key, with Z computed from the formula.
TEST(Sm2PreData, WritesZAndMessageFromACertificate)
{
    Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_TRUE(pkey);
    std::unique_ptr<X509, LibFree<X509, X509_free>> cert(X509_new());
    ASSERT_EQ(X509_set_pubkey(cert.get(), pkey.get()), 1);
    unsigned char pt[65];
    size_t ptLen = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pt, sizeof pt, &ptLen), 1);
    ASSERT_EQ(ptLen, 65u);
    const Bytes msg = {'d', 'a', 't', 'a'};
    for (const char* id : {static_cast<const char*>(nullptr), "ALICE123@YAHOO.COM"}) {
        SCOPED_TRACE(id == nullptr ? "default identity" : id);
        Bytes want = independentZ(id == nullptr ? sm::SM2_DEFAULT_ID : id, pt + 1);
        want.insert(want.end(), msg.begin(), msg.end());
        Bytes out(want.size() + 1, 0xEE);
        ASSERT_EQ(sm::EC_SM2_HashIdMessage_PreData(cert.get(), id, msg.data(), msg.size(), sm::EVP_sm3(), out.data(),
                                                   static_cast<int>(want.size())),
                  1);
        EXPECT_EQ(toHex(out.data(), want.size()), toHex(want.data(), want.size()));
        EXPECT_EQ(out.back(), 0xEE) << "wrote past Z || M";
    }
    // Size and argument failures: the buffer must hold digest size + message.
    Bytes buf(64);
    const int exact = 32 + static_cast<int>(msg.size());
    const struct {
        const char* what;
        X509* cert;
        unsigned char* out;
        int inlen;
        int want;
    } rows[] = {
        {"exact size", cert.get(), buf.data(), exact, 1},
        {"one byte short", cert.get(), buf.data(), exact - 1, 0},
        {"no room for Z", cert.get(), buf.data(), 31, 0},
        {"zero length", cert.get(), buf.data(), 0, 0},
        {"negative length", cert.get(), buf.data(), -1, 0},
        {"no buffer", cert.get(), nullptr, exact, 0},
        {"no certificate", nullptr, buf.data(), exact, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sm::EC_SM2_HashIdMessage_PreData(row.cert, nullptr, msg.data(), msg.size(), sm::EVP_sm3(), row.out,
                                                   row.inlen),
                  row.want)
            << row.what;
    }
}

TEST_P(Sm2, CheckKeyRejectsInvalidPublicPoints)
{
    Key good = randomKey();
    EXPECT_EQ(api().check(good.get()), 1);

    Key noPoint(EC_KEY_new_by_curve_name(NID_sm2));
    EXPECT_EQ(api().check(noPoint.get()), 0);

    const EC_GROUP* g = EC_KEY_get0_group(good.get());
    Key infinity(EC_KEY_new_by_curve_name(NID_sm2));
    Point inf(EC_POINT_new(g));
    EC_POINT_set_to_infinity(g, inf.get());
    EC_KEY_set_public_key(infinity.get(), inf.get());
    EXPECT_EQ(api().check(infinity.get()), 0);

    // (Gx, Gy + 1) with Z = 1: the library's setters would refuse it, the
    // Jacobian one stores it as given.
    Key offCurve(EC_KEY_new_by_curve_name(NID_sm2));
    Point off(EC_POINT_new(g));
    Bn x(BN_bin2bn(sm::EC_SM2_Gx, 32, nullptr));
    Bn y(BN_bin2bn(sm::EC_SM2_Gy, 32, nullptr));
    BN_add_word(y.get(), 1);
    ASSERT_EQ(EC_POINT_set_Jprojective_coordinates_GFp(g, off.get(), x.get(), y.get(), BN_value_one(), nullptr), 1);
    EC_KEY_set_public_key(offCurve.get(), off.get());
    EXPECT_EQ(api().check(offCurve.get()), 0);

    // A valid point of another curve (P-256) is not a point of ours.
    Key p256(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
    EC_KEY_generate_key(p256.get());
    EXPECT_EQ(api().check(p256.get()), 0);
    EXPECT_EQ(api().check(nullptr), 0);
}

// A public point off the curve is never used: no cipher text is made for it
// and no signature verifies under it.
TEST_P(Sm2, OffCurvePublicPointIsRefused)
{
    Key good = randomKey();
    const EC_GROUP* g = EC_KEY_get0_group(good.get());
    Key offCurve(EC_KEY_new_by_curve_name(NID_sm2));
    Point off(EC_POINT_new(g));
    Bn x(BN_bin2bn(sm::EC_SM2_Gx, 32, nullptr));
    Bn y(BN_bin2bn(sm::EC_SM2_Gy, 32, nullptr));
    BN_add_word(y.get(), 1);
    ASSERT_EQ(EC_POINT_set_Jprojective_coordinates_GFp(g, off.get(), x.get(), y.get(), BN_value_one(), nullptr), 1);
    EC_KEY_set_public_key(offCurve.get(), off.get());
    unsigned char ct[97 + 4];
    EXPECT_EQ(api().encrypt(offCurve.get(), u8("abcd"), 4, ct, md()), 0u);
    Sig sig;
    ASSERT_EQ(api().sign(good.get(), nullptr, u8("abcd"), 4, &sig.s, md()), 1);
    EXPECT_EQ(api().verify(offCurve.get(), nullptr, u8("abcd"), 4, &sig.s, md()), 0);
}

INSTANTIATE_TEST_SUITE_P(Arith, Sm2, ::testing::ValuesIn(kApis),
                         [](const ::testing::TestParamInfo<Api>& info) { return std::string(info.param.name); });

// ---- Helpers -------------------------------------------------------------------

TEST(Sm2Helpers, FixedWidthExport)
{
    const struct {
        const char* hexValue;
        int size;
        int want;
        const char* wantBytes;
    } rows[] = {
        {"0", 4, 0, "00000000"},
        {"1", 4, 1, "00000001"},
        {"0102", 4, 2, "00000102"},
        {"01020304", 4, 4, "01020304"},
        {"0102030405", 4, 5, "00000000"},  // too long: cleared, byte length returned
        {"FF", 0, 1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hexValue);
        Bn b = bnHex(row.hexValue);
        unsigned char buf[8];
        memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(sm::Md_bn2bin(b.get(), buf, row.size), row.want);
        EXPECT_EQ(toHex(buf, static_cast<size_t>(row.size)), row.wantBytes);
        EXPECT_EQ(buf[row.size], 0xEE) << "wrote past size";
    }
}

TEST(Sm2Helpers, ZeroArray)
{
    const unsigned char zeros[5] = {0, 0, 0, 0, 0};
    const unsigned char lastSet[5] = {0, 0, 0, 0, 1};
    const unsigned char firstSet[5] = {0x80, 0, 0, 0, 0};
    EXPECT_EQ(sm::IsArrayZero(zeros, 0), 1);
    EXPECT_EQ(sm::IsArrayZero(lastSet, 0), 1);
    EXPECT_EQ(sm::IsArrayZero(lastSet, 4), 1);
    EXPECT_EQ(sm::IsArrayZero(zeros, 5), 1);
    EXPECT_EQ(sm::IsArrayZero(lastSet, 5), 0);
    EXPECT_EQ(sm::IsArrayZero(firstSet, 5), 0);
}

// KDF output is a prefix of the longer output, and each 32-byte block is
// SM3(Z || counter) computed with OpenSSL 3's SM3.
TEST(Sm2Helpers, KeyDerivationBlocks)
{
    const unsigned char z[64] = {1, 2, 3};
    unsigned char longOut[100];
    ASSERT_EQ(sm::KDF(z, sizeof z, sizeof longOut, longOut, sm::EVP_sm3()), 1);
    for (unsigned long len : {1ul, 31ul, 32ul, 33ul, 64ul, 99ul}) {
        unsigned char out[100];
        memset(out, 0xEE, sizeof out);
        ASSERT_EQ(sm::KDF(z, sizeof z, len, out, sm::EVP_sm3()), 1);
        EXPECT_EQ(0, memcmp(out, longOut, len)) << len;
        EXPECT_EQ(out[len], 0xEE) << "wrote past " << len;
    }
    for (uint32_t ct = 1; ct <= 4; ++ct) {
        unsigned char in[68];
        memcpy(in, z, 64);
        in[64] = 0;
        in[65] = 0;
        in[66] = 0;
        in[67] = static_cast<unsigned char>(ct);
        unsigned char block[32];
        EVP_Digest(in, sizeof in, block, nullptr, ::EVP_sm3(), nullptr);
        const size_t take = std::min<size_t>(32, sizeof longOut - 32 * (ct - 1));
        EXPECT_EQ(0, memcmp(block, longOut + 32 * (ct - 1), take)) << "block " << ct;
    }
}

}  // namespace
