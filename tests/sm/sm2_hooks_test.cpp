// SM2 keys through the library's generic calls: key construction, the engine
// and key-operation method, the ASN.1 method, keys from certificates. OpenSSL
// 3's own SM2 (provider keys, ::EVP_sm3) is the independent reference.

#include "SM/sm2.h"
#include "SM/sm2_lib.h"
#include "SM/sm3.h"
#include "sm2_test_util.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>

namespace {

using namespace sm2test;

using X509Ptr = std::unique_ptr<X509, LibFree<X509, X509_free>>;
using ReqPtr = std::unique_ptr<X509_REQ, LibFree<X509_REQ, X509_REQ_free>>;
using PubkeyPtr = std::unique_ptr<X509_PUBKEY, LibFree<X509_PUBKEY, X509_PUBKEY_free>>;
using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, LibFree<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;
using BioPtr = std::unique_ptr<BIO, LibFree<BIO, BIO_free_all>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, LibFree<ECDSA_SIG, ECDSA_SIG_free>>;

void engineFree(ENGINE* e)
{
    ENGINE_free(e);
}
using EnginePtr = std::unique_ptr<ENGINE, LibFree<ENGINE, engineFree>>;

// GB/T 32918.5-2017 Annex A (recommended curve): key, signed message with its
// signature, encrypted message with its cipher text C1 || C3 || C2.
const char kAnnexD[] = "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8";
const char kAnnexSignedMsg[] = "message digest";
const char kAnnexSigRS[] = "F5A03B0648D2C4630EEAC513E1BB81A15944DA3827D5B74143AC7EACEEE720B3"
                           "B1B6AA29DF212FD8763182BC0D421CA1BB9038FD1F7F42D4840B69C485BBC1AA";
const char kAnnexEncryptedMsg[] = "encryption standard";
const char kAnnexCipher[] = "04"
                            "04EBFC718E8D1798620432268E77FEB6415E2EDE0E073C0F4F640ECD2E149A73"
                            "E858F9D81E5430A57B36DAAB8F950A3C64E6EE6A63094D99283AFF767E124DF0"
                            "59983C18F809E262923C53AEC295D30383B54E39D609D160AFCB1908D0BD8766"
                            "21886CA989CA9C7D58087307CA93092D651EFA";

// id-ecPublicKey with the SM2 curve identifier, then the 65-byte point.
const char kSm2SpkiPrefix[] = "3059301306072A8648CE3D020106082A811CCF5501822D03420004";

Bytes bytesOf(const char* s)
{
    return Bytes(s, s + std::strlen(s));
}

Bytes pointOf(const EC_KEY* key)
{
    Bytes out(65);
    const size_t n = EC_POINT_point2oct(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key),
                                        POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), nullptr);
    out.resize(n);
    return out;
}

// Our SM2 key (EC_KEY_from_BN + EVP_PKEY_SM2_init) for a library-made key.
Pkey sm2Pkey(const EC_KEY* libKey, bool withPrivate = true)
{
    Bn x(BN_new());
    Bn y(BN_new());
    EC_POINT_get_affine_coordinates(EC_KEY_get0_group(libKey), EC_KEY_get0_public_key(libKey), x.get(), y.get(),
                                    nullptr);
    EC_KEY* ec = sm::EC_KEY_from_BN(x.get(), y.get(), withPrivate ? EC_KEY_get0_private_key(libKey) : nullptr);
    EVP_PKEY* pkey = sm::EVP_PKEY_SM2_init(ec);
    if (pkey == nullptr) {
        EC_KEY_free(ec);
    }
    return Pkey(pkey);
}

// OpenSSL's own SM2 on the same key (a legacy key without engine: the library
// hands it to its provider).
Pkey referencePkey(EC_KEY* libKey)
{
    Pkey pkey(EVP_PKEY_new());
    EVP_PKEY_set1_EC_KEY(pkey.get(), libKey);
    return pkey;
}

enum class Op { Sign, Verify, Encrypt, Decrypt };

PkeyCtx ctxFor(EVP_PKEY* pkey, Op op, const char* id = nullptr)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx) {
        return ctx;
    }
    int rc = 0;
    switch (op) {
    case Op::Sign: rc = EVP_PKEY_sign_init(ctx.get()); break;
    case Op::Verify: rc = EVP_PKEY_verify_init(ctx.get()); break;
    case Op::Encrypt: rc = EVP_PKEY_encrypt_init(ctx.get()); break;
    case Op::Decrypt: rc = EVP_PKEY_decrypt_init(ctx.get()); break;
    }
    if (rc != 1 || (id != nullptr && sm::EVP_PKEY_CTX_set_id(ctx.get(), id) != 1)) {
        return PkeyCtx();
    }
    return ctx;
}

Bytes ourSign(EVP_PKEY* pkey, const Bytes& msg, const char* id = nullptr)
{
    PkeyCtx ctx = ctxFor(pkey, Op::Sign, id);
    Bytes sig(sm::SM2_RAW_SIG_LEN);
    size_t len = sig.size();
    if (!ctx || EVP_PKEY_sign(ctx.get(), sig.data(), &len, msg.data(), msg.size()) != 1) {
        return {};
    }
    sig.resize(len);
    return sig;
}

int ourVerify(EVP_PKEY* pkey, const Bytes& sig, const Bytes& msg, const char* id = nullptr)
{
    PkeyCtx ctx = ctxFor(pkey, Op::Verify, id);
    return ctx ? EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), msg.data(), msg.size()) : -99;
}

Bytes rawToDer(const Bytes& rs)
{
    SigPtr es(ECDSA_SIG_new());
    ECDSA_SIG_set0(es.get(), BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int len = i2d_ECDSA_SIG(es.get(), &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

Bytes derToRaw(const Bytes& der)
{
    const unsigned char* p = der.data();
    SigPtr es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!es) {
        return {};
    }
    Bytes out(64);
    BN_bn2binpad(ECDSA_SIG_get0_r(es.get()), out.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(es.get()), out.data() + 32, 32);
    return out;
}

int opensslVerify(EVP_PKEY* ref, const Bytes& der, const Bytes& msg, const std::string& id)
{
    MdCtx m(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    if (EVP_DigestVerifyInit(m.get(), &pc, ::EVP_sm3(), nullptr, ref) != 1 ||
        EVP_PKEY_CTX_set1_id(pc, id.data(), id.size()) != 1) {
        return -99;
    }
    return EVP_DigestVerify(m.get(), der.data(), der.size(), msg.data(), msg.size());
}

Bytes opensslSign(EVP_PKEY* ref, const Bytes& msg, const std::string& id)
{
    MdCtx m(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    size_t len = 0;
    if (EVP_DigestSignInit(m.get(), &pc, ::EVP_sm3(), nullptr, ref) != 1 ||
        EVP_PKEY_CTX_set1_id(pc, id.data(), id.size()) != 1 ||
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

// Runs op (encrypt or decrypt) with a length query first, as callers do.
struct CryptResult {
    int rc;
    size_t queried;
    Bytes out;
};
CryptResult ourCrypt(EVP_PKEY* pkey, Op op, const Bytes& in)
{
    PkeyCtx ctx = ctxFor(pkey, op);
    const auto fn = op == Op::Encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
    CryptResult r{-99, 0, {}};
    if (!ctx || fn(ctx.get(), nullptr, &r.queried, in.data(), in.size()) != 1) {
        return r;
    }
    r.out.resize(r.queried);
    size_t len = r.out.size();
    r.rc = fn(ctx.get(), r.out.data(), &len, in.data(), in.size());
    r.out.resize(len);
    return r;
}

// A self-signed certificate for pkey, made with the library's C API.
X509Ptr makeCert(EVP_PKEY* pkey, const EVP_MD* md)
{
    X509Ptr x(X509_new());
    X509_NAME* name = X509_get_subject_name(x.get());
    if (X509_set_version(x.get(), X509_VERSION_3) != 1 || ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600) == nullptr ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("hooks test"), -1,
                                   -1, 0) != 1 ||
        X509_set_issuer_name(x.get(), name) != 1 || X509_set_pubkey(x.get(), pkey) != 1 ||
        X509_sign(x.get(), pkey, md) <= 0) {
        return X509Ptr();
    }
    return x;
}

Bytes spkiDer(const X509_PUBKEY* pk)
{
    unsigned char* der = nullptr;
    const int len = i2d_X509_PUBKEY(pk, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

class Sm2Hooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib = keyFromPrivate(kAnnexD);
        ours = sm2Pkey(lib.get());
        ref = referencePkey(lib.get());
        ASSERT_TRUE(ours);
        ASSERT_TRUE(ref);
    }
    void TearDown() override { ERR_clear_error(); }

    Key lib;
    Pkey ours;
    Pkey ref;
};

// ---- Key construction --------------------------------------------------------

TEST_F(Sm2Hooks, KeysAreFlaggedOnTheSm2GroupAndBecomeTheLibrarysSm2Type)
{
    const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(ours.get());
    ASSERT_NE(ec, nullptr);
    EXPECT_EQ(sm::EC_KEY_is_sm2(ec), 1);
    EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)), NID_sm2);
    EXPECT_EQ(EVP_PKEY_get_id(ours.get()), EVP_PKEY_SM2);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(ec), EC_KEY_get0_private_key(lib.get())), 0);
    EXPECT_EQ(sm::EC_KEY_is_sm2(lib.get()), 0);
    EXPECT_EQ(sm::EC_KEY_is_sm2(nullptr), 0);
}

TEST_F(Sm2Hooks, KeyFromCoordinatesChecksThePoint)
{
    Bn x(BN_new());
    Bn y(BN_new());
    ASSERT_EQ(EC_POINT_get_affine_coordinates(EC_KEY_get0_group(lib.get()), EC_KEY_get0_public_key(lib.get()), x.get(),
                                              y.get(), nullptr),
              1);
    Bn yPlus1(BN_dup(y.get()));
    BN_add_word(yPlus1.get(), 1);
    Bn p(BN_bin2bn(sm::EC_SM2_p, 32, nullptr));
    Bn xPlusP(BN_new());
    BN_add(xPlusP.get(), x.get(), p.get());
    const BIGNUM* d = EC_KEY_get0_private_key(lib.get());
    const struct {
        const char* what;
        const BIGNUM* x;
        const BIGNUM* y;
        const BIGNUM* d;
        bool accepted;
    } rows[] = {
        {"public point only", x.get(), y.get(), nullptr, true},
        {"public point and private key", x.get(), y.get(), d, true},
        {"point off the curve", x.get(), yPlus1.get(), nullptr, false},
        {"x not reduced mod p", xPlusP.get(), y.get(), nullptr, false},
        {"x absent", nullptr, y.get(), nullptr, false},
    };
    for (const auto& r : rows) {
        Key key(sm::EC_KEY_from_BN(r.x, r.y, r.d));
        EXPECT_EQ(static_cast<bool>(key), r.accepted) << r.what;
        if (key) {
            EXPECT_EQ(pointOf(key.get()), pointOf(lib.get())) << r.what;
            EXPECT_EQ(EC_KEY_get0_private_key(key.get()) != nullptr, r.d != nullptr) << r.what;
        }
    }

    Key onlyPrivate(sm::EC_KEY_from_BN_EX(d));
    ASSERT_TRUE(onlyPrivate);
    EXPECT_EQ(EC_KEY_get0_public_key(onlyPrivate.get()), nullptr);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(onlyPrivate.get()), d), 0);
    EXPECT_EQ(sm::EC_KEY_is_sm2(onlyPrivate.get()), 1);
}

// ---- Signatures through EVP_PKEY_sign / EVP_PKEY_verify --------------------

TEST_F(Sm2Hooks, SignaturesThroughTheGenericCalls)
{
    const Bytes msg = bytesOf("generic sign and verify");
    PkeyCtx ctx = ctxFor(ours.get(), Op::Sign);
    ASSERT_TRUE(ctx);
    size_t queried = 0;
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &queried, msg.data(), msg.size()), 1);
    EXPECT_EQ(queried, 64u);
    Bytes small(63);
    size_t smallLen = small.size();
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), small.data(), &smallLen, msg.data(), msg.size()), 0) << "63-byte buffer";

    const Bytes sig = ourSign(ours.get(), msg);
    ASSERT_EQ(sig.size(), 64u);
    Bytes longer = sig;
    longer.push_back(0xA5);
    Bytes shorter(sig.begin(), sig.end() - 1);
    Bytes flippedS = sig;
    flippedS[63] ^= 1;
    const struct {
        const char* what;
        Bytes sig;
        Bytes msg;
        int expected;
    } rows[] = {
        {"same message", sig, msg, 1},
        {"another message", sig, bytesOf("generic sign and verifY"), 0},
        {"63 bytes", shorter, msg, 0},
        {"65 bytes, the last ignored", longer, msg, 1},
        {"s changed", flippedS, msg, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ourVerify(ours.get(), r.sig, r.msg), r.expected) << r.what;
    }

    // Verification needs only the public key.
    Pkey publicOnly = sm2Pkey(lib.get(), false);
    ASSERT_TRUE(publicOnly);
    EXPECT_EQ(ourVerify(publicOnly.get(), sig, msg), 1);
    EXPECT_FALSE(ctxFor(publicOnly.get(), Op::Sign)) << "sign init without private key";
}

TEST_F(Sm2Hooks, PublishedSignatureVerifies)
{
    // GB/T 32918.5-2017 Annex A: identity 1234567812345678, the default.
    EXPECT_EQ(ourVerify(ours.get(), hex(kAnnexSigRS), bytesOf(kAnnexSignedMsg)), 1);
    EXPECT_EQ(ourVerify(ours.get(), hex(kAnnexSigRS), bytesOf(kAnnexSignedMsg), "1234567812345679"), 0);
}

TEST_F(Sm2Hooks, SignaturesInteroperateWithOpenSSL)
{
    const Bytes msg = bytesOf("interoperation");
    const struct {
        const char* what;
        const char* ourId;  // null: the method's default
        std::string refId;
    } rows[] = {
        {"default identity", nullptr, sm::SM2_DEFAULT_ID},
        {"identity set on the context", "ALICE123@YAHOO.COM", "ALICE123@YAHOO.COM"},
    };
    for (const auto& r : rows) {
        const Bytes sig = ourSign(ours.get(), msg, r.ourId);
        ASSERT_EQ(sig.size(), 64u) << r.what;
        EXPECT_EQ(opensslVerify(ref.get(), rawToDer(sig), msg, r.refId), 1) << "OpenSSL verifies ours: " << r.what;
        EXPECT_EQ(opensslVerify(ref.get(), rawToDer(sig), msg, "another identity"), 0) << r.what;

        const Bytes theirs = derToRaw(opensslSign(ref.get(), msg, r.refId));
        ASSERT_EQ(theirs.size(), 64u) << r.what;
        EXPECT_EQ(ourVerify(ours.get(), theirs, msg, r.ourId), 1) << "we verify OpenSSL's: " << r.what;
    }
}

TEST_F(Sm2Hooks, ContextCopiesKeepTheIdentity)
{
    const char id[] = "copied identity";
    PkeyCtx ctx = ctxFor(ours.get(), Op::Sign, id);
    ASSERT_TRUE(ctx);
    PkeyCtx copy(EVP_PKEY_CTX_dup(ctx.get()));
    ASSERT_TRUE(copy);
    ctx.reset();  // the copy owns its own data
    const Bytes msg = bytesOf("signed on a copy");
    Bytes sig(64);
    size_t len = sig.size();
    ASSERT_EQ(EVP_PKEY_sign(copy.get(), sig.data(), &len, msg.data(), msg.size()), 1);
    EXPECT_EQ(ourVerify(ours.get(), sig, msg, id), 1);
    EXPECT_EQ(ourVerify(ours.get(), sig, msg), 0);
}

TEST_F(Sm2Hooks, ContextSetters)
{
    PkeyCtx fresh(EVP_PKEY_CTX_new(ours.get(), nullptr));
    ASSERT_TRUE(fresh);
    // The library's rules for these controls: a digest only once an
    // operation is initialised, an identity at any time.
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_md(fresh.get(), sm::EVP_sm3()), 0);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_id(fresh.get(), "set before init"), 1);
    ASSERT_EQ(EVP_PKEY_verify_init(fresh.get()), 1);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_md(fresh.get(), sm::EVP_sm3()), 1);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_md(fresh.get(), nullptr), 0);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_id(fresh.get(), std::string(sm::SM2_MAX_ID_LEN + 1, 'i').c_str()), 0);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_id(fresh.get(), "1234567812345679"), 1);
    const Bytes msg = bytesOf(kAnnexSignedMsg);
    EXPECT_EQ(EVP_PKEY_verify(fresh.get(), hex(kAnnexSigRS).data(), 64, msg.data(), msg.size()), 0);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_id(fresh.get(), nullptr), 1) << "back to the default identity";
    EXPECT_EQ(EVP_PKEY_verify(fresh.get(), hex(kAnnexSigRS).data(), 64, msg.data(), msg.size()), 1);
    EXPECT_EQ(sm::EVP_PKEY_CTX_set_id(nullptr, "x"), 0);
}

TEST_F(Sm2Hooks, DigestSignAndVerifyRunThroughTheMethod)
{
    const Bytes msg = bytesOf("digest, then sign");
    MdCtx m(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit(m.get(), nullptr, sm::EVP_sm3(), nullptr, ours.get()), 1);
    size_t len = 0;
    ASSERT_EQ(EVP_DigestSign(m.get(), nullptr, &len, msg.data(), msg.size()), 1);
    ASSERT_EQ(len, 64u);
    Bytes sig(len);
    ASSERT_EQ(EVP_DigestSign(m.get(), sig.data(), &len, msg.data(), msg.size()), 1);
    ASSERT_EQ(len, 64u);

    for (const auto& [what, data, expected] : {std::tuple<const char*, Bytes, int>{"same data", msg, 1},
                                               {"other data", bytesOf("digest, then sigN"), 0}}) {
        MdCtx v(EVP_MD_CTX_new());
        ASSERT_EQ(EVP_DigestVerifyInit(v.get(), nullptr, sm::EVP_sm3(), nullptr, ours.get()), 1);
        EXPECT_EQ(EVP_DigestVerify(v.get(), sig.data(), sig.size(), data.data(), data.size()), expected) << what;
    }
    // The library hands the method the digest of the data: the signature is
    // the SM2 signature of SM3(data).
    Bytes digest(32);
    sm::SM3(msg.data(), msg.size(), digest.data());
    EXPECT_EQ(ourVerify(ours.get(), sig, digest), 1);
}

// ---- Encryption through EVP_PKEY_encrypt / EVP_PKEY_decrypt ----------------

TEST_F(Sm2Hooks, EncryptionThroughTheGenericCalls)
{
    for (size_t len : {1u, 32u, 33u, 100u}) {
        const Bytes msg(len, static_cast<unsigned char>(len));
        const CryptResult ct = ourCrypt(ours.get(), Op::Encrypt, msg);
        EXPECT_EQ(ct.queried, len + 97) << len;
        ASSERT_EQ(ct.rc, 1) << len;
        ASSERT_EQ(ct.out.size(), len + 97) << len;
        EXPECT_EQ(ct.out[0], 0x04) << len;
        const CryptResult pt = ourCrypt(ours.get(), Op::Decrypt, ct.out);
        EXPECT_EQ(pt.rc, 1) << len;
        EXPECT_EQ(pt.out, msg) << len;

        Bytes tampered = ct.out;
        tampered.back() ^= 0x01;
        const CryptResult bad = ourCrypt(ours.get(), Op::Decrypt, tampered);
        EXPECT_EQ(bad.rc, 1) << "tampered, " << len;
        EXPECT_TRUE(bad.out.empty()) << "tampered, " << len;
    }
    // GB/T 32918.5-2017 Annex A cipher text.
    const CryptResult annex = ourCrypt(ours.get(), Op::Decrypt, hex(kAnnexCipher));
    EXPECT_EQ(annex.rc, 1);
    EXPECT_EQ(annex.out, bytesOf(kAnnexEncryptedMsg));
}

TEST_F(Sm2Hooks, EncryptionRefusesAShortOutputBuffer)
{
    const Bytes msg = bytesOf("sixteen bytes!!!");
    PkeyCtx ctx = ctxFor(ours.get(), Op::Encrypt);
    ASSERT_TRUE(ctx);
    Bytes out(msg.size() + 96);
    size_t len = out.size();
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &len, msg.data(), msg.size()), 0);

    const CryptResult ct = ourCrypt(ours.get(), Op::Encrypt, msg);
    ASSERT_EQ(ct.rc, 1);
    PkeyCtx dctx = ctxFor(ours.get(), Op::Decrypt);
    ASSERT_TRUE(dctx);
    Bytes pt(msg.size() - 1);
    len = pt.size();
    EXPECT_EQ(EVP_PKEY_decrypt(dctx.get(), pt.data(), &len, ct.out.data(), ct.out.size()), 0);
}

// ---- Engine --------------------------------------------------------------------

TEST(Sm2Engine, OffersTheMethodForBothKeyTypes)
{
    EnginePtr e(sm::engine_sm2());
    ASSERT_TRUE(e);
    EXPECT_STREQ(ENGINE_get_id(e.get()), "sm2");
    EXPECT_STREQ(ENGINE_get_name(e.get()), "sm2 support");
    ASSERT_EQ(ENGINE_init(e.get()), 1);
    EXPECT_NE(ENGINE_get_pkey_meth(e.get(), EVP_PKEY_SM2), nullptr);
    EXPECT_NE(ENGINE_get_pkey_meth(e.get(), EVP_PKEY_EC), nullptr);
    EXPECT_EQ(ENGINE_get_pkey_meth(e.get(), EVP_PKEY_RSA), nullptr);
    ENGINE_finish(e.get());
    ERR_clear_error();

    sm::ENGINE_load_sm2();
    sm::ENGINE_load_sm2();  // the second finds the identifier taken
    EXPECT_EQ(ERR_peek_error(), 0u);
    // ENGINE_register_all_complete (also run by ENGINE_by_id and the loading
    // of the built-in engines) makes every listed engine the default for what
    // it offers; this one must stay out of that, or it would take over every
    // EC key of the process.
    ENGINE_register_all_complete();
    EXPECT_EQ(ENGINE_get_pkey_meth_engine(EVP_PKEY_EC), nullptr);
    EXPECT_EQ(ENGINE_get_pkey_meth_engine(EVP_PKEY_SM2), nullptr);

    EnginePtr listed(ENGINE_get_first());
    while (listed && std::string(ENGINE_get_id(listed.get())) != "sm2") {
        listed.reset(ENGINE_get_next(listed.release()));  // get_next releases its argument
    }
    ASSERT_TRUE(listed);
    EXPECT_EQ(ENGINE_remove(listed.get()), 1);
}

// ---- Keys from certificates ------------------------------------------------

TEST(Sm2FromCertificate, ReadsThePointAndVerifiesOpenSSLSignatures)
{
    Pkey certKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_TRUE(certKey);
    X509Ptr cert = makeCert(certKey.get(), ::EVP_sm3());
    ASSERT_TRUE(cert);

    Key key(sm::EC_KEY_from_X509(cert.get()));
    ASSERT_TRUE(key);
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(cert.get());
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(pointOf(key.get()), Bytes(bits->data, bits->data + bits->length));

    // The service's verification path: certificate -> key -> context ->
    // verify init -> verify(r || s).
    const Bytes msg = bytesOf("signed by the certificate's key");
    const Bytes rs = derToRaw(opensslSign(certKey.get(), msg, sm::SM2_DEFAULT_ID));
    ASSERT_EQ(rs.size(), 64u);
    Pkey pkey(sm::EVP_PKEY_SM2_init(key.get()));
    ASSERT_TRUE(pkey);
    key.release();  // now held by pkey
    EXPECT_EQ(ourVerify(pkey.get(), rs, msg), 1);
    EXPECT_EQ(ourVerify(pkey.get(), rs, bytesOf("something else")), 0);
}

TEST(Sm2FromCertificate, RefusesWhatIsNoSm2Key)
{
    Pkey p256(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_TRUE(p256);
    X509Ptr p256Cert = makeCert(p256.get(), EVP_sha256());
    ASSERT_TRUE(p256Cert);
    ASSERT_EQ(X509_get0_pubkey_bitstr(p256Cert.get())->length, 65) << "same layout, other curve";
    EXPECT_EQ(sm::EC_KEY_from_X509(p256Cert.get()), nullptr);
    EXPECT_EQ(sm::EC_KEY_from_X509(nullptr), nullptr);

    // A compressed point (33 bytes) is shorter than the form read here.
    Pkey sm2Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_TRUE(sm2Key);
    ASSERT_EQ(EVP_PKEY_set_utf8_string_param(sm2Key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "compressed"), 1);
    X509Ptr compressed = makeCert(sm2Key.get(), ::EVP_sm3());
    ASSERT_TRUE(compressed);
    ASSERT_EQ(X509_get0_pubkey_bitstr(compressed.get())->length, 33);
    EXPECT_EQ(sm::EC_KEY_from_X509(compressed.get()), nullptr);
    ERR_clear_error();
}

// ---- Public keys in requests and the ASN.1 method --------------------------

TEST_F(Sm2Hooks, RequestsCarryTheSm2CurveIdentifier)
{
    ReqPtr req(X509_REQ_new());
    ASSERT_EQ(X509_REQ_set_pubkey(req.get(), ours.get()), 1);
    const Bytes spki = spkiDer(X509_REQ_get_X509_PUBKEY(req.get()));
    Bytes expected = hex(kSm2SpkiPrefix);
    const Bytes point = pointOf(lib.get());
    expected.insert(expected.end(), point.begin() + 1, point.end());
    EXPECT_EQ(toHex(spki.data(), spki.size()), toHex(expected.data(), expected.size()));

    // The ASN.1 method's encoder writes the same bytes.
    PubkeyPtr pk(X509_PUBKEY_new());
    ASSERT_EQ(sm::eckey_sm2_pub_encode(pk.get(), ours.get()), 1);
    EXPECT_EQ(spkiDer(pk.get()), expected);
}

TEST_F(Sm2Hooks, PublicKeyDecodesBackToAnEqualSm2Key)
{
    PubkeyPtr pk(X509_PUBKEY_new());
    ASSERT_EQ(sm::eckey_sm2_pub_encode(pk.get(), ours.get()), 1);
    Pkey decoded(EVP_PKEY_new());
    ASSERT_EQ(sm::eckey_sm2_pub_decode(decoded.get(), pk.get()), 1);
    EXPECT_EQ(sm::EC_KEY_is_sm2(EVP_PKEY_get0_EC_KEY(decoded.get())), 1);
    EXPECT_EQ(sm::eckey_sm2_pub_cmp(decoded.get(), ours.get()), 1);
    EXPECT_EQ(sm::ec_sm2_cmp_parameters(decoded.get(), ours.get()), 1);

    Key other = randomKey();
    Pkey otherPkey = sm2Pkey(other.get());
    ASSERT_TRUE(otherPkey);
    EXPECT_EQ(sm::eckey_sm2_pub_cmp(otherPkey.get(), ours.get()), 0);
    Pkey empty(EVP_PKEY_new());
    EXPECT_EQ(sm::eckey_sm2_pub_cmp(empty.get(), ours.get()), -2);
}

TEST_F(Sm2Hooks, CurveParameterByKeyKind)
{
    // SM2-flagged: the curve identifier.
    int ptype = 0;
    void* pval = nullptr;
    ASSERT_EQ(sm::eckey_sm2_param2type(&ptype, &pval, EVP_PKEY_get0_EC_KEY(ours.get())), 1);
    ASSERT_EQ(ptype, V_ASN1_OBJECT);
    char oid[64];
    OBJ_obj2txt(oid, sizeof oid, static_cast<ASN1_OBJECT*>(pval), 1);
    EXPECT_STREQ(oid, "1.2.156.10197.1.301");
    ASN1_OBJECT_free(static_cast<ASN1_OBJECT*>(pval));

    // Any other EC key: explicit parameters, which OpenSSL reads back as the
    // same curve and point.
    Key p256(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
    ASSERT_EQ(EC_KEY_generate_key(p256.get()), 1);
    Pkey p256Pkey = referencePkey(p256.get());
    PubkeyPtr pk(X509_PUBKEY_new());
    ASSERT_EQ(sm::eckey_sm2_pub_encode(pk.get(), p256Pkey.get()), 1);
    const Bytes der = spkiDer(pk.get());
    const unsigned char* p = der.data();
    Pkey back(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(back) << "OpenSSL decodes the explicit form";
    EXPECT_EQ(EVP_PKEY_eq(back.get(), p256Pkey.get()), 1);

    // A key without group: an error on the queue from this unit.
    ERR_clear_error();
    Key bare(EC_KEY_new());
    EXPECT_EQ(sm::eckey_sm2_param2type(&ptype, &pval, bare.get()), 0);
    const char* file = nullptr;
    const unsigned long err = ERR_peek_last_error_all(&file, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_EC);
    EXPECT_STREQ(file, "./SM/sm2_pameth");
}

TEST_F(Sm2Hooks, PrivateKeysRoundTripThroughPkcs8)
{
    P8Ptr p8(PKCS8_PRIV_KEY_INFO_new());
    ASSERT_EQ(sm::eckey_sm2_priv_encode(p8.get(), ours.get()), 1);

    // OpenSSL reads it as an SM2 key with the same private key.
    Pkey theirs(EVP_PKCS82PKEY(p8.get()));
    ASSERT_TRUE(theirs);
    EXPECT_TRUE(EVP_PKEY_is_a(theirs.get(), "SM2"));
    BIGNUM* d = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(theirs.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
    Bn dOwned(d);
    EXPECT_EQ(BN_cmp(d, EC_KEY_get0_private_key(lib.get())), 0);

    // Our decoder, with the public point present and with it left out (then
    // derived from the private key).
    Key withoutPub(EC_KEY_dup(lib.get()));
    EC_KEY_set_enc_flags(withoutPub.get(), EC_PKEY_NO_PARAMETERS | EC_PKEY_NO_PUBKEY);
    unsigned char* ep = nullptr;
    const int eplen = i2d_ECPrivateKey(withoutPub.get(), &ep);
    ASSERT_GT(eplen, 0);
    P8Ptr p8NoPub(PKCS8_PRIV_KEY_INFO_new());
    ASSERT_EQ(PKCS8_pkey_set0(p8NoPub.get(), OBJ_nid2obj(NID_X9_62_id_ecPublicKey), 0, V_ASN1_OBJECT,
                              OBJ_nid2obj(NID_sm2), ep, eplen),
              1);
    for (const auto& [what, info] : {std::pair<const char*, PKCS8_PRIV_KEY_INFO*>{"with point", p8.get()},
                                     {"without point", p8NoPub.get()}}) {
        Pkey back(EVP_PKEY_new());
        ASSERT_EQ(sm::eckey_sm2_priv_decode(back.get(), info), 1) << what;
        const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(back.get());
        EXPECT_EQ(sm::EC_KEY_is_sm2(ec), 1) << what;
        EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(ec), EC_KEY_get0_private_key(lib.get())), 0) << what;
        EXPECT_EQ(pointOf(ec), pointOf(lib.get())) << what;
    }
}

TEST_F(Sm2Hooks, KeyControls)
{
    int nid = 0;
    EXPECT_EQ(sm::ec_sm2_pkey_ctrl(ours.get(), ASN1_PKEY_CTRL_DEFAULT_MD_NID, 0, &nid), 2);
    EXPECT_EQ(nid, NID_sha1);
    EXPECT_EQ(sm::ec_sm2_pkey_ctrl(ours.get(), ASN1_PKEY_CTRL_CMS_ENVELOPE, 0, nullptr), -2);

    // PKCS#7 signing: the signature algorithm follows digest and key type.
    const struct {
        const char* what;
        long arg1;
        int digestNid;
        int expectedRc;
        int expectedSigNid;
    } rows[] = {
        {"SM3 with an SM2 key", 0, NID_sm3, 1, NID_SM2_with_SM3},
        {"digest without SM2 signature identifier", 0, NID_md5, -1, NID_undef},
        {"argument 1 leaves it alone", 1, NID_sm3, 1, NID_undef},
    };
    for (const auto& r : rows) {
        std::unique_ptr<PKCS7_SIGNER_INFO, LibFree<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>> si(
            PKCS7_SIGNER_INFO_new());
        X509_ALGOR* digestAlg = nullptr;
        X509_ALGOR* sigAlg = nullptr;
        PKCS7_SIGNER_INFO_get0_algs(si.get(), nullptr, &digestAlg, &sigAlg);
        ASSERT_EQ(X509_ALGOR_set0(digestAlg, OBJ_nid2obj(r.digestNid), V_ASN1_NULL, nullptr), 1);
        EXPECT_EQ(sm::ec_sm2_pkey_ctrl(ours.get(), ASN1_PKEY_CTRL_PKCS7_SIGN, r.arg1, si.get()), r.expectedRc)
            << r.what;
        const ASN1_OBJECT* sigObj = nullptr;
        X509_ALGOR_get0(&sigObj, nullptr, nullptr, sigAlg);
        EXPECT_EQ(OBJ_obj2nid(sigObj), r.expectedSigNid) << r.what;
    }
    ERR_clear_error();
}

TEST_F(Sm2Hooks, ParametersCopyCompareAndRoundTrip)
{
    Pkey empty(EVP_PKEY_new());
    EXPECT_EQ(sm::ec_sm2_missing_parameters(empty.get()), 1);
    ASSERT_EQ(sm::ec_sm2_copy_parameters(empty.get(), ours.get()), 1);
    EXPECT_EQ(sm::ec_sm2_missing_parameters(empty.get()), 0);
    EXPECT_EQ(sm::ec_sm2_cmp_parameters(empty.get(), ours.get()), 1);
    EXPECT_EQ(sm::EC_KEY_is_sm2(EVP_PKEY_get0_EC_KEY(empty.get())), 1);
    EXPECT_EQ(ERR_peek_error(), 0u);

    unsigned char* der = nullptr;
    const int len = sm::eckey_sm2_param_encode(ours.get(), &der);
    ASSERT_GT(len, 0);
    const unsigned char* p = der;
    Pkey decoded(EVP_PKEY_new());
    EXPECT_EQ(sm::eckey_sm2_param_decode(decoded.get(), &p, len), 1);
    OPENSSL_free(der);
    EXPECT_EQ(sm::ec_sm2_cmp_parameters(decoded.get(), ours.get()), 1);

    Key p256(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
    Pkey p256Pkey = referencePkey(p256.get());
    EXPECT_EQ(sm::ec_sm2_cmp_parameters(p256Pkey.get(), ours.get()), 0);
}

TEST_F(Sm2Hooks, LegacyPrivateKeyRoundTrip)
{
    unsigned char* der = nullptr;
    const int len = sm::old_ec_sm2_priv_encode(ours.get(), &der);
    ASSERT_GT(len, 0);
    const unsigned char* p = der;
    Pkey back(EVP_PKEY_new());
    EXPECT_EQ(sm::old_ec_sm2_priv_decode(back.get(), &p, len), 1);
    OPENSSL_clear_free(der, static_cast<size_t>(len));
    const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(back.get());
    ASSERT_NE(ec, nullptr);
    EXPECT_EQ(sm::EC_KEY_is_sm2(ec), 1);
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(ec), EC_KEY_get0_private_key(lib.get())), 0);

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};
    p = garbage;
    Pkey none(EVP_PKEY_new());
    EXPECT_EQ(sm::old_ec_sm2_priv_decode(none.get(), &p, sizeof garbage), 0);
}

TEST_F(Sm2Hooks, PrintersAndSizes)
{
    const struct {
        const char* what;
        int (*print)(BIO*, const EVP_PKEY*, int, ASN1_PCTX*);
        const char* heading;
        bool hasPriv;
        bool hasPub;
    } rows[] = {
        {"parameters", sm::eckey_sm2_param_print, "ECDSA-Parameters: (256 bit)", false, false},
        {"public", sm::eckey_sm2_pub_print, "Public-Key: (256 bit)", false, true},
        {"private", sm::eckey_sm2_priv_print, "Private-Key: (256 bit)", true, true},
    };
    for (const auto& r : rows) {
        BioPtr bio(BIO_new(BIO_s_mem()));
        ASSERT_EQ(r.print(bio.get(), ours.get(), 0, nullptr), 1) << r.what;
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio.get(), &data);
        const std::string text(data, static_cast<size_t>(n));
        EXPECT_EQ(text.rfind(r.heading, 0), 0u) << r.what << ":\n" << text;
        EXPECT_EQ(text.find("priv:") != std::string::npos, r.hasPriv) << r.what;
        EXPECT_EQ(text.find("pub:") != std::string::npos, r.hasPub) << r.what;
        EXPECT_NE(text.find("SM2"), std::string::npos) << "curve named, " << r.what;
    }
    EXPECT_EQ(sm::ec_bits(ours.get()), 256);
    EXPECT_EQ(sm::int_ec_sm2_size(ours.get()), 72) << "largest DER signature on a 256-bit curve";
    EXPECT_EQ(sm::ec_sm2_missing_parameters(ours.get()), 0);
}

TEST(Sm2AsnMethod, IsBuiltForTheSm2KeyTypeWithoutRegistration)
{
    const int before = EVP_PKEY_asn1_get_count();
    std::unique_ptr<EVP_PKEY_ASN1_METHOD, LibFree<EVP_PKEY_ASN1_METHOD, EVP_PKEY_asn1_free>> ameth(
        sm::sm2_pameth_new());
    ASSERT_TRUE(ameth);
    int id = 0;
    const char* pem = nullptr;
    const char* info = nullptr;
    ASSERT_EQ(EVP_PKEY_asn1_get0_info(&id, nullptr, nullptr, &info, &pem, ameth.get()), 1);
    EXPECT_EQ(id, EVP_PKEY_SM2);
    EXPECT_STREQ(pem, "SM2");
    EXPECT_STREQ(info, "SM2 algorithm");
    EXPECT_EQ(EVP_PKEY_asn1_get_count(), before);
}

}  // namespace
