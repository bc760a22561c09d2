// Signing on the token (SM2 and RSA), checked by OpenSSL, and PIN
// verification.
#include "skf_fixture.h"

using namespace skftest;

namespace {

constexpr ULONG kSarInvalidHandle = 0x0A000005;  // GM/T 0016 SAR_INVALIDHANDLEERR

using EccOp = ULONG (*)(CSKFProvider&, std::string&, const std::string&, bool);

ULONG DoSign(CSKFProvider& p, std::string& s, const std::string& m, bool der) { return p.Sign(s, m, der); }
ULONG DoSignex(CSKFProvider& p, std::string& s, const std::string& m, bool der) { return p.Signex(s, m, der); }
ULONG DoSignWdc1(CSKFProvider& p, std::string& s, const std::string& m, bool der) {
    return p.SignWDC1(s, m, der, true);
}

}  // namespace

// Raw form: bytes 32-63 of r and of s, whatever the token's alignment. DER
// form: the values found by the alignment rule.
TEST_F(SkfTest, Sm2SignaturesInBothFormsOnRightAndLeftAlignedTokens) {
    BuildToken();
    Owned<EVP_PKEY> pub = PubFromDer(m_c1Pub);
    ASSERT_TRUE(pub);
    const struct {
        const char* name;
        EccOp op;
    } ops[] = {{"Sign", DoSign}, {"Signex", DoSignex}, {"SignWDC1", DoSignWdc1}};
    const std::string messages[] = {"the data to sign", std::string()};

    for (bool left : {false, true}) {
        if (left) ::setenv("SOFTSKF_LEFT_ALIGN", "1", 1);
        CSKFProvider p(SKF_LIB);
        OpenAndLogin(p, "C1");
        for (const auto& op : ops) {
            for (const std::string& msg : messages) {
                SCOPED_TRACE(std::string(op.name) + (left ? " left-aligned" : " right-aligned") +
                             (msg.empty() ? " empty message" : ""));
                std::string raw, der;
                ASSERT_EQ(op.op(p, raw, msg, false), SAR_OK);
                ASSERT_EQ(op.op(p, der, msg, true), SAR_OK);
                ASSERT_EQ(raw.size(), 64u);
                EXPECT_TRUE(VerifySm2(pub.get(), der, msg));
                if (left)
                    EXPECT_EQ(raw, std::string(64, '\0'));
                else
                    EXPECT_TRUE(VerifySm2(pub.get(), RawToDer(raw), msg));
            }
        }
        ::unsetenv("SOFTSKF_LEFT_ALIGN");
    }
}

TEST_F(SkfTest, SignWdc1WithTheEncryptionKeyPair) {
    BuildToken();
    Owned<EVP_PKEY> enc = NewKey(true);
    m_store->ImportKeyPair(kDev, kApp, "C1", KeyUsage::Encrypt, ToBytes(PrivatePem(enc.get())));
    CSKFProvider p(SKF_LIB);
    OpenAndLogin(p, "C1");
    std::string sig;
    ASSERT_EQ(p.SignWDC1(sig, "exchange", true, false), SAR_OK);
    EXPECT_TRUE(VerifySm2(enc.get(), sig, "exchange"));
    EXPECT_FALSE(VerifySm2(PubFromDer(m_c1Pub).get(), sig, "exchange"));
}

TEST_F(SkfTest, RsaSigningAndTheHashOnTokenFlag) {
    BuildToken();
    Owned<EVP_PKEY> pub = PubFromDer(m_c2Pub);
    const std::string msg = "rsa data";

    // A fresh object digests on the token (SHA-256 for identifier 4) and
    // signs through the hash handle.
    CSKFProvider fresh(SKF_LIB);
    OpenAndLogin(fresh, "C2", false);
    ASSERT_TRUE(fresh.HashOnToken());
    std::string viaHash;
    ASSERT_EQ(fresh.SignRsaWDC1(viaHash, msg, false, SGD_SHA256, true), SAR_OK);
    EXPECT_TRUE(VerifyRsaSha256(pub.get(), viaHash, msg));
    EXPECT_TRUE(fresh.HashOnToken());

    // SignRsa hands the data over as it is (the token hashes it with
    // SHA-256) and turns hashing on the token off for good.
    std::string sig;
    ASSERT_EQ(fresh.SignRsa(sig, msg, false, SGD_SHA1), SAR_OK);
    EXPECT_TRUE(VerifyRsaSha256(pub.get(), sig, msg));
    EXPECT_FALSE(fresh.HashOnToken());

    std::string after = "untouched";
    EXPECT_EQ(fresh.SignRsaWDC1(after, msg, false, SGD_SHA256, true), kSarInvalidHandle)
        << "no digest any more: the token gets a null hash handle";
    EXPECT_EQ(after, "untouched");
}

TEST_F(SkfTest, MissingHandlesRefuseEverySignature) {
    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.LoadLib(SKF_LIB), SAR_OK);
    std::string out = "untouched";
    EXPECT_EQ(p.Sign(out, "m", false), SAR_FAIL);
    EXPECT_EQ(p.Signex(out, "m", true), SAR_FAIL);
    EXPECT_EQ(p.SignWDC1(out, "m", true, true), SAR_FAIL);
    EXPECT_EQ(p.SignRsa(out, "m", true, 4), SAR_FAIL);
    EXPECT_EQ(p.SignRsaWDC1(out, "m", true, 4, true), SAR_FAIL);
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(p.HashOnToken()) << "a refused SignRsa changes nothing";
    EXPECT_FALSE(std::filesystem::exists(m_log)) << "nothing logged";
}

TEST_F(SkfTest, VerifyPinPresentsTheFixedPinAndAlwaysReturnsZero) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    ULONG count = 77;
    EXPECT_EQ(p.VerifyPin(USER_TYPE, "whatever", count), SAR_OK);
    EXPECT_EQ(count, 77u) << "nothing called before Init";

    ASSERT_EQ(p.Init_SM3("", kApp, "C1", ""), SAR_OK);
    std::string sig;
    EXPECT_NE(p.Sign(sig, "m", false), SAR_OK) << "not logged in yet";
    EXPECT_EQ(p.VerifyPin(USER_TYPE, "not the pin", count), SAR_OK);
    EXPECT_EQ(p.Sign(sig, "m", false), SAR_OK) << "the fixed PIN logged the application in";

    // An application with another PIN: the token refuses, writes the retries
    // left, and the binding still reports 0.
    m_store->CreateApplication(kDev, "OTHER", "another-pin", 10, "admin-pin", 10);
    m_store->CreateContainer(kDev, "OTHER", "K");
    m_store->GenerateKeyPair(kDev, "OTHER", "K", KeyUsage::Sign, softskf::crypto::KeyAlg::SM2);
    CSKFProvider q(SKF_LIB);
    ASSERT_EQ(q.Init_SM3("", "OTHER", "K", ""), SAR_OK);
    count = 77;
    EXPECT_EQ(q.VerifyPin(USER_TYPE, "another-pin", count), SAR_OK);
    EXPECT_EQ(count, 9u);
    EXPECT_NE(q.Sign(sig, "m", false), SAR_OK);

    ::setenv("SOFTSKF_FAIL", "SKF_VerifyPIN=0x0A000024", 1);
    CSKFProvider r(SKF_LIB);
    ASSERT_EQ(r.Init_SM3("", kApp, "C1", ""), SAR_OK);
    EXPECT_EQ(r.VerifyPin(USER_TYPE, "", count), SAR_OK);
}
