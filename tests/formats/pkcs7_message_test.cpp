// PKCS#7 signed data around an RSA signature: the handles, MakePKCS7Signed and
// PKCS7Verify, judged by the openssl command line where it can judge.

#include "core/OsOpenssl.h"
#include "messages_test_util.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <gtest/gtest.h>

using namespace msgtest;
using Openssl::CPKCS7;
using Openssl::CPKCS7_SIGNER_INFO;
using Openssl::CX509;

namespace {

// CR LF, a zero byte and a high byte: any text-mode conversion shows.
const char kRawContent[] = "Vaultline signed text\r\nline two\x00\xff end";
const std::string kContent(kRawContent, sizeof kRawContent - 1);

struct PkcsPtrFree {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, PkcsPtrFree>;

Pkcs7Ptr decodeP7(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return Pkcs7Ptr(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

std::string encodeP7(PKCS7* p7)
{
    unsigned char* out = nullptr;
    const int len = i2d_PKCS7(p7, &out);
    std::string der = len > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(len)) : std::string();
    OPENSSL_free(out);
    return der;
}

class Pkcs7Message : public ::testing::Test {
protected:
    void SetUp() override
    {
        cert_ = fixture("rsa-email.der");
        key_ = fixtureKey("rsa-email.key.pem");
        ASSERT_TRUE(key_);
        ASSERT_FALSE(cert_.empty());
    }
    std::string sign(const EVP_MD* md, const std::string& data) const
    {
        std::string sig = opensslSign(key_.get(), md, data);
        EXPECT_EQ(sig.size(), 256u);
        return sig;
    }

    std::string cert_;
    Pkey key_;
};

// ---- Made here, checked by the command line ---------------------------------

TEST_F(Pkcs7Message, AttachedAndDetachedVerifyWithTheCommandLineAndDecodeAgain)
{
    struct Case {
        const char* name;
        int nid;
        const EVP_MD* md;
        bool detached;
    };
    const Case cases[] = {
        {"sha1 attached", NID_sha1, EVP_sha1(), false},
        {"sha1 detached", NID_sha1, EVP_sha1(), true},
        {"sha256 attached", NID_sha256, EVP_sha256(), false},
        {"sha256 detached", NID_sha256, EVP_sha256(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string der = MakePKCS7Signed(c.detached ? "" : kContent, cert_, sign(c.md, kContent), c.nid);
        ASSERT_FALSE(der.empty());

        Pkcs7Ptr p7 = decodeP7(der);
        ASSERT_TRUE(p7);
        EXPECT_EQ(PKCS7_get_detached(p7.get()), c.detached ? 1 : 0);

        ScratchDir dir;
        dir.put("m.p7", der);
        dir.put("data", kContent);
        const std::string verify = "cms -verify -noverify -binary -inform DER -in m.p7 -out got";
        EXPECT_EQ(dir.openssl(verify + (c.detached ? " -content data" : "")), 0) << dir.errors();
        EXPECT_EQ(dir.get("got"), kContent);

        // The same messages through our own verifier; a detached one is
        // judged against the text given, an attached one against its own.
        EXPECT_TRUE(PKCS7Verify(der, c.detached ? kContent : "unrelated"));
        if (c.detached) {
            EXPECT_FALSE(PKCS7Verify(der, kContent + "!"));
            dir.put("data", kContent + "!");
            EXPECT_NE(dir.openssl(verify + " -content data"), 0) << "the tool must be able to refuse";
        }
    }
}

TEST_F(Pkcs7Message, LayoutOfSignedDataWithAndWithoutContent)
{
    const std::string sig = sign(EVP_sha256(), "abc");
    for (const bool detached : {false, true}) {
        SCOPED_TRACE(detached ? "detached" : "attached");
        const std::string der = MakePKCS7Signed(detached ? "" : "abc", cert_, sig, NID_sha256);
        // Walks every enclosing element and insists on minimal, exact lengths.
        auto elements = signedDataElements(der);
        ASSERT_TRUE(elements);
        ASSERT_EQ(elements->size(), 5u) << "version, digest algorithms, content, certificates, signer infos";
        const auto& el = *elements;
        EXPECT_EQ(elementBytes(der, el[0]), std::string("\x02\x01\x01", 3));
        // One digest algorithm with an explicit NULL parameter.
        EXPECT_EQ(el[1].tag, 0x31);
        const auto algs = children(der, el[1]);
        ASSERT_TRUE(algs && algs->size() == 1u);
        const auto alg = children(der, (*algs)[0]);
        ASSERT_TRUE(alg && alg->size() == 2u);
        EXPECT_EQ(elementBytes(der, (*alg)[1]), std::string("\x05\x00", 2));

        if (detached) {
            EXPECT_EQ(elementBytes(der, el[2]), std::string("\x30\x03\x06\x01\x00", 5));
        } else {
            // { data, [0] { OCTET STRING "abc" } }
            const std::string data = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01";
            EXPECT_EQ(elementBytes(der, el[2]), "\x30\x12" + data + "\xa0\x05\x04\x03" "abc");
        }
        EXPECT_EQ(el[3].tag, 0xa0);
        EXPECT_EQ(el[3].len, cert_.size()) << "exactly the signer's certificate";
        EXPECT_EQ(der.substr(el[3].start, el[3].len), cert_);
        EXPECT_EQ(el[4].tag, 0x31);

        const auto signers = children(der, el[4]);
        ASSERT_TRUE(signers && signers->size() == 1u);
        const auto si = children(der, (*signers)[0]);
        ASSERT_TRUE(si && si->size() == 5u) << "version, issuer and serial, digest alg, signature alg, signature";
        EXPECT_EQ(elementBytes(der, (*si)[0]), std::string("\x02\x01\x01", 3));
        const std::string rsaEncryption("\x30\x0d\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01\x05\x00", 15);
        EXPECT_EQ(elementBytes(der, (*si)[3]), rsaEncryption);
        EXPECT_EQ(der.substr((*si)[4].start, (*si)[4].len), sig);

        X509Ptr x = decodeCert(cert_);
        ASSERT_TRUE(x);
        Pkcs7Ptr p7 = decodeP7(der);
        ASSERT_TRUE(p7);
        PKCS7_SIGNER_INFO* psi = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        EXPECT_EQ(X509_NAME_cmp(psi->issuer_and_serial->issuer, X509_get_issuer_name(x.get())), 0);
        EXPECT_EQ(ASN1_INTEGER_cmp(psi->issuer_and_serial->serial, X509_get0_serialNumber(x.get())), 0);
    }
}

// ---- Made by the command line, checked here ---------------------------------

TEST_F(Pkcs7Message, CommandLineMessagesVerifyAndAChangedByteDoesNot)
{
    ScratchDir dir;
    dir.put("cert.der", cert_);
    dir.put("key.pem", fixture("rsa-email.key.pem"));
    dir.put("data", kContent);
    ASSERT_EQ(dir.openssl("x509 -inform DER -in cert.der -out cert.pem"), 0) << dir.errors();
    const std::string sign = "cms -sign -binary -noattr -md sha256 -outform DER -signer cert.pem -inkey key.pem "
                             "-in data";
    ASSERT_EQ(dir.openssl(sign + " -nodetach -out attached.p7"), 0) << dir.errors();
    ASSERT_EQ(dir.openssl(sign + " -out detached.p7"), 0) << dir.errors();

    const std::string attached = dir.get("attached.p7");
    EXPECT_TRUE(PKCS7Verify(attached, ""));
    const size_t at = attached.find(kContent);
    ASSERT_NE(at, std::string::npos);
    std::string changed = attached;
    changed[at + 3] ^= 0x01;
    EXPECT_FALSE(PKCS7Verify(changed, ""));

    const std::string detached = dir.get("detached.p7");
    ASSERT_EQ(detached.find(kContent), std::string::npos);
    EXPECT_TRUE(PKCS7Verify(detached, kContent));
    std::string other = kContent;
    other[3] ^= 0x01;
    EXPECT_FALSE(PKCS7Verify(detached, other));
    EXPECT_FALSE(PKCS7Verify(detached, ""));
}

// ---- Hash numbers and signer versions --------------------------------------

TEST_F(Pkcs7Message, OnlyTheDigestsOfHashVerifyVerify)
{
    struct Case {
        int nid;
        const EVP_MD* md;  // the digest the signature was made with
        bool verifies;
    };
    const Case cases[] = {
        {NID_sha256, EVP_sha256(), true},
        {NID_sha1, EVP_sha1(), true},
        {NID_md5, EVP_md5(), true},
        {NID_sha256, EVP_sha1(), false},                    // the named digest is the one used
        {NID_sha256WithRSAEncryption, EVP_sha256(), false},  // 668: not a digest number
        {NID_md2, EVP_sha256(), false},                      // 3: outside the list
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(OBJ_nid2sn(c.nid));
        const std::string der = MakePKCS7Signed(kContent, cert_, sign(c.md, kContent), c.nid);
        ASSERT_FALSE(der.empty());
        // The number is written as given, also where it cannot verify.
        Pkcs7Ptr p7 = decodeP7(der);
        ASSERT_TRUE(p7);
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), c.nid);
        EXPECT_EQ(PKCS7Verify(der, ""), c.verifies);
    }
}

TEST_F(Pkcs7Message, AFirstSignerOfVersionZeroFails)
{
    const std::string der = MakePKCS7Signed(kContent, cert_, sign(EVP_sha256(), kContent), NID_sha256);
    for (const long version : {1L, 0L}) {
        Pkcs7Ptr p7 = decodeP7(der);
        ASSERT_TRUE(p7);
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        ASSERT_EQ(ASN1_INTEGER_set(si->version, version), 1);
        EXPECT_EQ(PKCS7Verify(encodeP7(p7.get()), ""), version == 1) << "version " << version;
    }
}

// Two signers built with the handles: only the first is examined, and the
// digest-algorithm set lists each digest once.
TEST_F(Pkcs7Message, OnlyTheFirstSignerCountsAndDigestsAreListedOnce)
{
    X509Ptr x = decodeCert(cert_);
    ASSERT_TRUE(x);
    const CX509 cert(x.get(), true);
    const std::string good = sign(EVP_sha256(), kContent);
    const std::string bad = sign(EVP_sha256(), "something else");

    struct Case {
        const char* name;
        std::string first, second;
        int secondNid;
        int algorithms;
        bool verifies;
    };
    const Case cases[] = {
        {"good first", good, bad, NID_sha256, 1, true},
        {"bad first", bad, good, NID_sha256, 1, false},
        {"two digests", good, sign(EVP_sha1(), kContent), NID_sha1, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPKCS7 p7;
        ASSERT_EQ(p7.set_type(NID_pkcs7_signed), 1);
        ASSERT_EQ(p7.set_sign_content(kContent), 1);
        ASSERT_EQ(p7.add_certificate(cert), 1);
        for (const auto& [sig, nid] : {std::pair<std::string, int>{c.first, NID_sha256}, {c.second, c.secondNid}}) {
            CPKCS7_SIGNER_INFO si;
            ASSERT_EQ(si.set_digest_alg(nid), 1);
            ASSERT_EQ(si.set_digest_enc_alg(NID_rsaEncryption), 1);
            ASSERT_EQ(si.set_enc_digest(sig), 1);
            ASSERT_EQ(si.set_issuer_and_serial(cert), 1);
            ASSERT_EQ(p7.add_signer(si), 1);
            EXPECT_EQ(static_cast<PKCS7_SIGNER_INFO*>(si), nullptr) << "handed over";
        }
        EXPECT_EQ(sk_X509_ALGOR_num(p7.m_p7->d.sign->md_algs), c.algorithms);
        EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)), 2);
        // Checked on the object: DER writes the signer infos as a sorted SET
        // OF, so which one comes first after encoding is up to their bytes.
        EXPECT_EQ(p7.Verify(nullptr), c.verifies);
    }
}

// ---- The message handle and bad input ---------------------------------------

TEST_F(Pkcs7Message, HandleContentDetachmentAndCopies)
{
    CPKCS7 p7;
    ASSERT_EQ(p7.set_type(NID_pkcs7_signed), 1);
    EXPECT_EQ(p7.type(), NID_pkcs7_signed);
    ASSERT_EQ(p7.set_sign_content(kContent), 1);
    EXPECT_FALSE(p7.detached());
    EXPECT_EQ(p7.sign_content(), kContent);

    CPKCS7 copy(p7, false);
    ASSERT_NE(copy.m_p7, nullptr);
    EXPECT_NE(copy.m_p7, p7.m_p7);
    EXPECT_EQ(copy.sign_content(), kContent);

    ASSERT_EQ(p7.set_sign_content(""), 1);
    EXPECT_TRUE(p7.detached());
    EXPECT_EQ(p7.sign_content(), "");
    EXPECT_EQ(copy.sign_content(), kContent) << "the copy is its own";

    CPKCS7 moved(std::move(copy));
    EXPECT_EQ(copy.m_p7, nullptr);
    EXPECT_EQ(moved.sign_content(), kContent);

    // Content of another type than data is no signed text.
    CPKCS7 data;
    ASSERT_EQ(data.set_type(NID_pkcs7_data), 1);
    EXPECT_FALSE(data.detached());
    EXPECT_EQ(data.sign_content(), "");
}

TEST_F(Pkcs7Message, BadInputGivesEmptyOrFalse)
{
    const std::string good = MakePKCS7Signed(kContent, cert_, sign(EVP_sha256(), kContent), NID_sha256);
    ASSERT_TRUE(PKCS7Verify(good, ""));

    // Signed data without its certificate set.
    Pkcs7Ptr p7 = decodeP7(good);
    ASSERT_TRUE(p7);
    sk_X509_pop_free(p7->d.sign->cert, X509_free);
    p7->d.sign->cert = nullptr;
    const std::string noCerts = encodeP7(p7.get());
    ASSERT_FALSE(noCerts.empty());

    // A data message, not signed data.
    CPKCS7 data;
    ASSERT_EQ(data.set_type(NID_pkcs7_data), 1);
    const std::string dataDer = data.toDER();
    ASSERT_FALSE(dataDer.empty());

    const std::string inputs[] = {"", "\x30\x03\x02\x01\x01", good.substr(0, good.size() - 1), noCerts, dataDer,
                                  cert_};
    for (const std::string& in : inputs) {
        EXPECT_FALSE(PKCS7Verify(in, kContent)) << in.size() << " bytes";
    }
    const CPKCS7 broken = CPKCS7::FromDER(reinterpret_cast<const unsigned char*>(good.data()), 10);
    EXPECT_EQ(broken.m_p7, nullptr);
    EXPECT_EQ(broken.toDER(), "");
    EXPECT_FALSE(broken.Verify(&kContent));

    // A certificate that does not decode makes no message.
    EXPECT_EQ(MakePKCS7Signed(kContent, cert_.substr(0, 100), "sig", NID_sha256), "");
    EXPECT_EQ(MakePKCS7Signed(kContent, "", "sig", NID_sha256), "");
}

TEST(OpensslCertificate, FromDerReplacesWhatWasHeld)
{
    const std::string rsa = fixture("rsa-email.der");
    const std::string sm2 = fixture("sm2.der");
    COpensslCertificate c;
    c.FromDER(rsa);
    ASSERT_NE(c.m_x509, nullptr);
    X509Ptr expect = decodeCert(rsa);
    EXPECT_EQ(X509_cmp(c, expect.get()), 0);

    c.FromDER(sm2);
    ASSERT_NE(c.m_x509, nullptr);
    expect = decodeCert(sm2);
    EXPECT_EQ(X509_cmp(c, expect.get()), 0);

    c.FromDER("not a certificate");
    EXPECT_EQ(c.m_x509, nullptr);
    c.Destory();
}

}  // namespace
