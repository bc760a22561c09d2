// A PKCS#11 provider over SoftHSM2 reached through the forwarding module
// (which logs in as a vendor module's PIN dialog would): choosing the slot,
// listing with queries, selection by position from 0, export, requests and
// the import of an issued certificate.
#include "SMCertificate.h"
#include "SMProvider.h"
#include "SMProviderManager.h"
#include "core/base64.h"
#include "pkcs11_fixture.h"

#include <algorithm>

using namespace p11test;

namespace {

std::string CnOf(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    char cn[256] = "";
    if (x) X509_NAME_get_text_by_NID(X509_get_subject_name(x.get()), NID_commonName, cn, sizeof cn);
    return cn;
}

Owned<X509_REQ> ParseRequest(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return Owned<X509_REQ>(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

class Pkcs11ProviderTest : public TokenTest {
protected:
    void TearDown() override {
        m_reg.clearProviders();
        TokenTest::TearDown();
    }

    // The fixture and the provider load the same module: the fixture's
    // preparation ends with its C_Finalize so the provider can initialise it.
    void DoneSeeding() {
        if (m_dll.m_bLoaded) m_dll.Finalize();
    }

    SMProvider* OpenProvider() {
        std::string name = P11FORWARD_LIB;
        SMProvider* p = nullptr;
        EXPECT_EQ(m_reg.obtainProvider(name, 4, &p), 0);
        return p;
    }

    // A key pair with a certificate for it; returns the certificate.
    std::string Seed(const std::string& id, const std::string& cn) {
        KeyPair k = MakeRsa(id);
        Owned<EVP_PKEY> pub(PublicOf(k.pub));
        std::string der = Issue(pub.get(), cn);
        PutCert(der, id);
        return der;
    }

    SMProviderManager m_reg;
};

TEST_P(Pkcs11ProviderTest, OnlyAnInitialisedTokenMakesAProvider) {
    // SoftHSM2 always offers one free slot with an uninitialised token.
    const std::string empty = m_dir + "/empty";
    std::filesystem::create_directory(empty + "-tokens");
    WriteFile(empty + ".conf", "directories.tokendir = " + empty + "-tokens\nobjectstore.backend = file\n");
    setenv("SOFTHSM2_CONF", (empty + ".conf").c_str(), 1);
    std::string name = P11FORWARD_LIB;
    SMProvider* p = nullptr;
    EXPECT_EQ(m_reg.obtainProvider(name, 4, &p), 2);
    EXPECT_EQ(p, nullptr);

    setenv("SOFTHSM2_CONF", (m_dir + "/softhsm2.conf").c_str(), 1);
    ASSERT_EQ(m_reg.obtainProvider(name, 4, &p), 0);
    ASSERT_NE(p, nullptr);
    CK_TOKEN_INFO info;
    ASSERT_EQ(p->pp11->m_p11Funcs->C_GetTokenInfo(p->pslot->m_slotID, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 2), "L1");
    SMProvider* again = nullptr;
    EXPECT_EQ(m_reg.obtainProvider(name, 4, &again), 6);
    EXPECT_EQ(again, p);

    std::string noModule = m_dir + "/missing.so";
    EXPECT_EQ(m_reg.obtainProvider(noModule, 4, &again), 2);
}

TEST_P(Pkcs11ProviderTest, ListingQueriesSelectionAndExport) {
    Open();
    const std::string alpha = Seed("a", "alpha");  // serial 1
    const std::string beta = Seed("b", "Beta");    // serial 2
    DoneSeeding();
    SMProvider* p = OpenProvider();
    ASSERT_NE(p, nullptr);

    struct Case {
        const char* what;
        std::string certificate_info_t::*field;
        std::string value;
        std::vector<std::string> cns;  // in any order: the module's object order
    } cases[] = {
        {"all", nullptr, "", {"Beta", "alpha"}},
        {"CN ignoring case", &certificate_info_t::CN, "ALPHA", {"alpha"}},
        {"CN prefix", &certificate_info_t::CN, "alp", {}},
        {"serial with zeros", &certificate_info_t::sn, "0002", {"Beta"}},
        {"subject", &certificate_info_t::subject, "CN=alpha", {}},
    };
    for (const Case& c : cases) {
        certificate_info_t q;
        if (c.field != nullptr) q.*c.field = c.value;
        certlist names{"stale"};
        EXPECT_EQ(p->enumerateCerts(q, names), c.cns.empty() ? -2 : 0) << c.what;
        std::vector<std::string> got(names.begin(), names.end()), want = c.cns;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << c.what;
        // Name i and published certificate i are the same certificate.
        ASSERT_EQ(my_publist.size(), names.size()) << c.what;
        size_t i = 0;
        for (const std::string& n : names) EXPECT_EQ(CnOf(Base64::decode64(my_publist[i++])), n) << c.what;
    }

    certificate_info_t all;
    certlist names;
    ASSERT_EQ(p->enumerateCerts(all, names), 0);
    ASSERT_EQ(names.size(), 2u);
    for (int index : {0, 1}) {
        SMCertificate* sc = nullptr;
        ASSERT_EQ(p->selectCert(4, index, &sc), 0);
        certificate_info_t info;
        ASSERT_EQ(sc->getCertInfo(info), 1);
        EXPECT_EQ(info.CN, *std::next(names.begin(), index));
        std::string exported;
        EXPECT_EQ(p->exportCert(index, exported, ""), 0);
        EXPECT_EQ(exported, my_publist[index]);
        EXPECT_EQ(exported, Base64::encode64(info.CN == "alpha" ? alpha : beta));
    }
    for (int index : {2, -1}) {
        SMCertificate* sc = nullptr;
        EXPECT_EQ(p->selectCert(4, index, &sc), -2) << index;
        EXPECT_EQ(sc, nullptr);
        std::string out = "untouched";
        EXPECT_EQ(p->exportCert(index, out, ""), -2) << index;
        EXPECT_EQ(out, "untouched");
    }
    EXPECT_EQ(p->deleteCert(0), -1);
    EXPECT_EQ(p->m_certvec.size(), 2u);
}

TEST_P(Pkcs11ProviderTest, RequestsAndImportNeedAnEnumeratedSession) {
    DoneSeeding();
    SMProvider* p = OpenProvider();
    ASSERT_NE(p, nullptr);

    csr_t csr{};
    csr.CN = "enrolled";
    csr.O = "Vaultline";
    csr.hash = HASH_SHA256;
    std::string out = "untouched";
    EXPECT_EQ(p->genCSR(csr, out), -2);  // no session before a listing
    EXPECT_EQ(out, "untouched");
    Owned<EVP_PKEY> stray(EVP_RSA_gen(1024));
    std::string strayCert = Base64::encode64(Issue(stray.get(), "stray"));
    EXPECT_EQ(p->importCert(strayCert, 0), -2);

    certificate_info_t all;
    certlist names;
    EXPECT_EQ(p->enumerateCerts(all, names), -2);  // an empty token, but the session is open now
    EXPECT_TRUE(names.empty());

    // The token signs every request with SHA-1; only MD5 is named otherwise.
    struct Case {
        int hash;
        int signatureNid;  // NID_undef: the request is withheld
    } cases[] = {
        {HASH_SHA256, NID_sha1WithRSAEncryption},
        {HASH_NULL, NID_sha1WithRSAEncryption},
        {9, NID_sha1WithRSAEncryption},
        {HASH_MD5, NID_undef},  // signed with SHA-1 but named MD5: fails its own check
    };
    std::string request;
    for (const Case& c : cases) {
        csr.hash = static_cast<hash_algo_t>(c.hash);
        std::string der = "untouched";
        ASSERT_EQ(p->genCSR(csr, der), 0) << c.hash;
        if (c.signatureNid == NID_undef) {
            EXPECT_TRUE(der.empty()) << c.hash;
            continue;
        }
        Owned<X509_REQ> req = ParseRequest(der);
        ASSERT_TRUE(req) << c.hash;
        EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), c.signatureNid) << c.hash;
        WriteFile(m_dir + "/req.der", der);
        ShellResult r = Shell("openssl req -inform DER -in '" + m_dir + "/req.der' -verify -noout");
        EXPECT_NE(r.out.find("self-signature verify OK"), std::string::npos) << r.out;
        if (c.hash == HASH_SHA256) request = der;
    }

    Owned<X509_REQ> req = ParseRequest(request);
    ASSERT_TRUE(req);
    Owned<EVP_PKEY> key(X509_REQ_get_pubkey(req.get()));
    std::string issued = Base64::encode64(Issue(key.get(), "enrolled"));
    std::string empty;
    EXPECT_EQ(p->importCert(empty, 0), -2);
    EXPECT_EQ(p->importCert(strayCert, 0), -2);  // its key is not on the token
    ASSERT_EQ(p->importCert(issued, 0), 0);

    ASSERT_EQ(p->enumerateCerts(all, names), 0);
    EXPECT_EQ(names, certlist{"enrolled"});
    EXPECT_EQ(my_publist, std::vector<std::string>{issued});
}

INSTANTIATE_TEST_SUITE_P(Forwarded, Pkcs11ProviderTest, ::testing::Values(Route::Forward), RouteName);

}  // namespace
