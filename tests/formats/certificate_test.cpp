// Handle classes and certificate helpers on the fixture certificates made by
// tests/fixtures/make-certs.sh (serial numbers and subjects are set there).
#include "core/OsFunctions.h"
#include "core/openssl++.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string fixture(const std::string& name)
{
    std::ifstream in(std::string(VAULTLINE_FIXTURES) + "/certs/" + name, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) {
        ADD_FAILURE() << "fixture missing or empty: " << name;
    }
    return data;
}

Openssl::CX509 load(const std::string& name)
{
    const std::string der = fixture(name);
    return Openssl::CX509::FromDER(reinterpret_cast<const unsigned char*>(der.data()), static_cast<long>(der.size()));
}

// Owns a CX509 for the length of a test (the handle itself never frees).
struct HeldCert {
    explicit HeldCert(const std::string& name) : cert(load(name)) {}
    ~HeldCert() { cert.Destory(); }
    Openssl::CX509 cert;
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PkeyPtr privateKey(const std::string& name)
{
    const std::string pem = fixture(name);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  &BIO_free);
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
}

// A PKCS#1 v1.5 signature made by the crypto library; "" when the digest is
// not available.
std::string sign(EVP_PKEY* key, const char* digest, const std::string& data)
{
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, digest, nullptr), &EVP_MD_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    size_t len = 0;
    if (!md || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, md.get(), nullptr, key) <= 0 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()), data.size()) <=
            0) {
        return std::string();
    }
    std::string sig(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) <= 0) {
        return std::string();
    }
    sig.resize(len);
    return sig;
}

bool digestAvailable(const char* name)
{
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, name, nullptr), &EVP_MD_free);
    return md != nullptr;
}

const std::vector<std::string> kNotCertificates = {
    "",
    "not a certificate",
    std::string("\x30\x82\x03\xb4", 4),  // a certificate's first bytes only
};

// ---- CInteger -------------------------------------------------------------

TEST(CInteger, RendersHexAndDecimal)
{
    const struct {
        const char* bnHex;  // input, as BN_hex2bn reads it
        const char* hex;
        const char* dec;
    } cases[] = {
        {"0", "0", "0"},
        {"5", "05", "5"},
        {"FF", "FF", "255"},
        {"100", "0100", "256"},
        {"C0FFEE0123456789", "C0FFEE0123456789", "13907095862997510025"},
        {"10000000000000000", "010000000000000000", "18446744073709551616"},
        {"-1", "-01", "-1"},
        {"-1234", "-1234", "-4660"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bnHex);
        BIGNUM* raw = nullptr;
        ASSERT_GT(BN_hex2bn(&raw, c.bnHex), 0);
        std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(raw, &BN_free);
        std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> integer(BN_to_ASN1_INTEGER(bn.get(), nullptr),
                                                                             &ASN1_INTEGER_free);
        ASSERT_NE(integer, nullptr);
        const Openssl::CInteger wrapped(integer.get());
        EXPECT_EQ(wrapped.toString(true), c.hex);
        EXPECT_EQ(wrapped.toString(false), c.dec);
    }
    EXPECT_EQ(Openssl::CInteger().toString(true), "");
    EXPECT_EQ(Openssl::CInteger().toString(false), "");
}

// ---- CX509 and CX509Name ----------------------------------------------------

TEST(CX509, FromDerTakesDecodedCertificateOrHoldsNothing)
{
    HeldCert held("rsa-email.der");
    ASSERT_NE(static_cast<X509*>(held.cert), nullptr);
    EXPECT_EQ(held.cert.get_serialNumber().toString(true), "C0FFEE0123456789");
    EXPECT_EQ(held.cert.get_issuer().toMap()["CN"], "Vaultline Test RSA Issuer");

    for (const auto& bad : kNotCertificates) {
        const auto cert = Openssl::CX509::FromDER(reinterpret_cast<const unsigned char*>(bad.data()),
                                                  static_cast<long>(bad.size()));
        EXPECT_EQ(static_cast<X509*>(cert), nullptr);
    }
    const std::string der = fixture("rsa-email.der");
    EXPECT_EQ(static_cast<X509*>(Openssl::CX509::FromDER(nullptr, 10)), nullptr);
    EXPECT_EQ(static_cast<X509*>(Openssl::CX509::FromDER(reinterpret_cast<const unsigned char*>(der.data()), 0)),
              nullptr);
    // A length that cuts the certificate short must not be read past.
    EXPECT_EQ(static_cast<X509*>(Openssl::CX509::FromDER(reinterpret_cast<const unsigned char*>(der.data()),
                                                         static_cast<long>(der.size() - 1))),
              nullptr);
}

TEST(CX509, OwnershipTakeCopyDetachDestory)
{
    HeldCert held("rsa-plain.der");
    X509* original = held.cert;
    ASSERT_NE(original, nullptr);

    // Copy: a different object with the same content, owned by the copy.
    Openssl::CX509 copy(original, false);
    ASSERT_NE(static_cast<X509*>(copy), nullptr);
    EXPECT_NE(static_cast<X509*>(copy), original);
    EXPECT_EQ(X509_cmp(copy, original), 0);
    copy.Destory();
    EXPECT_EQ(static_cast<X509*>(copy), nullptr);

    // Take and Detach: the same pointer goes in and comes out unfreed.
    Openssl::CX509 wrap(original, true);
    EXPECT_EQ(static_cast<X509*>(wrap), original);
    Openssl::CX509 moved(std::move(wrap));
    EXPECT_EQ(static_cast<X509*>(wrap), nullptr);
    EXPECT_EQ(moved.Detach(), original);
    EXPECT_EQ(static_cast<X509*>(moved), nullptr);
    EXPECT_EQ(held.cert.get_serialNumber().toString(true), "0A0B0C");  // still alive

    // An empty handle gives empty results, not a crash.
    const Openssl::CX509 empty;
    EXPECT_EQ(static_cast<X509_NAME*>(empty.get_subject()), nullptr);
    EXPECT_EQ(static_cast<X509_NAME*>(empty.get_issuer()), nullptr);
    EXPECT_EQ(static_cast<ASN1_INTEGER*>(empty.get_serialNumber()), nullptr);
}

TEST(CX509Name, HoldsCopyOrTakesAndMoves)
{
    HeldCert held("rsa-email.der");
    X509_NAME* subject = X509_get_subject_name(held.cert);

    Openssl::CX509Name copy(subject, false);
    EXPECT_NE(static_cast<X509_NAME*>(copy), subject);
    EXPECT_EQ(X509_NAME_cmp(copy, subject), 0);

    X509_NAME* own = X509_NAME_dup(subject);
    Openssl::CX509Name taken(own, true);
    EXPECT_EQ(static_cast<X509_NAME*>(taken), own);
    taken.Attach(own, true);  // the same name again must not free it
    EXPECT_EQ(X509_NAME_cmp(taken, subject), 0);

    Openssl::CX509Name moved(std::move(taken));
    EXPECT_EQ(static_cast<X509_NAME*>(taken), nullptr);
    EXPECT_EQ(static_cast<X509_NAME*>(moved), own);
    moved = std::move(copy);
    EXPECT_EQ(static_cast<X509_NAME*>(copy), nullptr);
    EXPECT_EQ(X509_NAME_cmp(moved, subject), 0);
    moved.Destory();
    EXPECT_EQ(static_cast<X509_NAME*>(moved), nullptr);
}

TEST(CX509Name, ToMapOfFixtureSubjects)
{
    HeldCert email("rsa-email.der");
    const auto map = email.cert.get_subject().toMap();
    const std::map<std::string, std::string> expected = {
        {"C", "CN"},
        {"O", "Vaultline Test"},
        {"OU", "Unit Two"},  // two OU entries: the later one stays
        {"CN", "RSA Signer"},
        {"emailAddress", "signer@vaultline.test"},
    };
    EXPECT_EQ(map, expected);

    HeldCert chinese("sm2-utf8.der");
    EXPECT_EQ(chinese.cert.get_subject().toMap()["CN"], "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7");  // 测试用户

    EXPECT_TRUE(Openssl::CX509Name().toMap().empty());
}

// Adds an entry whose string has the given type and raw content.
void addRaw(X509_NAME* name, const char* oid, int type, const std::string& bytes)
{
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(OBJ_txt2obj(oid, 0), &ASN1_OBJECT_free);
    ASSERT_NE(obj, nullptr);
    std::unique_ptr<X509_NAME_ENTRY, decltype(&X509_NAME_ENTRY_free)> entry(X509_NAME_ENTRY_new(),
                                                                            &X509_NAME_ENTRY_free);
    ASSERT_TRUE(X509_NAME_ENTRY_set_object(entry.get(), obj.get()));
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry.get());
    ASSERT_TRUE(ASN1_STRING_set(data, bytes.data(), static_cast<int>(bytes.size())));
    data->type = type;
    ASSERT_TRUE(X509_NAME_add_entry(name, entry.get(), -1, 0));
}

TEST(CX509Name, ToMapConvertsStringTypesAndKeepsUnknownAttributesApart)
{
    Openssl::CX509Name name(X509_NAME_new(), true);
    // 测试 as a BMPString (UCS-2, big-endian): must come out as UTF-8.
    addRaw(name, "CN", V_ASN1_BMPSTRING, std::string("\x6D\x4B\x8B\xD5", 4));
    // Latin-1 "Müller" as a T61String: one byte per character, widened.
    addRaw(name, "O", V_ASN1_T61STRING, "M\xFCller");
    // Bytes that are not UTF-8 in a UTF8String: the value is empty, the key present.
    addRaw(name, "OU", V_ASN1_UTF8STRING, "\xFF\xFE");
    // Identifiers the library has no name for.
    addRaw(name, "1.2.3.4", V_ASN1_UTF8STRING, "four");
    addRaw(name, "1.2.3.5", V_ASN1_UTF8STRING, "five");

    const auto map = name.toMap();
    const std::map<std::string, std::string> expected = {
        {"CN", "\xE6\xB5\x8B\xE8\xAF\x95"},
        {"O", "M\xC3\xBCller"},
        {"OU", ""},
        {"1.2.3.4", "four"},
        {"1.2.3.5", "five"},
    };
    EXPECT_EQ(map, expected);
}

// ---- Hash-verify ------------------------------------------------------------

TEST(HashVerify, RsaSignaturesByDigestNumber)
{
    HeldCert cert("rsa-email.der");
    HeldCert other("rsa-plain.der");
    const PkeyPtr key = privateKey("rsa-email.key.pem");
    ASSERT_NE(key, nullptr);
    const std::string msg = "message to sign";

    const struct {
        int nid;
        const char* digest;
    } digests[] = {{NID_sha256, "SHA256"}, {NID_sha1, "SHA1"}, {NID_md5, "MD5"}};
    for (const auto& d : digests) {
        SCOPED_TRACE(d.digest);
        const std::string sig = sign(key.get(), d.digest, msg);
        ASSERT_FALSE(sig.empty());
        EXPECT_TRUE(cert.cert.HashVerify(d.nid, sig, msg));
        std::string flipped = sig;
        flipped[flipped.size() / 2] ^= 0x01;
        EXPECT_FALSE(cert.cert.HashVerify(d.nid, flipped, msg));
        EXPECT_FALSE(cert.cert.HashVerify(d.nid, sig, msg + "."));
        EXPECT_FALSE(cert.cert.HashVerify(d.nid, sig.substr(1), msg));
        EXPECT_FALSE(cert.cert.HashVerify(d.nid, "", msg));
        EXPECT_FALSE(other.cert.HashVerify(d.nid, sig, msg));  // another key
    }

    const std::string sha256 = sign(key.get(), "SHA256", msg);
    EXPECT_FALSE(cert.cert.HashVerify(NID_sha1, sha256, msg));  // digest differs from the one signed
    for (int nid : {3, 0, -1, NID_sha384, NID_sha512, NID_sm3}) {
        SCOPED_TRACE(nid);
        EXPECT_FALSE(cert.cert.HashVerify(nid, sha256, msg));
    }

    // MD4 is in the list but usually not available on this library.
    if (digestAvailable("MD4")) {
        EXPECT_TRUE(cert.cert.HashVerify(NID_md4, sign(key.get(), "MD4", msg), msg));
    } else {
        EXPECT_FALSE(cert.cert.HashVerify(NID_md4, sha256, msg));
    }
}

TEST(HashVerify, NoKeyOrNoCertificateIsFalse)
{
    const Openssl::CEVP_PKEY none(nullptr);
    EXPECT_EQ(none.m_ctx, nullptr);
    EXPECT_FALSE(none.HashVerify(NID_sha256, "sig", "data"));
    EXPECT_FALSE(Openssl::CX509().HashVerify(NID_sha256, "sig", "data"));

    HeldCert cert("rsa-email.der");
    const Openssl::CEVP_PKEY key(X509_get_pubkey(cert.cert));
    EXPECT_NE(key.m_ctx, nullptr);
}

// ---- Certificate helpers ----------------------------------------------------

certificate_info_t sentinelRecord()
{
    certificate_info_t r;
    r.subject = "subject?";
    r.sn = "sn?";
    r.CN = "CN?";
    r.C = "C?";
    r.E = "E?";
    r.O = "O?";
    r.OU = "OU?";
    r.PUB = "PUB?";
    r.nKeys = 7;
    return r;
}

std::vector<std::string> fields(const certificate_info_t& r)
{
    return {r.subject, r.sn, r.CN, r.C, r.E, r.O, r.OU, r.PUB, std::to_string(r.nKeys)};
}

TEST(GetInfoEx, FillsSummaryFromFixtures)
{
    const struct {
        const char* file;
        // subject, sn, CN, C, E, O, OU, PUB, nKeys
        std::vector<std::string> expected;
    } cases[] = {
        // The first OU entry, unlike toMap, which keeps the last.
        {"rsa-email.der",
         {"subject?", "C0FFEE0123456789", "RSA Signer", "CN", "signer@vaultline.test", "Vaultline Test", "Unit One",
          "PUB?", "7"}},
        // No e-mail address: E stays as it was.
        {"rsa-plain.der",
         {"subject?", "0A0B0C", "RSA Plain", "CN", "E?", "Vaultline Test", "Plain Unit", "PUB?", "7"}},
        // No OU either; the UTF-8 common name is copied byte for byte.
        {"sm2-utf8.der",
         {"subject?", "5A5A02", "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7", "CN", "E?", "Vaultline Test",
          "OU?", "PUB?", "7"}},
        {"p256.der", {"subject?", "2560", "P256 Signer", "CN", "E?", "Vaultline Test", "OU?", "PUB?", "7"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        certificate_info_t record = sentinelRecord();
        std::string der = fixture(c.file);
        EXPECT_TRUE(GetInfoEx(&record, der));
        EXPECT_EQ(fields(record), c.expected);
    }
}

TEST(GetInfoEx, SerialMatchesHandleRendering)
{
    HeldCert cert("sm2.der");
    certificate_info_t record;
    std::string der = fixture("sm2.der");
    GetInfoEx(&record, der);
    EXPECT_EQ(record.sn, cert.cert.get_serialNumber().toString(true));
    EXPECT_EQ(record.sn, "5A5A01");
}

TEST(GetInfoEx, NotACertificateLeavesRecordUnchanged)
{
    std::vector<std::string> inputs = kNotCertificates;
    const std::string der = fixture("rsa-email.der");
    inputs.push_back(der.substr(0, der.size() / 2));
    for (auto& bad : inputs) {
        SCOPED_TRACE(bad.size());
        certificate_info_t record = sentinelRecord();
        EXPECT_TRUE(GetInfoEx(&record, bad));
        EXPECT_EQ(fields(record), fields(sentinelRecord()));
    }
    std::string good = der;
    EXPECT_TRUE(GetInfoEx(nullptr, good));
}

TEST(IsGmCert, TrueOnlyForSm2Keys)
{
    const struct {
        const char* file;
        bool gm;
    } cases[] = {
        {"sm2.der", true}, {"sm2-utf8.der", true}, {"sm2-ca.der", true},
        {"rsa-email.der", false}, {"rsa-plain.der", false}, {"rsa-ca.der", false},
        {"p256.der", false},          // id-ecPublicKey too, on another curve
        {"sm2-explicit.der", false},  // the SM2 curve, but not named by its identifier
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string der = fixture(c.file);
        EXPECT_EQ(isgmcert(der), c.gm);
    }
    for (auto bad : kNotCertificates) {
        EXPECT_FALSE(isgmcert(bad));
    }
}

TEST(GetPubkey, EqualsCommandLineKeyInfo)
{
    for (const char* name : {"rsa-email", "rsa-plain", "sm2", "sm2-utf8", "sm2-explicit", "p256"}) {
        SCOPED_TRACE(name);
        const std::string expected = fixture(std::string(name) + ".pub.der");
        EXPECT_EQ(GetPubkey(fixture(std::string(name) + ".der")), expected);
    }
    for (const auto& bad : kNotCertificates) {
        EXPECT_EQ(GetPubkey(bad), "");
    }
}

TEST(CaseInsensitiveCompare, FoldsAsciiLettersOnly)
{
    const struct {
        std::string a;
        std::string b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"ABC", "abc", true},
        {"Signer@Vaultline.TEST", "signer@vaultline.test", true},
        {"AZ", "az", true},
        {"abc", "abd", false},
        {"abc", "abcd", false},
        {"abc", "", false},
        // Characters beside the letter ranges differ by the same bit as a
        // letter's two cases, yet are not letters.
        {"@", "`", false},
        {"[", "{", false},
        {"^", "~", false},
        // Bytes above ASCII (Latin-1 Ä / ä) are compared as they are.
        {"\xC4", "\xE4", false},
        {std::string("a\0B", 3), std::string("A\0b", 3), true},
        {std::string("a\0B", 3), "a", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        EXPECT_EQ(caseinsensecompare(c.a, c.b), c.equal);
        EXPECT_EQ(caseinsensecompare(c.b, c.a), c.equal);
        EXPECT_EQ(caseinsensecomparea(c.a, c.b), c.equal);
    }
}

TEST(ReverseByte, ReversesOnlyValidRanges)
{
    const struct {
        int start;
        int len;
        bool reversed;
    } cases[] = {
        {0, 32, true},
        {2, 8, true},
        {0, 1, true},   // one byte: reversing changes nothing
        {5, 4, false},  // start not below length
        {4, 4, false},
        {0, 0, false},
        {-1, 4, false},
        {0, -4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "," + std::to_string(c.len));
        unsigned char buf[48];
        for (int k = 0; k < 48; ++k) {
            buf[k] = static_cast<unsigned char>(k);
        }
        reversebyte(buf, c.start, c.len);
        for (int k = 0; k < 48; ++k) {
            const bool inside = c.reversed && k >= c.start && k < c.start + c.len;
            const int expected = inside ? c.start + c.len - 1 - (k - c.start) : k;
            EXPECT_EQ(buf[k], expected) << "offset " << k;
        }
    }
    reversebyte(nullptr, 0, 32);  // must simply return, not write
}

}  // namespace
