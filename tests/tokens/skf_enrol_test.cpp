// Key pairs and certificate requests on the token, certificate and key import.
#include "skf_fixture.h"

#include "SM/sm2_asn1.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>

using namespace skftest;

namespace {

csr_t FullCsr(hash_algo_t hash) {
    csr_t csr{};
    csr.CN = "Zhang San";
    csr.C = "CN";
    csr.O = "Vaultline";
    csr.OU = "Enrolment";
    csr.E = "zs@example.cn";
    csr.ST = "Beijing";
    csr.L = "Haidian";
    csr.keySize = 1024;
    csr.hash = hash;
    return csr;
}

Owned<X509_REQ> ParseReq(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return Owned<X509_REQ>(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

std::string PubDer(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

// Tags of the elements of the request information, read from the DER.
std::vector<int> RequestInfoTags(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* end = p + der.size();
    long len;
    int tag, cls;
    std::vector<int> tags;
    if (ASN1_get_object(&p, &len, &tag, &cls, end - p) & 0x80) return tags;  // request
    if (ASN1_get_object(&p, &len, &tag, &cls, end - p) & 0x80) return tags;  // request information
    const unsigned char* infoEnd = p + len;
    while (p < infoEnd) {
        const unsigned char* start = p;
        if (ASN1_get_object(&p, &len, &tag, &cls, infoEnd - p) & 0x80) break;
        tags.push_back(static_cast<int>(*start));
        p += len;
    }
    return tags;
}

// `openssl req -verify` on the DER request; true when it reports the
// self-signature good (its exit status is 0 either way).
bool OpensslAccepts(const std::string& dir, const std::string& der, bool sm2) {
    const std::string path = dir + "/req.der";
    std::ofstream(path, std::ios::binary) << der;
    std::string cmd = "openssl req -inform DER -in '" + path + "' -verify -noout";
    if (sm2) cmd += " -vfyopt distid:1234567812345678";
    cmd += " 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return false;
    std::string out;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof(buf), f)) out.append(buf, n);
    ::pclose(f);
    return out.find("self-signature verify OK") != std::string::npos;
}

std::set<std::string> Containers(softskf::Store& s, const char* app) {
    auto v = s.ListContainers(kDev, app);
    return std::set<std::string>(v.begin(), v.end());
}

std::string NewName(const std::set<std::string>& before, const std::set<std::string>& after) {
    std::vector<std::string> diff;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(diff));
    return diff.size() == 1 ? diff[0] : "";
}

}  // namespace

TEST_F(SkfTest, GenCsrMakesAContainerKeyAndAVerifiableRequest) {
    BuildToken();
    const struct {
        const char* name;
        hash_algo_t hash;
        bool leftAligned;
        const char* sigOid;
    } cases[] = {
        {"SM2", HASH_SM3, false, "1.2.156.10197.1.501"},
        {"SM2 on a left-aligned token", HASH_SM3, true, "1.2.156.10197.1.501"},
        {"RSA", HASH_SHA256, false, "1.2.840.113549.1.1.11"},
    };
    const std::regex hexName("[0-9A-F]{32}");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.leftAligned) ::setenv("SOFTSKF_LEFT_ALIGN", "1", 1);
        CSKFProvider p(SKF_LIB);
        OpenForEnrol(p, "C1");
        const auto before = Containers(*m_store, kApp);
        const csr_t csr = FullCsr(c.hash);
        std::string der;
        ASSERT_EQ(p.GenCSR(&csr, der, true, ""), SAR_OK);
        ASSERT_FALSE(der.empty());
        ::unsetenv("SOFTSKF_LEFT_ALIGN");

        const std::string name = NewName(before, Containers(*m_store, kApp));
        EXPECT_TRUE(std::regex_match(name, hexName)) << name;
        const bool sm2 = c.hash == HASH_SM3;
        EXPECT_TRUE(OpensslAccepts(m_dir, der, sm2));
        std::string spoiled = der;
        spoiled[spoiled.size() - 5] ^= 0x01;
        EXPECT_FALSE(OpensslAccepts(m_dir, spoiled, sm2)) << "the check must be able to fail";

        Owned<X509_REQ> req = ParseReq(der);
        ASSERT_TRUE(req);
        EXPECT_EQ(PubDer(X509_REQ_get0_pubkey(req.get())),
                  Str(m_store->PublicKey(kDev, kApp, name, KeyUsage::Sign)))
            << "the request carries the new container's key";
        // The new container is the object's open one: a certificate for the
        // request's key goes there.
        const std::string issued = MakeCert(X509_REQ_get0_pubkey(req.get()), "issued");
        ASSERT_EQ(p.ImportCert(issued, true), SAR_OK);
        EXPECT_EQ(Str(m_store->Certificate(kDev, kApp, name, KeyUsage::Sign)), issued);

        // Subject entries in the fixed order.
        const std::vector<std::pair<int, std::string>> want = {
            {NID_commonName, csr.CN},         {NID_countryName, csr.C},
            {NID_organizationName, csr.O},    {NID_organizationalUnitName, csr.OU},
            {NID_pkcs9_emailAddress, csr.E},  {NID_stateOrProvinceName, csr.ST},
            {NID_localityName, csr.L},
        };
        X509_NAME* subject = X509_REQ_get_subject_name(req.get());
        ASSERT_EQ(X509_NAME_entry_count(subject), static_cast<int>(want.size()));
        for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
            X509_NAME_ENTRY* e = X509_NAME_get_entry(subject, i);
            const ASN1_STRING* v = X509_NAME_ENTRY_get_data(e);
            EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)), want[i].first) << i;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(v)), ASN1_STRING_length(v)),
                      want[i].second);
        }
        // Version, subject, public key: no [0] attributes element at all.
        EXPECT_EQ(RequestInfoTags(der), (std::vector<int>{0x02, 0x30, 0x30}));

        const ASN1_BIT_STRING* sig = nullptr;
        const X509_ALGOR* alg = nullptr;
        X509_REQ_get0_signature(req.get(), &sig, &alg);
        const ASN1_OBJECT* oid = nullptr;
        int ptype = 0;
        X509_ALGOR_get0(&oid, &ptype, nullptr, alg);
        char text[64];
        OBJ_obj2txt(text, sizeof(text), oid, 1);
        EXPECT_STREQ(text, c.sigOid);
        EXPECT_EQ(ptype, V_ASN1_NULL);
        if (sm2) {
            const unsigned char* s = ASN1_STRING_get0_data(sig);
            Owned<ECDSA_SIG> rs(d2i_ECDSA_SIG(nullptr, &s, ASN1_STRING_length(sig)));
            EXPECT_TRUE(rs) << "signature value is a SEQUENCE of two INTEGERs";
        }
    }
}

// Two enrolments in the same second must not share a container (and key).
TEST_F(SkfTest, GenCsrTwiceWithinOneSecondMakesTwoContainers) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    OpenForEnrol(p, "C1");
    const csr_t csr = FullCsr(HASH_SM3);
    std::string first, second;
    std::time_t t0, t1;
    int tries = 0;
    do {
        t0 = std::time(nullptr);
        first.clear();
        second.clear();
        ASSERT_EQ(p.GenCSR(&csr, first, true, ""), SAR_OK);
        ASSERT_EQ(p.GenCSR(&csr, second, true, ""), SAR_OK);
        t1 = std::time(nullptr);
    } while (t0 != t1 && ++tries < 5);
    ASSERT_EQ(t0, t1) << "could not make two requests within one second";
    Owned<X509_REQ> a = ParseReq(first), b = ParseReq(second);
    ASSERT_TRUE(a && b);
    EXPECT_NE(PubDer(X509_REQ_get0_pubkey(a.get())), PubDer(X509_REQ_get0_pubkey(b.get())));
    EXPECT_EQ(Containers(*m_store, kApp).size(), 3u + 2u * static_cast<size_t>(tries + 1));
}

// The token hashes what SignRsa hands it with SHA-256, so a request that
// names SHA-1 carries a signature that does not match: the request is
// withheld, with status 0 (the caller sees an empty result).
TEST_F(SkfTest, GenCsrWithholdsARequestWhoseSignatureDoesNotVerify) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    OpenForEnrol(p, "C1");
    const auto before = Containers(*m_store, kApp);
    const csr_t csr = FullCsr(HASH_SHA1);
    std::string der = "untouched";
    EXPECT_EQ(p.GenCSR(&csr, der, true, ""), SAR_OK);
    EXPECT_EQ(der, "untouched");
    const std::string name = NewName(before, Containers(*m_store, kApp));
    ASSERT_FALSE(name.empty());
    EXPECT_FALSE(m_store->PublicKey(kDev, kApp, name, KeyUsage::Sign).empty()) << "the key pair stays";
}

TEST(SkfRandom, GenRand16DrawsFullBytes) {
    std::set<std::string> seen;
    bool sawFF = false;
    for (int i = 0; i < 200; ++i) {
        BYTE buf[16];
        ASSERT_TRUE(GenRand16(buf));
        seen.insert(std::string(reinterpret_cast<char*>(buf), 16));
        sawFF = sawFF || std::find(buf, buf + 16, 0xFF) != buf + 16;
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_TRUE(sawFF) << "0xFF never drawn in 3200 bytes";
}

TEST_F(SkfTest, GenCsrNamesAndExistingKeys) {
    BuildToken();
    const csr_t csr = FullCsr(HASH_SM3);
    {
        // GenCSR presents no PIN itself: a token whose dialog is cancelled
        // refuses the key generation, and no request comes out.
        CSKFProvider p(SKF_LIB);
        ASSERT_EQ(p.Init_SM3("", kApp, "C1", ""), SAR_OK);
        std::string refused = "untouched";
        const ULONG rv = p.GenCSR(&csr, refused, true, "");
        EXPECT_NE(rv, SAR_OK);
        EXPECT_NE(rv, SAR_FAIL);
        EXPECT_EQ(refused, "untouched");
    }
    CSKFProvider p(SKF_LIB);
    OpenForEnrol(p, "C1");

    // A 40-character name names the container by its first 32.
    const std::string longName = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
    std::string der;
    ASSERT_EQ(p.GenCSR(&csr, der, true, longName), SAR_OK);
    EXPECT_EQ(Containers(*m_store, kApp).count(longName.substr(0, 32)), 1u);

    // bCreate false on a container with a key: that key, nothing created.
    const auto before = Containers(*m_store, kApp);
    der.clear();
    ASSERT_EQ(p.GenCSR(&csr, der, false, "C1"), SAR_OK);
    Owned<X509_REQ> req = ParseReq(der);
    ASSERT_TRUE(req);
    EXPECT_EQ(PubDer(X509_REQ_get0_pubkey(req.get())), m_c1Pub);
    EXPECT_EQ(Str(m_store->PublicKey(kDev, kApp, "C1", KeyUsage::Sign)), m_c1Pub);
    EXPECT_EQ(Containers(*m_store, kApp), before);

    // bCreate false on a missing container: the library's status, nothing
    // created, the previous container still open.
    HCONTAINER open = p.ContainerHandle();
    std::string none = "untouched";
    EXPECT_NE(p.GenCSR(&csr, none, false, "MISSING"), SAR_OK);
    EXPECT_EQ(none, "untouched");
    EXPECT_EQ(p.ContainerHandle(), open);
    EXPECT_EQ(Containers(*m_store, kApp), before);

    // bCreate false on an empty container: the export's status, no key made.
    EXPECT_NE(p.GenCSR(&csr, none, false, "C0"), SAR_OK);
    EXPECT_EQ(none, "untouched");
    EXPECT_THROW(m_store->PublicKey(kDev, kApp, "C0", KeyUsage::Sign), softskf::StoreError);
}

TEST_F(SkfTest, ImportSigningCertificateIgnoresKeyMaterial) {
    BuildToken();
    CSKFProvider p(SKF_LIB);
    OpenForEnrol(p, "C1");
    const std::string fresh = MakeCert(PubFromDer(m_c1Pub).get(), "renewed");
    ASSERT_EQ(p.ImportCert(fresh, true), SAR_OK);
    EXPECT_EQ(Str(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Sign)), fresh);

    const std::string again = MakeCert(PubFromDer(m_c1Pub).get(), "again");
    ASSERT_EQ(p.ImportCert(again, true, std::string(120, 'k'), std::string(32, 'p'), SGD_SM4_ECB), SAR_OK);
    EXPECT_EQ(Str(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Sign)), again);
    EXPECT_THROW(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Encrypt), softskf::StoreError);

    // A certificate for another key is the library's to refuse.
    const std::string foreign = MakeCert(NewKey(true).get(), "foreign");
    ULONG rv = p.ImportCert(foreign, true);
    EXPECT_NE(rv, SAR_OK);
    EXPECT_NE(rv, SAR_FAIL);
}

TEST_F(SkfTest, ImportEncryptionKeyPairAndCertificate) {
    BuildToken();
    Owned<EVP_PKEY> enc = NewKey(true);
    const std::string encCert = MakeCert(enc.get(), "exchange");
    const Wrapped w = WrapForContainer(PubFromDer(m_c1Pub).get(), enc.get());
    ASSERT_GT(w.key.size(), 100u);

    CSKFProvider p(SKF_LIB);
    ASSERT_EQ(p.Init_SM3("", kApp, "C1", ""), SAR_OK);
    ::setenv("SOFTSKF_DIALOG_PIN", CSKFProvider::kFixedPin, 1);  // the user answers the token's dialog
    ASSERT_EQ(p.ImportCert(encCert, false, w.key, w.prikey, SGD_SM4_ECB), SAR_OK);
    EXPECT_EQ(Str(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Encrypt)), encCert);
    std::string sig;
    ASSERT_EQ(p.SignWDC1(sig, "with the imported key", true, false), SAR_OK);
    EXPECT_TRUE(VerifySm2(PubOfCert(encCert).get(), sig, "with the imported key"));
}

TEST_F(SkfTest, ImportWithAHundredByteKeyLetsTheLibraryDecide) {
    BuildToken();
    const std::string encCert = MakeCert(NewKey(true).get(), "exchange");
    const std::string key100(100, '\x11');

    CSKFProvider p(SKF_LIB);
    OpenForEnrol(p, "C1");
    ULONG rv = p.ImportCert(encCert, false, key100, std::string(32, 'p'), SGD_SM4_ECB);
    EXPECT_NE(rv, SAR_OK) << "an empty cipher cannot unwrap a key";
    EXPECT_THROW(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Encrypt), softskf::StoreError);

    ::setenv("SOFTSKF_FAIL", "SKF_ImportECCKeyPair=0", 1);  // the library accepts it
    EXPECT_EQ(p.ImportCert(encCert, false, key100, std::string(32, 'p'), SGD_SM4_ECB), SAR_OK);
    EXPECT_EQ(Str(m_store->Certificate(kDev, kApp, "C1", KeyUsage::Encrypt)), encCert);

    CSKFProvider q(SKF_LIB);
    ASSERT_EQ(q.Init("", kApp, "C0", ""), SAR_OK);
    EXPECT_EQ(q.ImportKey(key100, "p", encCert, SGD_SM4_ECB), SAR_FAIL) << "container without a key";
}

// Byte offsets of the envelope as the library reads it.
TEST(SkfEnvelope, LayoutOfTheEnvelopedKeyBlob) {
    Owned<EVP_PKEY> k = NewKey(true);
    const std::string cert = MakeCert(k.get(), "envelope");
    std::string point(65, '\0');
    size_t len = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(k.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                              reinterpret_cast<unsigned char*>(&point[0]), point.size(), &len),
              1);
    std::string key;
    for (int i = 0; i < 120; ++i) key.push_back(static_cast<char>(i + 1));
    const std::string prikey(70, '\x7E');  // only the first 64 fit

    const struct {
        const char* name;
        std::string key;
        std::string cert;
    } cases[] = {
        {"wrapped key and certificate", key, cert},
        {"100-byte key", key.substr(0, 100), cert},
        {"undecodable certificate", key, "not DER"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ENVELOPEDKEYBLOB, void (*)(void*)> blob(GetEnvelopedKeyblob(c.key, prikey, c.cert),
                                                               std::free);
        ASSERT_TRUE(blob);
        const BYTE* b = reinterpret_cast<const BYTE*>(blob.get());
        auto u32 = [b](size_t off) { ULONG v; std::memcpy(&v, b + off, 4); return v; };
        auto at = [b](size_t off, size_t n) { return std::string(reinterpret_cast<const char*>(b + off), n); };
        const std::string zero32(32, '\0');
        const bool wrapped = c.key.size() > 100;
        const bool certOk = c.cert == cert;

        EXPECT_EQ(u32(0), 1u);
        EXPECT_EQ(u32(4), SGD_SM4_ECB);
        EXPECT_EQ(u32(8), 256u);
        EXPECT_EQ(at(12, 64), prikey.substr(0, 64));
        EXPECT_EQ(u32(76), 256u);
        EXPECT_EQ(at(80, 32), certOk ? point.substr(1, 32) : zero32);
        EXPECT_EQ(at(112, 32), zero32);
        EXPECT_EQ(at(144, 32), certOk ? point.substr(33, 32) : zero32);
        EXPECT_EQ(at(176, 32), zero32);
        EXPECT_EQ(at(208, 32), wrapped ? c.key.substr(0, 32) : zero32);
        EXPECT_EQ(at(240, 32), zero32);
        EXPECT_EQ(at(272, 32), wrapped ? c.key.substr(32, 32) : zero32);
        EXPECT_EQ(at(336, 32), wrapped ? c.key.substr(64, 32) : zero32);
        EXPECT_EQ(u32(368), wrapped ? 20u : 0u);
        if (wrapped) {
            EXPECT_EQ(at(372, 20), c.key.substr(100));
        }
    }
}
