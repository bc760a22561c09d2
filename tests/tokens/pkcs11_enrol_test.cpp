// Key-pair generation, certificate requests (builder and token) and
// installing an issued certificate next to its key.
#include "pkcs11_fixture.h"

#include <openssl/pem.h>

namespace p11test {
namespace {

namespace kc = korvane::crypto;

// Tags of the elements inside the request information, in order.
std::vector<int> InfoTags(const std::string& der) {
    std::vector<int> tags;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* end = p + der.size();
    long len;
    int tag, cls;
    for (int level = 0; level < 2; ++level)  // into the request, then its information
        if (ASN1_get_object(&p, &len, &tag, &cls, end - p) & 0x80) return tags;
    end = p + len;
    while (p < end) {
        if (ASN1_get_object(&p, &len, &tag, &cls, end - p) & 0x80) return {-1};
        tags.push_back(cls == V_ASN1_CONTEXT_SPECIFIC ? 0x80 | tag : tag);
        p += len;
    }
    return tags;
}

Owned<X509_REQ> ParseReq(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return Owned<X509_REQ>(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

std::vector<int> SubjectNids(X509_REQ* req) {
    std::vector<int> nids;
    X509_NAME* n = X509_REQ_get_subject_name(req);
    for (int i = 0; i < X509_NAME_entry_count(n); ++i)
        nids.push_back(OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(n, i))));
    return nids;
}

// A software delegate: the builder's own behaviour, away from any token.
class SoftDelegate final : public kc::CsrDelegate {
public:
    EVP_PKEY* GetEvpKey() override {
        if (!m_key) return nullptr;
        EVP_PKEY_up_ref(m_key.get());
        return m_key.get();
    }
    std::string Sign(const std::string& data) override {
        ++m_signed;
        if (!m_key || m_refuse) return std::string();
        Owned<EVP_MD_CTX> m(EVP_MD_CTX_new());
        size_t len = 0;
        std::string sig(512, '\0');
        len = sig.size();
        EVP_PKEY* signer = m_signWith ? m_signWith.get() : m_key.get();
        if (EVP_DigestSignInit(m.get(), nullptr, EVP_sha1(), nullptr, signer) != 1 ||
            EVP_DigestSign(m.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
            return std::string();
        sig.resize(len);
        return sig;
    }
    Owned<EVP_PKEY> m_key{EVP_RSA_gen(1024)};
    Owned<EVP_PKEY> m_signWith;  // a key other than m_key, when set
    bool m_refuse = false;
    int m_signed = 0;
};

TEST(CsrBuilder, SubjectInFixedOrderAndNoAttributesElement) {
    SoftDelegate d;
    kc::Csr all("Alice", "Org", "Unit", "CN", "a@example.com", "State", "Town", HASH_SHA256);
    all.SetDelegate(&d);
    std::string der = all.GenCsr();
    Owned<X509_REQ> req = ParseReq(der);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(SubjectNids(req.get()),
              (std::vector<int>{NID_commonName, NID_countryName, NID_organizationName, NID_organizationalUnitName,
                                NID_pkcs9_emailAddress, NID_stateOrProvinceName, NID_localityName}));
    EXPECT_EQ(InfoTags(der), (std::vector<int>{V_ASN1_INTEGER, V_ASN1_SEQUENCE, V_ASN1_SEQUENCE}));
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_EQ(X509_REQ_verify(req.get(), d.m_key.get()), 1);
    const X509_ALGOR* alg = nullptr;
    X509_REQ_get0_signature(req.get(), nullptr, &alg);
    const ASN1_OBJECT* oid = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(&oid, &ptype, nullptr, alg);
    EXPECT_EQ(OBJ_obj2nid(oid), NID_sha1WithRSAEncryption);
    EXPECT_EQ(ptype, V_ASN1_NULL);  // explicit NULL parameter

    kc::Csr cnOnly("Bob", "", "", "", "", "", "", HASH_SHA1);
    cnOnly.SetDelegate(&d);
    der = cnOnly.GenCsr();
    req = ParseReq(der);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(SubjectNids(req.get()), std::vector<int>{NID_commonName});
    EXPECT_EQ(InfoTags(der), (std::vector<int>{V_ASN1_INTEGER, V_ASN1_SEQUENCE, V_ASN1_SEQUENCE}));
}

TEST(CsrBuilder, EmptyWhenTheRequestCannotBeSignedOrDoesNotVerify) {
    kc::Csr csr("Alice", "", "", "", "", "", "", HASH_SHA256);
    EXPECT_EQ(csr.GenCsr(), "");  // no delegate

    SoftDelegate refusing;
    refusing.m_refuse = true;
    csr.SetDelegate(&refusing);
    EXPECT_EQ(csr.GenCsr(), "");
    EXPECT_EQ(refusing.m_signed, 1);

    SoftDelegate keyless;
    keyless.m_key.reset();
    csr.SetDelegate(&keyless);
    EXPECT_EQ(csr.GenCsr(), "");

    SoftDelegate mismatched;
    mismatched.m_signWith.reset(EVP_RSA_gen(1024));
    csr.SetDelegate(&mismatched);
    EXPECT_EQ(csr.GenCsr(), "");
    EXPECT_EQ(mismatched.m_signed, 1);

    // md5WithRSAEncryption named over a SHA-1 signature fails its own check.
    SoftDelegate sha1;
    kc::Csr md5("Alice", "", "", "", "", "", "", HASH_MD5);
    md5.SetDelegate(&sha1);
    EXPECT_EQ(md5.GenCsr(), "");
    EXPECT_EQ(sha1.m_signed, 1);
}

using ForwardedEnrolTest = TokenTest;

TEST_P(ForwardedEnrolTest, GenKeyPairMakesTwoObjectsWithTheSameLetterIdAndSubject) {
    Open();
    p11::Key key(&m_dll, m_session, 0, 0);
    ASSERT_EQ(key.GenKeyPair(2048), CKR_OK);
    ASSERT_NE(key.m_hPublicKey, 0u);
    ASSERT_NE(key.m_hPrivateKey, 0u);
    std::vector<std::string> pub = Attrs(key.m_hPublicKey, {CKA_ID, CKA_SUBJECT, CKA_MODULUS_BITS, CKA_TOKEN});
    std::vector<std::string> prv = Attrs(key.m_hPrivateKey, {CKA_ID, CKA_SUBJECT, CKA_TOKEN, CKA_SIGN});
    ASSERT_EQ(pub.size(), 4u);
    ASSERT_EQ(prv.size(), 4u);
    for (const std::string& v : {pub[0], pub[1]}) {
        EXPECT_EQ(v.size(), 32u);
        EXPECT_EQ(v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << v;
    }
    EXPECT_NE(pub[0], pub[1]);
    EXPECT_EQ(prv[0], pub[0]);
    EXPECT_EQ(prv[1], pub[1]);
    CK_ULONG bits = 0;
    memcpy(&bits, pub[2].data(), sizeof bits);
    EXPECT_EQ(bits, 2048u);
    EXPECT_EQ(pub[3], std::string(1, CK_TRUE));
    EXPECT_EQ(prv[2], std::string(1, CK_TRUE));

    std::string id, subject;
    ASSERT_EQ(key.GetSubjectAndId(id, subject), CKR_OK);
    EXPECT_EQ(id, pub[0]);
    EXPECT_EQ(subject, pub[1]);
    // The new key reads back as the public key the token holds.
    Owned<EVP_PKEY> evp(key.GetEvpKey());
    EXPECT_EQ(SpkiOf(evp.get()), SpkiOf(PublicOf(key.m_hPublicKey).get()));
    EXPECT_EQ(key.GetPubKeyFromePriv(), SpkiOf(evp.get()));
    EXPECT_EQ(key.GetPubKeyFromePrivFT(), "");  // a 256-byte modulus is no SM2 point
}

TEST_P(ForwardedEnrolTest, GenCsrGivesARequestOpensslAccepts) {
    Open();
    kc::Csr csr("Alice", "Org", "Unit", "CN", "a@example.com", "", "", HASH_SHA256);
    std::string der;
    ASSERT_EQ(m_slot->GenCsr(csr, *m_session, der, 2048), CKR_OK);
    ASSERT_FALSE(der.empty());
    EXPECT_EQ(csr.m_delegate, nullptr);
    EXPECT_EQ(InfoTags(der), (std::vector<int>{V_ASN1_INTEGER, V_ASN1_SEQUENCE, V_ASN1_SEQUENCE}));

    // The request carries the key pair just made on the token.
    std::vector<CK_OBJECT_HANDLE> pubs = Objects(CKO_PUBLIC_KEY);
    ASSERT_EQ(pubs.size(), 1u);
    Owned<X509_REQ> req = ParseReq(der);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(SpkiOf(X509_REQ_get0_pubkey(req.get())), SpkiOf(PublicOf(pubs[0]).get()));

    WriteFile(m_dir + "/req.der", der);
    ShellResult r = Shell("openssl req -inform DER -in " + m_dir + "/req.der -verify -noout -text");
    EXPECT_EQ(r.status, 0) << r.out;
    // openssl may exit 0 on a bad signature: its words are what count.
    EXPECT_TRUE(r.out.find("verify OK") != std::string::npos ||
                r.out.find("self-signature ok") != std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("fail"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Signature Algorithm: sha1WithRSAEncryption"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Subject: CN = Alice, C = CN, O = Org, OU = Unit, emailAddress = a@example.com"),
              std::string::npos) << r.out;

    // A request that names MD5 fails its own check: no request, yet CKR_OK
    // and the new pair stays on the token.
    kc::Csr md5("Bob", "", "", "", "", "", "", HASH_MD5);
    std::string none = "unchanged";
    ASSERT_EQ(m_slot->GenCsr(md5, *m_session, none, 2048), CKR_OK);
    EXPECT_EQ(none, "");
    EXPECT_EQ(Objects(CKO_PUBLIC_KEY).size(), 2u);
    EXPECT_EQ(Objects(CKO_PRIVATE_KEY).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Route, ForwardedEnrolTest, ::testing::Values(Route::Forward), RouteName);

// Without a login SoftHSM2 refuses to generate private keys; its status
// reaches the caller and no request is written.
using UnauthenticatedEnrolTest = TokenTest;

TEST_P(UnauthenticatedEnrolTest, KeyGenerationRefusalIsPassedOn) {
    Open();
    p11::Key key(&m_dll, m_session, 0, 0);
    EXPECT_EQ(key.GenKeyPair(2048), CKR_USER_NOT_LOGGED_IN);
    kc::Csr csr("Alice", "", "", "", "", "", "", HASH_SHA256);
    std::string out = "unchanged";
    EXPECT_EQ(m_slot->GenCsr(csr, *m_session, out, 2048), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(out, "unchanged");
    EXPECT_TRUE(Objects(CKO_PRIVATE_KEY).empty());
}

INSTANTIATE_TEST_SUITE_P(Route, UnauthenticatedEnrolTest, ::testing::Values(Route::Direct), RouteName);

using InstallTest = TokenTest;

// A certificate for key, issued by a test CA with the openssl command line.
std::string IssueWithCli(const std::string& dir, EVP_PKEY* key) {
    FILE* f = fopen((dir + "/pub.pem").c_str(), "w");
    if (f == nullptr) return std::string();
    PEM_write_PUBKEY(f, key);
    fclose(f);
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
    ShellResult r = Shell("cd " + dir + " && openssl req -x509" + ec + "-keyout ca.key -out ca.pem -subj '/CN=Test CA' -days 1" +
                  " && openssl req -new" + ec + "-keyout holder.key -subj '/CN=Holder' -out holder.csr" +
                  " && openssl x509 -req -in holder.csr -CA ca.pem -CAkey ca.key -set_serial 7" +
                  " -force_pubkey pub.pem -days 1 -outform DER -out cert.der");
    EXPECT_EQ(r.status, 0) << r.out;
    return ReadFile(dir + "/cert.der");
}

TEST_P(InstallTest, InstallsNextToItsKeyAndRefusesOthers) {
    Open();
    MakeRsa("decoy");
    KeyPair k = MakeRsa("holder");
    std::string cert = IssueWithCli(m_dir, PublicOf(k.pub).get());
    ASSERT_FALSE(cert.empty());

    Owned<EVP_PKEY> foreign(EVP_RSA_gen(1024));
    const struct {
        const char* what;
        std::string der;
    } refused[] = {
        {"foreign key", IssueWithCli(m_dir, foreign.get())},
        {"garbage", "not a certificate"},
        {"empty", ""},
        {"truncated", cert.substr(0, cert.size() / 2)},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(m_slot->InstallCert(*m_session, c.der), CKR_FUNCTION_FAILED) << c.what;
        EXPECT_TRUE(Objects(CKO_CERTIFICATE).empty()) << c.what;
    }

    ASSERT_EQ(m_slot->InstallCert(*m_session, cert), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> certs = Objects(CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 1u);
    std::vector<std::string> got = Attrs(certs[0], {CKA_ID, CKA_SUBJECT, CKA_LABEL, CKA_TOKEN, CKA_VALUE,
                                                    CKA_CERTIFICATE_TYPE});
    std::vector<std::string> key = Attrs(k.pub, {CKA_ID, CKA_SUBJECT});
    ASSERT_EQ(got.size(), 6u);
    ASSERT_EQ(key.size(), 2u);
    EXPECT_EQ(got[0], "holder");
    EXPECT_EQ(got[0], key[0]);
    EXPECT_EQ(got[1], key[1]);
    EXPECT_EQ(got[1], "subject of holder");
    EXPECT_EQ(got[2], "A certificate object");
    EXPECT_EQ(got[3], std::string(1, CK_TRUE));
    EXPECT_EQ(got[4], cert);
    CK_CERTIFICATE_TYPE type = ~0UL;
    memcpy(&type, got[5].data(), sizeof type);
    EXPECT_EQ(type, CKC_X_509);

    // Installed, the certificate finds its pair like any other.
    std::vector<p11::Cert*> listed;
    ASSERT_EQ(m_session->GetAllCert(listed), CKR_OK);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->GetKey(), CKR_OK);
    EXPECT_EQ(listed[0]->m_key->m_hPrivateKey, k.priv);
    for (p11::Cert* c : listed) delete c;
}

INSTANTIATE_TEST_SUITE_P(Route, InstallTest, ::testing::Values(Route::Direct, Route::Forward), RouteName);

}  // namespace
}  // namespace p11test
