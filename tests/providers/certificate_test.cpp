// The certificate object against real token code: the demo token of the
// software SKF library (an SM2 container with signing and encryption
// certificates, an RSA container) and SoftHSM2 through the forwarding module.
// What it signs is checked by OpenSSL, outside the service's own code.

#include "CSKFProvider.h"
#include "SMCertificate.h"
#include "core/CodePage.h"
#include "core/codec.h"
#include "messages_test_util.h"
#include "pkcs11_fixture.h"
#include "skf_fixture.h"

#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using msgtest::ScratchDir;
using msgtest::Tlv;

// Content and r || s of a GM/T 0010 signed-data message, read with a plain
// DER walker. Empty content when detached; empty signature when malformed.
struct Sm2Parts {
    std::string content;
    std::string rs;
};

Sm2Parts ReadSm2Signed(const std::string& der)
{
    Sm2Parts out;
    auto els = msgtest::signedDataElements(der);
    if (!els || els->size() < 4) return out;
    // version, digest algorithms, content info, [0] certificates, signer infos
    auto info = msgtest::children(der, (*els)[2]);
    if (!info) return out;
    if (info->size() == 2) {
        auto wrapped = msgtest::children(der, (*info)[1]);
        if (!wrapped || wrapped->size() != 1 || (*wrapped)[0].tag != 0x04) return out;
        out.content = der.substr((*wrapped)[0].start, (*wrapped)[0].len);
    }
    auto signers = msgtest::children(der, els->back());
    if (!signers || signers->size() != 1) return out;
    auto fields = msgtest::children(der, (*signers)[0]);
    if (!fields) return out;
    for (const Tlv& t : *fields)
        if (t.tag == 0x04) out.rs = der.substr(t.start, t.len);
    return out;
}

bool OpensslSm2Verify(const std::string& certDer, const std::string& rs, const std::string& msg)
{
    auto pub = skftest::PubOfCert(certDer);
    return pub && rs.size() == 64 && skftest::VerifySm2(pub.get(), skftest::RawToDer(rs), msg);
}

// `openssl cms -verify` of a DER PKCS#7 signed-data message, content from the
// message or, for a detached one, from `detached`. The content it saw, or
// nullopt when it refused.
std::optional<std::string> OpensslCmsVerify(const std::string& p7, const std::string* detached)
{
    ScratchDir dir;
    dir.put("sig.der", p7);
    std::string args = "cms -verify -noverify -binary -inform DER -in sig.der -out content.bin";
    if (detached != nullptr) {
        dir.put("msg.bin", *detached);
        args += " -content msg.bin";
    }
    if (dir.openssl(args) != 0) return std::nullopt;
    return dir.get("content.bin");
}

// A byte of the message changed inside the signature (attached content).
std::string TamperContent(std::string sig, const std::string& msg)
{
    const size_t at = sig.find(msg);
    if (at != std::string::npos) sig[at + msg.size() - 1] ^= 0x01;
    return sig;
}

const std::string kMessage = "vaultline \x01\xfe payload";

// ---- SKF ----------------------------------------------------------------

class SkfCertificate : public skftest::SkfTest {
protected:
    void SetUp() override
    {
        skftest::SkfTest::SetUp();
        auto r = p11test::Shell(std::string(SOFTSKF_TOOL) + " demo");
        ASSERT_EQ(r.status, 0) << r.out;
        m_skf = std::make_unique<CSKFProvider>(SKF_LIB);
        ASSERT_EQ(m_skf->LoadLib(SKF_LIB), SAR_OK);
        m_sm2Sign = Export(kSm2, true);
        m_sm2Enc = Export(kSm2, false);
        m_rsaSign = Export(kRsa, true);
        ASSERT_FALSE(m_sm2Sign.empty());
        ASSERT_FALSE(m_sm2Enc.empty());
        ASSERT_FALSE(m_rsaSign.empty());
        ASSERT_NE(m_sm2Sign, m_sm2Enc);
    }

    std::string Export(const std::string& con, bool sign)
    {
        m_skf->UnInit();
        std::string der;
        if (m_skf->Init("", "", con, "") != SAR_OK || m_skf->ExportCert(der, sign) != SAR_OK) der.clear();
        return der;
    }

    // Bound the way enumeration binds: the shared binding and a container.
    std::unique_ptr<SMCertificate> Bind(const std::string& con, bool bsign = true)
    {
        auto c = std::make_unique<SMCertificate>(bsign);
        EXPECT_EQ(c->InitialzeSKF(m_skf.get(), con), 0);
        return c;
    }

    static constexpr const char* kSm2 = "SM2Demo";
    static constexpr const char* kRsa = "RSADemo";
    std::unique_ptr<CSKFProvider> m_skf;
    std::string m_sm2Sign, m_sm2Enc, m_rsaSign;
};

struct SkfSignCase {
    unsigned flags;
    bool sm2;
};

TEST_F(SkfCertificate, SignsEveryFormAndOpensslAgrees)
{
    const SkfSignCase cases[] = {{0x05, true}, {0x15, true},  {0x25, true}, {0x2025, true}, {0x4005, true},
                                 {0x06, false}, {0x16, false}, {0x26, false}, {0x4006, false}};
    for (const SkfSignCase& tc : cases) {
        SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << tc.flags);
        // A fresh binding per case: an RSA signature on a binding stops it
        // from hashing on the token, which the WDC1 variant relies on.
        CSKFProvider skf(SKF_LIB);
        ASSERT_EQ(skf.LoadLib(SKF_LIB), SAR_OK);
        SMCertificate owned(true);
        ASSERT_EQ(owned.InitialzeSKF(&skf, tc.sm2 ? kSm2 : kRsa), 0);
        SMCertificate* c = &owned;
        const std::string& cert = tc.sm2 ? m_sm2Sign : m_rsaSign;
        std::string msg = kMessage, sig;
        ASSERT_EQ(c->sign(msg, static_cast<int>(tc.flags), sig), 0);
        ASSERT_FALSE(sig.empty());
        const unsigned form = tc.flags & 0xF0;

        EXPECT_EQ(c->verify(sig, static_cast<int>(tc.flags), kMessage), 0);
        if (form == 0x00)
        {
            std::string bad = TamperContent(sig, kMessage);
            EXPECT_EQ(c->verify(bad, static_cast<int>(tc.flags), ""), 3);
        }
        else
            EXPECT_EQ(c->verify(sig, static_cast<int>(tc.flags), kMessage + "!"), 3);

        if (tc.sm2 && form == 0x20) {
            EXPECT_EQ(sig.size(), 64u);
            EXPECT_TRUE(OpensslSm2Verify(cert, sig, kMessage));
        } else if (tc.sm2) {
            Sm2Parts parts = ReadSm2Signed(sig);
            EXPECT_EQ(parts.content, form == 0x00 ? kMessage : std::string());
            EXPECT_TRUE(OpensslSm2Verify(cert, parts.rs, kMessage));
        } else if (form == 0x20) {
            auto pub = skftest::PubOfCert(cert);
            ASSERT_TRUE(pub);
            EXPECT_TRUE(skftest::VerifyRsaSha256(pub.get(), sig, kMessage));
        } else {
            auto seen = OpensslCmsVerify(sig, form == 0x10 ? &kMessage : nullptr);
            ASSERT_TRUE(seen.has_value());
            EXPECT_EQ(*seen, kMessage);
        }
    }
}

TEST_F(SkfCertificate, FormBitsOutsideTheTableSignAttachedButVerifyBare)
{
    auto c = Bind(kSm2);
    std::string msg = kMessage, sig;
    ASSERT_EQ(c->sign(msg, 0x35, sig), 0);
    EXPECT_EQ(ReadSm2Signed(sig).content, kMessage);
    EXPECT_EQ(c->verify(sig, 0x05, ""), 0);
    EXPECT_EQ(c->verify(sig, 0x35, kMessage), 3);
}

TEST_F(SkfCertificate, RefusalsAndEmptyInput)
{
    auto c = Bind(kSm2);
    std::string empty, sig = "untouched";
    EXPECT_EQ(c->sign(empty, 0x25, sig), -2);
    EXPECT_EQ(sig, "untouched");

    std::string msg = "abc", out;
    EXPECT_EQ(c->encrypt(msg, out, 0), 4);
    EXPECT_EQ(c->decrypt(msg, out, 0), 5);
    EXPECT_TRUE(out.empty());

    // Garbage where a signed message or signature belongs.
    std::string junk = "\x30\x03\x02\x01";
    for (int flags : {0x05, 0x15, 0x25}) EXPECT_EQ(c->verify(junk, flags, kMessage), 3) << flags;
    auto rsa = Bind(kRsa);
    for (int flags : {0x06, 0x16, 0x26}) EXPECT_EQ(rsa->verify(junk, flags, kMessage), 3) << flags;

    SMCertificate unbound(true);
    certificate_info_t ci;
    ci.CN = "kept";
    EXPECT_EQ(unbound.getCertInfo(ci), 0);
    EXPECT_EQ(ci.CN, "kept");
    msg = "abc";
    EXPECT_EQ(unbound.sign(msg, 0x25, sig), -2);
    EXPECT_EQ(unbound.initFromCertObj(nullptr), -2);
}

TEST_F(SkfCertificate, ReopensItsOwnContainerWheneverTheBindingMoved)
{
    auto sm2 = Bind(kSm2);
    auto enc = Bind(kSm2, false);
    // A later enumeration leaves the shared binding on the other container.
    ASSERT_EQ(Export(kRsa, true), m_rsaSign);
    EXPECT_EQ(sm2->GetDER(), m_sm2Sign);
    EXPECT_EQ(m_skf->ContainerName(), kSm2);
    // An encryption certificate object gives the container's other certificate.
    ASSERT_EQ(Export(kRsa, true), m_rsaSign);
    EXPECT_EQ(enc->GetDER(), m_sm2Enc);

    ASSERT_EQ(Export(kRsa, true), m_rsaSign);
    EXPECT_EQ(sm2->GetDER(), m_sm2Sign);  // reopened again, not the RSA container's
    EXPECT_EQ(m_skf->ContainerName(), kSm2);
    const unsigned long bound = m_skf->BindingGeneration();
    EXPECT_EQ(sm2->GetDER(), m_sm2Sign);
    EXPECT_EQ(m_skf->BindingGeneration(), bound);  // still bound: no needless reopening
}

TEST_F(SkfCertificate, SummaryOfTheSigningCertificate)
{
    auto c = Bind(kSm2, false);
    certificate_info_t ci;
    ASSERT_EQ(c->getCertInfo(ci), 1);
    EXPECT_EQ(ci.PUB, ICodec::encode(m_sm2Sign));
    EXPECT_FALSE(ci.CN.empty());
    EXPECT_FALSE(ci.sn.empty());
    EXPECT_TRUE(c->isgmcert());
    EXPECT_FALSE(Bind(kRsa)->isgmcert());
}

TEST_F(SkfCertificate, MessageIsSignedInTheProcessCodePage)
{
    const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";  // two Chinese characters
    const std::string gb2312 = "\xD6\xD0\xCE\xC4";
    const int saved = CodePage::Get();
    CodePage::Set(963);
    auto c = Bind(kSm2);
    std::string msg = utf8, sig;
    const int rc = c->sign(msg, 0x05, sig);
    CodePage::Set(saved);
    ASSERT_EQ(rc, 0);
    Sm2Parts parts = ReadSm2Signed(sig);
    EXPECT_EQ(parts.content, gb2312);
    EXPECT_TRUE(OpensslSm2Verify(m_sm2Sign, parts.rs, gb2312));
}

// ---- PKCS#11 ------------------------------------------------------------

class P11Certificate : public p11test::TokenTest {
protected:
    void SetUp() override
    {
        p11test::TokenTest::SetUp();
        Open();
        m_keys = MakeRsa("k1", 2048, true);
        m_pub = PublicOf(m_keys.pub);
        ASSERT_TRUE(m_pub);
        auto cert = CertFor(m_keys, "p11 signer");
        m_der = cert->toDer();
        ASSERT_FALSE(m_der.empty());
        ASSERT_EQ(m_cert.initFromCertObj(cert.release()), 0);
    }

    std::string OpensslRsa(bool encrypt, EVP_PKEY* key, const std::string& in)
    {
        p11test::Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
        if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
            return {};
        auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
        const auto* p = reinterpret_cast<const unsigned char*>(in.data());
        size_t len = 0;
        if (op(ctx.get(), nullptr, &len, p, in.size()) != 1) return {};
        std::string out(len, '\0');
        if (op(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &len, p, in.size()) != 1) return {};
        out.resize(len);
        return out;
    }

    p11test::KeyPair m_keys{0, 0};
    p11test::Owned<EVP_PKEY> m_pub;
    std::string m_der;
    SMCertificate m_cert{true};
};

TEST_P(P11Certificate, SignsEveryFormAndOpensslAgrees)
{
    struct Case {
        int flags;
        const EVP_MD* md;
        const char* digestName;
    };
    const Case cases[] = {{0x00, EVP_sha1(), "sha1"},
                          {0x03, EVP_md5(), "md5"},
                          {0x06, EVP_sha256(), "sha256"},
                          {0x16, EVP_sha256(), "sha256"},
                          {0x26, EVP_sha256(), "sha256"}};
    for (const Case& tc : cases) {
        SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << tc.flags);
        std::string msg = kMessage, sig;
        ASSERT_EQ(m_cert.sign(msg, tc.flags, sig), 0);
        EXPECT_EQ(m_cert.verify(sig, tc.flags, kMessage), 0);
        const int form = tc.flags & 0xF0;
        if (form == 0x00)
        {
            std::string bad = TamperContent(sig, kMessage);
            EXPECT_EQ(m_cert.verify(bad, tc.flags, ""), 3);
        }
        else
            EXPECT_EQ(m_cert.verify(sig, tc.flags, kMessage + "!"), 3);

        if (form == 0x20) {
            EXPECT_TRUE(p11test::VerifyWith(m_pub.get(), tc.md, sig, kMessage));
            continue;
        }
        auto seen = OpensslCmsVerify(sig, form == 0x10 ? &kMessage : nullptr);
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(*seen, kMessage);
        ScratchDir dir;
        dir.put("sig.der", sig);
        ASSERT_EQ(dir.openssl("cms -cmsout -print -inform DER -in sig.der"), 0);
        EXPECT_NE(dir.output().find(std::string("algorithm: ") + tc.digestName), std::string::npos)
            << dir.output();
    }
}

TEST_P(P11Certificate, SummaryCarriesTheObjectValue)
{
    certificate_info_t ci;
    ASSERT_EQ(m_cert.getCertInfo(ci), 1);
    EXPECT_EQ(ci.PUB, ICodec::encode(m_der));
    EXPECT_EQ(ci.CN, "p11 signer");
    EXPECT_FALSE(m_cert.isgmcert());
}

TEST_P(P11Certificate, EncryptsAndDecryptsBothWaysWithOpenssl)
{
    p11test::Owned<EVP_PKEY> priv(ExportPrivate(m_keys.priv));
    ASSERT_TRUE(priv);

    std::string abc = "abc", cipher, plain;
    ASSERT_EQ(m_cert.encrypt(abc, cipher, 0), 0);
    EXPECT_EQ(cipher.size(), 256u);
    EXPECT_EQ(OpensslRsa(false, priv.get(), cipher), "abc");
    ASSERT_EQ(m_cert.decrypt(cipher, plain, 0), 0);
    EXPECT_EQ(plain, "abc");

    // Not UTF-8, with a zero byte: it must come back byte for byte.
    const std::string binary("\xff\x00\xc3\x28\x80", 5);
    std::string theirs = OpensslRsa(true, m_pub.get(), binary);
    ASSERT_FALSE(theirs.empty());
    plain.clear();
    ASSERT_EQ(m_cert.decrypt(theirs, plain, 0), 0);
    EXPECT_EQ(plain, binary);

    std::string garbage(256, '\x5a');
    EXPECT_EQ(m_cert.decrypt(garbage, plain, 0), 5);
}

INSTANTIATE_TEST_SUITE_P(Routes, P11Certificate, ::testing::Values(p11test::Route::Direct, p11test::Route::Forward),
                         p11test::RouteName);

}  // namespace
