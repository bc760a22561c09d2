// SM2 signed data (GM/T 0010) around an SM2 signature made by OpenSSL's own
// SM2, and the raw SM2 signature checks.

#include "SM/fp7.h"
#include "SM/sm_oid.h"
#include "core/OsOpenssl.h"
#include "messages_test_util.h"

#include <openssl/objects.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace msgtest;

namespace {

const char kId[] = "1234567812345678";
const char kRawContent[] = "SM2 signed text\r\n\x01\xfe end";
const std::string kContent(kRawContent, sizeof kRawContent - 1);

struct Sm2P7Free {
    void operator()(sm::SM2_P7* p) const { sm::SM2_P7_free(p); }
};
using Sm2P7 = std::unique_ptr<sm::SM2_P7, Sm2P7Free>;

Sm2P7 decodeSm2(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return Sm2P7(sm::d2i_SM2_P7(nullptr, &p, static_cast<long>(der.size())));
}

unsigned char* ubytes(std::string& s)
{
    return reinterpret_cast<unsigned char*>(&s[0]);
}

std::string reverseHalves(std::string rs)
{
    std::reverse(rs.begin(), rs.begin() + 32);
    std::reverse(rs.begin() + 32, rs.end());
    return rs;
}

class Sm2Message : public ::testing::Test {
protected:
    void SetUp() override
    {
        certDer_ = fixture("sm2.der");
        key_ = fixtureKey("sm2.key.pem");
        ASSERT_TRUE(key_);
        cert_ = decodeCert(certDer_);
        ASSERT_TRUE(cert_);
    }
    // OpenSSL's SM2 over data with the default identity, as r || s.
    std::string rawSign(const std::string& data) const
    {
        std::string rs = derToRaw(opensslSign(key_.get(), EVP_sm3(), data, kId));
        EXPECT_EQ(rs.size(), 64u);
        return rs;
    }
    std::string make(const std::string& text, const std::string& rs, int hashNid = sm::NID_internal_sm3) const
    {
        std::string der = MakeSM2P7Signed(text, certDer_, rs, hashNid);
        EXPECT_FALSE(der.empty());
        return der;
    }

    std::string certDer_;
    X509Ptr cert_;
    Pkey key_;
};

// ---- Raw SM2 signatures -----------------------------------------------------

TEST_F(Sm2Message, RawSignatureFormsAndLengths)
{
    const std::string rs = rawSign(kContent);
    X509Ptr p256 = decodeCert(fixture("p256.der"));
    ASSERT_TRUE(p256);
    struct Case {
        const char* name;
        X509* cert;
        std::string sig;
        std::string msg;
        int expect;
    };
    const Case cases[] = {
        {"big-endian r || s", cert_.get(), rs, kContent, 1},
        {"each half byte-reversed", cert_.get(), reverseHalves(rs), kContent, 1},
        {"bytes after the 64th are ignored", cert_.get(), rs + "xyz", kContent, 1},
        {"63 bytes", cert_.get(), rs.substr(0, 63), kContent, 0},
        {"other message", cert_.get(), rs, kContent + ".", 0},
        {"halves swapped", cert_.get(), rs.substr(32) + rs.substr(0, 32), kContent, 0},
        {"P-256 certificate", p256.get(), rs, kContent, 0},
        {"no certificate", nullptr, rs, kContent, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sig = c.sig;
        std::string msg = c.msg;
        EXPECT_EQ(sm::SM2Verify(c.cert, ubytes(sig), static_cast<int>(sig.size()), ubytes(msg),
                                static_cast<int>(msg.size())),
                  c.expect);
    }

    // Missing pieces and non-positive lengths.
    std::string sig = rs;
    std::string msg = kContent;
    EXPECT_EQ(sm::SM2Verify(cert_.get(), nullptr, 64, ubytes(msg), static_cast<int>(msg.size())), 0);
    EXPECT_EQ(sm::SM2Verify(cert_.get(), ubytes(sig), 64, nullptr, 5), 0);
    EXPECT_EQ(sm::SM2Verify(cert_.get(), ubytes(sig), 64, ubytes(msg), 0), 0);
    EXPECT_EQ(sm::SM2Verify(cert_.get(), ubytes(sig), -64, ubytes(msg), static_cast<int>(msg.size())), 0);
    EXPECT_EQ(sm::SM2Verify(cert_.get(), ubytes(sig), 64, ubytes(msg), static_cast<int>(msg.size())), 1)
        << "the refusals above were for the arguments, not the signature";
}

// ---- Making SM2 signed data -------------------------------------------------

// The OBJECT lines of `openssl asn1parse`, in order, as the tool names them.
std::vector<std::string> objectsSeenByTool(const std::string& der)
{
    ScratchDir dir;
    dir.put("m.der", der);
    EXPECT_EQ(dir.openssl("asn1parse -inform DER -in m.der"), 0) << dir.errors();
    std::vector<std::string> objects;
    std::istringstream lines(dir.output());
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("OBJECT");
        if (at != std::string::npos) {
            const size_t colon = line.find(':', at);
            objects.push_back(colon == std::string::npos ? "" : line.substr(colon + 1));
        }
    }
    return objects;
}

TEST_F(Sm2Message, ToolSeesTheSm2IdentifiersWhateverHashNumberIsGiven)
{
    const std::string rs = rawSign(kContent);
    // The tool names what it knows by its long name and writes the rest in
    // dotted form.
    const std::string sm3 = OBJ_nid2ln(NID_sm3);
    const std::string sm2 = OBJ_nid2ln(NID_sm2);
    const std::string der = make(kContent, rs);
    for (const int hashNid : {NID_sha256, NID_md2, int{sm::NID_internal_sm3}}) {
        SCOPED_TRACE(hashNid);
        EXPECT_EQ(make(kContent, rs, hashNid), der) << "the digest is always SM3";
    }
    const auto objects = objectsSeenByTool(der);
    ASSERT_GE(objects.size(), 6u);
    EXPECT_EQ(objects[0], "1.2.156.10197.6.1.4.2.2");
    EXPECT_EQ(objects[1], sm3) << "digest-algorithm set";
    EXPECT_EQ(objects[2], "1.2.156.10197.6.1.4.2.1") << "content type";
    EXPECT_EQ(objects[objects.size() - 2], sm3) << "signer's digest algorithm";
    EXPECT_EQ(objects.back(), sm2) << "signer's signature algorithm";

    // Layout: version 1, one SM3 with NULL, the content, the certificate,
    // one signer of version 1 whose signature is r || s.
    auto elements = signedDataElements(der);
    ASSERT_TRUE(elements);
    ASSERT_EQ(elements->size(), 5u);
    const auto& el = *elements;
    EXPECT_EQ(elementBytes(der, el[0]), std::string("\x02\x01\x01", 3));
    const std::string sm3Alg("\x30\x0c\x06\x08\x2a\x81\x1c\xcf\x55\x01\x83\x11\x05\x00", 14);
    EXPECT_EQ(elementBytes(der, el[1]), "\x31\x0e" + sm3Alg);
    const std::string dataType("\x06\x0a\x2a\x81\x1c\xcf\x55\x06\x01\x04\x02\x01", 12);
    const auto content = children(der, el[2]);
    ASSERT_TRUE(content && content->size() == 2u);
    EXPECT_EQ(elementBytes(der, (*content)[0]), dataType);
    EXPECT_EQ(elementBytes(der, (*content)[1]), "\xa0" + std::string(1, char(kContent.size() + 2)) + "\x04" +
                                                     std::string(1, char(kContent.size())) + kContent);
    EXPECT_EQ(der.substr(el[3].start, el[3].len), certDer_);
    const auto signers = children(der, el[4]);
    ASSERT_TRUE(signers && signers->size() == 1u);
    const auto si = children(der, (*signers)[0]);
    ASSERT_TRUE(si && si->size() == 5u);
    EXPECT_EQ(elementBytes(der, (*si)[0]), std::string("\x02\x01\x01", 3));
    EXPECT_EQ(elementBytes(der, (*si)[2]), sm3Alg);
    EXPECT_EQ(elementBytes(der, (*si)[3]),
              std::string("\x30\x0c\x06\x08\x2a\x81\x1c\xcf\x55\x01\x82\x2d\x05\x00", 14));
    EXPECT_EQ(der.substr((*si)[4].start, (*si)[4].len), rs);

    // The signer is named by the certificate's issuer and serial number.
    Sm2P7 p7 = decodeSm2(der);
    ASSERT_TRUE(p7);
    const sm::SM2_SIGNER_INFO* psi = sm::sk_SM2_SIGNER_INFO_value(sm::SM2_P7_get_signer_info(p7.get()), 0);
    EXPECT_EQ(X509_NAME_cmp(psi->issuer_and_serial->issuer, X509_get_issuer_name(cert_.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(psi->issuer_and_serial->serial, X509_get0_serialNumber(cert_.get())), 0);
}

TEST_F(Sm2Message, DetachedFormWritesAnEmptyContentInfo)
{
    const std::string der = make("", rawSign(kContent));
    auto elements = signedDataElements(der);  // well-formed, minimal lengths
    ASSERT_TRUE(elements);
    ASSERT_EQ(elements->size(), 5u);
    EXPECT_EQ(elementBytes(der, (*elements)[2]), std::string("\x30\x00", 2));
    EXPECT_EQ(der.find(kContent), std::string::npos);
    EXPECT_EQ(objectsSeenByTool(der).front(), "1.2.156.10197.6.1.4.2.2");
}

TEST_F(Sm2Message, NoCertificateNoMessage)
{
    const std::string rs = rawSign(kContent);
    EXPECT_EQ(MakeSM2P7Signed(kContent, "", rs, sm::NID_internal_sm3), "");
    EXPECT_EQ(MakeSM2P7Signed(kContent, certDer_.substr(0, certDer_.size() - 1), rs, sm::NID_internal_sm3), "");
}

// ---- Verifying SM2 signed data ----------------------------------------------

TEST_F(Sm2Message, AttachedContentStandsInForAnAbsentMessage)
{
    Sm2P7 p7 = decodeSm2(make(kContent, rawSign(kContent)));
    ASSERT_TRUE(p7);
    std::string other = kContent;
    other[2] ^= 0x01;
    std::string zeroFirst = std::string(1, '\0') + "anything";
    std::string same = kContent;
    struct Case {
        const char* name;
        std::string* msg;
        bool expect;
    };
    const Case cases[] = {
        {"no message", nullptr, true},
        {"message starting with a zero byte", &zeroFirst, true},
        {"the same text given", &same, true},
        {"another text given", &other, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SM2P7Verify(p7.get(), c.msg ? &(*c.msg)[0] : nullptr, c.msg ? static_cast<int>(c.msg->size()) : 0),
                  c.expect);
    }

    // A signature over other text is refused with the attached content.
    Sm2P7 wrong = decodeSm2(make(kContent, rawSign(other)));
    ASSERT_TRUE(wrong);
    EXPECT_FALSE(SM2P7Verify(wrong.get(), nullptr, 0));
}

// A detached message as this system writes it (30 00 for the content info)
// reads back and verifies against the message it was made for.
TEST_F(Sm2Message, DetachedMessageVerifiesWithTheMessage)
{
    Sm2P7 p7 = decodeSm2(make("", rawSign(kContent)));
    ASSERT_TRUE(p7);
    ASSERT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);
    std::string msg = kContent;
    EXPECT_TRUE(SM2P7Verify(p7.get(), &msg[0], static_cast<int>(msg.size())));
    std::string other = kContent;
    other.back() ^= 0x01;
    EXPECT_FALSE(SM2P7Verify(p7.get(), &other[0], static_cast<int>(other.size())));
    EXPECT_FALSE(SM2P7Verify(p7.get(), nullptr, 0)) << "no content and no message";
}

// The same with a structure whose content was dropped after decoding, as a
// caller holding the structure would have it.
TEST_F(Sm2Message, DetachedStructureVerifiesWithTheMessage)
{
    Sm2P7 p7 = decodeSm2(make(kContent, rawSign(kContent)));
    ASSERT_TRUE(p7);
    ASSERT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_SET_DETACHED, 1, nullptr), 1);
    ASSERT_EQ(sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_GET_DETACHED, 0, nullptr), 1);

    std::string msg = kContent;
    EXPECT_TRUE(SM2P7Verify(p7.get(), &msg[0], static_cast<int>(msg.size())));
    std::string other = kContent;
    other.back() ^= 0x01;
    EXPECT_FALSE(SM2P7Verify(p7.get(), &other[0], static_cast<int>(other.size())));
    EXPECT_FALSE(SM2P7Verify(p7.get(), nullptr, 0)) << "no content and no message";
}

TEST_F(Sm2Message, AnySignerThatVerifiesIsEnough)
{
    const std::string good = rawSign(kContent);
    const std::string bad = rawSign("other text");
    const std::string goodLittleEndian = reverseHalves(good);

    struct Case {
        const char* name;
        std::string first, second;
        bool expect;
    };
    const Case cases[] = {
        {"only the second verifies", bad, good, true},
        {"only the first verifies", good, bad, true},
        {"the second in little-endian order", bad, goodLittleEndian, true},
        {"neither verifies", bad, bad, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sm2P7 p7 = decodeSm2(make(kContent, c.first));
        Sm2P7 donor = decodeSm2(make(kContent, c.second));
        ASSERT_TRUE(p7 && donor);
        // Move the donor's signer over.
        sm::SM2_SIGNER_INFO* si = sm::sk_SM2_SIGNER_INFO_pop(sm::SM2_P7_get_signer_info(donor.get()));
        ASSERT_NE(si, nullptr);
        if (!sm::SM2_P7_add_signer(p7.get(), si)) {
            sm::SM2_SIGNER_INFO_free(si);
            FAIL() << "add_signer";
        }
        ASSERT_EQ(sm::sk_SM2_SIGNER_INFO_num(sm::SM2_P7_get_signer_info(p7.get())), 2);
        EXPECT_EQ(SM2P7Verify(p7.get(), nullptr, 0), c.expect);
    }
}

TEST_F(Sm2Message, SignerWithoutItsCertificateFails)
{
    Sm2P7 p7 = decodeSm2(make(kContent, rawSign(kContent)));
    ASSERT_TRUE(p7);
    ASSERT_TRUE(SM2P7Verify(p7.get(), nullptr, 0));
    sm::SM2_SIGNER_INFO* si = sm::sk_SM2_SIGNER_INFO_value(sm::SM2_P7_get_signer_info(p7.get()), 0);
    ASSERT_EQ(ASN1_INTEGER_set(si->issuer_and_serial->serial, 424242), 1);
    EXPECT_FALSE(SM2P7Verify(p7.get(), nullptr, 0));

    // No signers, no structure.
    Sm2P7 empty(sm::SM2_P7_new());
    ASSERT_TRUE(empty);
    ASSERT_EQ(sm::SM2_P7_set_type(empty.get(), sm::NID_internal_sm2p7signed), 1);
    EXPECT_FALSE(SM2P7Verify(empty.get(), nullptr, 0));
    EXPECT_FALSE(SM2P7Verify(nullptr, nullptr, 0));
}

TEST_F(Sm2Message, OneSignerCheckWantsRawSignaturesOfSignedData)
{
    std::string der = opensslSign(key_.get(), EVP_sm3(), kContent, kId);
    // A DER signature of exactly 72 bytes (both integers with a leading zero).
    for (int i = 0; i < 200 && der.size() != 72; ++i) {
        der = opensslSign(key_.get(), EVP_sm3(), kContent, kId);
    }
    ASSERT_EQ(der.size(), 72u);
    const std::string rs = derToRaw(der);

    Sm2P7 p7 = decodeSm2(make(kContent, rs));
    ASSERT_TRUE(p7);
    sm::SM2_SIGNER_INFO* si = sm::sk_SM2_SIGNER_INFO_value(sm::SM2_P7_get_signer_info(p7.get()), 0);
    std::string msg = kContent;
    const int len = static_cast<int>(msg.size());
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, cert_.get(), ubytes(msg), len), 1);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, cert_.get(), ubytes(msg), 0), 0);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, cert_.get(), nullptr, len), 0);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, nullptr, ubytes(msg), len), 0);

    // The type must be signed or signed-and-enveloped data.
    Sm2P7 data(sm::SM2_P7_new());
    ASSERT_TRUE(data);
    ASSERT_EQ(sm::SM2_P7_set_type(data.get(), sm::NID_internal_sm2p7data), 1);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(data.get(), si, cert_.get(), ubytes(msg), len), 0);

    // Exactly 64 bytes: unlike SM2Verify, trailing bytes are refused.
    const std::string longer = rs + "xy";
    ASSERT_EQ(ASN1_OCTET_STRING_set(si->enc_digest, reinterpret_cast<const unsigned char*>(longer.data()), 66), 1);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, cert_.get(), ubytes(msg), len), 0) << "66 bytes";

    ASSERT_EQ(ASN1_OCTET_STRING_set(si->enc_digest, reinterpret_cast<const unsigned char*>(der.data()), 72), 1);
    EXPECT_EQ(sm::SM2_P7_signatureVerify(p7.get(), si, cert_.get(), ubytes(msg), len), 0) << "DER form";
    EXPECT_FALSE(SM2P7Verify(p7.get(), nullptr, 0));
}

}  // namespace
