// The registry and an SKF provider over the software token's demo token:
// opening (and refusing) libraries, listing with queries, selection,
// enrolment through a request and the import of the issued certificates.
#include "SMCertificate.h"
#include "SMProvider.h"
#include "SMProviderManager.h"
#include "core/base64.h"
#include "skf_fixture.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

using namespace skftest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDemoDev = "softskf0";
constexpr const char* kDemoApp = "VAULTLINE";
const std::string kSm2Holder = "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7";
const std::string kSelectError = "ERROR \xE9\x80\x89\xE6\x8B\xA9\xE8\xAF\x81\xE4\xB9\xA6\xE7\xB1\xBB\xE5\x9E\x8B\xE9\x94\x99\xE8\xAF\xAF";

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* f = ::popen(("(" + cmd + ") 2>&1").c_str(), "r");
    if (!f) return out;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
    ::pclose(f);
    return out;
}

// Upper-case hexadecimal serial as OpenSSL itself prints it.
std::string SerialHex(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x) return "";
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get_serialNumber(x.get()), nullptr);
    char* hex = BN_bn2hex(bn);
    std::string out(hex);
    OPENSSL_free(hex);
    BN_free(bn);
    return out;
}

Owned<EVP_PKEY> PubOfPemRequest(const std::string& pem) {
    Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<X509_REQ> req(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    if (!req) return nullptr;
    return Owned<EVP_PKEY>(X509_REQ_get_pubkey(req.get()));
}

class SkfProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vaultline-prov-skf-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        ::setenv("SOFTSKF_DIR", m_dir.c_str(), 1);
        ::unsetenv("SOFTSKF_DIALOG_PIN");
        CSKFProvider::SetLogPath(m_dir + "/log.txt");
        const std::string out = Shell(std::string("'") + SOFTSKF_TOOL + "' demo");
        ASSERT_NE(out.find("demo token ready"), std::string::npos) << out;
        m_store = std::make_unique<softskf::Store>(m_dir);
        m_sm2Cert = Str(m_store->Certificate(kDemoDev, kDemoApp, "SM2Demo", KeyUsage::Sign));
        m_rsaCert = Str(m_store->Certificate(kDemoDev, kDemoApp, "RSADemo", KeyUsage::Sign));
    }
    void TearDown() override {
        m_reg.clearProviders();
        CSKFProvider::SetLogPath(CSKFProvider::kDefaultLogPath);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        ::unsetenv("SOFTSKF_DIR");
    }

    SMProvider* Open() {
        std::string name = SKF_LIB;
        SMProvider* p = nullptr;
        EXPECT_EQ(m_reg.obtainProvider(name, 3, &p), 0);
        return p;
    }

    int ListAll(SMProvider* p, certlist& names) {
        certificate_info_t all;
        return p->enumerateCerts(all, names);
    }

    std::vector<std::string> Containers() { return m_store->ListContainers(kDemoDev, kDemoApp); }

    SMProviderManager m_reg;
    std::string m_dir;
    std::unique_ptr<softskf::Store> m_store;
    std::string m_sm2Cert, m_rsaCert;
};

TEST(LibraryPath, BareNamesLiveInTheInstallDirectory) {
    EXPECT_EQ(ResolveLibraryPath("libvendor.so"), "/opt/vaultlineservice.kq/libvendor.so");
    EXPECT_EQ(ResolveLibraryPath("./libvendor.so"), "./libvendor.so");
    EXPECT_EQ(ResolveLibraryPath("/usr/lib/libvendor.so"), "/usr/lib/libvendor.so");
    EXPECT_EQ(ResolveLibraryPath(std::string(2000, 'x')).size(), 1023u);
}

TEST_F(SkfProviderTest, RegistryOpensOnceRefusesUntrustedAndRetries) {
    std::string name = SKF_LIB;
    SMProvider *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(m_reg.obtainProvider(name, 3, &a), 0);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->isValid());
    EXPECT_EQ(a->name(), SKF_LIB);
    EXPECT_EQ(m_reg.obtainProvider(name, 3, &b), 6);
    EXPECT_EQ(b, a);
    EXPECT_EQ(m_reg.obtainProvider(name, 4, &c), 6);  // the type asked for later is not compared
    EXPECT_EQ(c, a);

    // A copy of the same library: missing first, then in a directory others
    // may write to, then in a proper one.
    const std::string dir = m_dir + "/libs";
    fs::create_directory(dir);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    std::string copy = dir + "/libsoftskf.so";
    SMProvider* d = nullptr;
    EXPECT_EQ(m_reg.obtainProvider(copy, 3, &d), 2);
    fs::copy_file(SKF_LIB, copy);
    ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    EXPECT_EQ(m_reg.obtainProvider(copy, 3, &d), 2);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(::dlopen(copy.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);  // refused before any of its code ran
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(copy.c_str(), 65534, 0), 0);
    EXPECT_EQ(m_reg.obtainProvider(copy, 3, &d), 2);
    ASSERT_EQ(::chown(copy.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
    EXPECT_EQ(m_reg.obtainProvider(copy, 3, &d), 0);
    EXPECT_NE(d, nullptr);
    EXPECT_NE(d, a);
    void* loaded = ::dlopen(copy.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_NE(loaded, nullptr);
    if (loaded != nullptr) ::dlclose(loaded);  // drops only the reference taken here

    std::string unknownType = SKF_LIB + std::string("/../") + fs::path(SKF_LIB).filename().string();
    EXPECT_EQ(m_reg.obtainProvider(unknownType, 5, &d), 2);

    EXPECT_EQ(m_reg.clearProviders(), 0);
    EXPECT_TRUE(m_reg.m_smps.empty());
    EXPECT_EQ(m_reg.clearProviders(), 0);
    EXPECT_EQ(m_reg.obtainProvider(name, 3, &b), 0);

    EXPECT_NE(SMProviderManager::shareInstance(), nullptr);
    EXPECT_EQ(SMProviderManager::shareInstance(), SMProviderManager::shareInstance());
}

// The page names the library: a name that does not open must leave nothing in
// the registry, or a page cycling through names grows it without bound.
TEST_F(SkfProviderTest, RefusedNamesLeaveNoRegistryEntry) {
    SMProvider* p = nullptr;
    for (int i = 0; i < 200; ++i) {
        std::string missing = m_dir + "/missing-" + std::to_string(i) + ".so";
        EXPECT_EQ(m_reg.obtainProvider(missing, i % 2 ? 3 : 4, &p), 2);
        EXPECT_EQ(p, nullptr);
    }
    std::string badType = SKF_LIB;
    EXPECT_EQ(m_reg.obtainProvider(badType, 5, &p), 2);
    EXPECT_TRUE(m_reg.m_smps.empty());

    // Refused once, the same name still opens later and is then found.
    std::string name = SKF_LIB;
    ASSERT_EQ(m_reg.obtainProvider(name, 3, &p), 0);
    SMProvider* again = nullptr;
    EXPECT_EQ(m_reg.obtainProvider(name, 3, &again), 6);
    EXPECT_EQ(again, p);
    ASSERT_EQ(m_reg.m_smps.size(), 1u);
    EXPECT_EQ(m_reg.m_smps.begin()->second, p);
}

TEST_F(SkfProviderTest, EnumerationQueriesAndPublishedList) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    const std::string sm2 = Base64::encode64(m_sm2Cert), rsa = Base64::encode64(m_rsaCert);
    std::string serial = SerialHex(m_rsaCert);
    std::transform(serial.begin(), serial.end(), serial.begin(), ::tolower);

    struct Case {
        const char* what;
        std::string certificate_info_t::*field;
        std::string value;
        certlist names;
        std::vector<std::string> pub;
    } cases[] = {
        {"all", nullptr, "", {kSm2Holder, "Vaultline Demo User"}, {sm2, rsa}},
        {"CN ignoring case", &certificate_info_t::CN, "vaultline demo USER", {"Vaultline Demo User"}, {rsa}},
        {"CN prefix", &certificate_info_t::CN, "Vaultline Demo", {}, {}},
        {"OU", &certificate_info_t::OU, "sm2 signing", {kSm2Holder}, {sm2}},
        {"e-mail", &certificate_info_t::E, "DEMO@vaultline.example", {"Vaultline Demo User"}, {rsa}},
        {"serial, lower case with zeros", &certificate_info_t::sn, "00" + serial, {"Vaultline Demo User"}, {rsa}},
        {"subject", &certificate_info_t::subject, "Vaultline Demo User", {}, {}},
    };
    for (const Case& c : cases) {
        certificate_info_t q;
        if (c.field != nullptr) q.*c.field = c.value;
        certlist names{"stale"};
        my_publist.assign(3, "stale");
        EXPECT_EQ(p->enumerateCerts(q, names), 0) << c.what;
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(p->m_certlist, c.names) << c.what;
        EXPECT_EQ(p->m_certvec.size(), c.names.size()) << c.what;
        EXPECT_EQ(my_publist, c.pub) << c.what;
    }

    // A container with only an encryption certificate is never listed; its
    // missing signing certificate is no failure of the listing, even as the
    // last container.
    m_store->CreateContainer(kDemoDev, kDemoApp, "EncOnly");
    Owned<EVP_PKEY> enc = PubFromDer(Str(m_store->GenerateKeyPair(kDemoDev, kDemoApp, "EncOnly", KeyUsage::Encrypt,
                                                                    softskf::crypto::KeyAlg::SM2)));
    m_store->ImportCertificate(kDemoDev, kDemoApp, "EncOnly", KeyUsage::Encrypt, ToBytes(MakeCert(enc.get(), "enc")));
    certificate_info_t all;
    certlist names;
    EXPECT_EQ(p->enumerateCerts(all, names), 0);
    EXPECT_EQ(names, cases[0].names);
    EXPECT_EQ(my_publist, cases[0].pub);
}

TEST_F(SkfProviderTest, SelectionByPositionFromOne) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    SMCertificate* sc = nullptr;
    EXPECT_EQ(p->selectCert(3, 1, &sc), -2);  // nothing listed yet

    certlist names;
    ASSERT_EQ(ListAll(p, names), 0);
    ASSERT_EQ(names.size(), 2u);
    const unsigned long generation = p->generation();
    for (int index : {1, 2}) {
        sc = nullptr;
        ASSERT_EQ(p->selectCert(3, index, &sc), 0) << index;
        ASSERT_NE(sc, nullptr);
        certificate_info_t info;
        ASSERT_EQ(sc->getCertInfo(info), 1);
        EXPECT_EQ(info.PUB, Base64::encode64(index == 1 ? m_sm2Cert : m_rsaCert)) << index;
    }
    // Outside the list: the diagnostic line, then a plain failure.
    for (int index : {0, 3, -1, 1000}) {
        sc = nullptr;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(p->selectCert(3, index, &sc), -2) << index;
        EXPECT_NE(::testing::internal::GetCapturedStdout().find(kSelectError), std::string::npos) << index;
        EXPECT_EQ(sc, nullptr);
    }
    ASSERT_EQ(ListAll(p, names), 0);
    EXPECT_NE(p->generation(), generation);  // earlier selections are stale now
}

// The provider's certificates share one binding. A certificate selected
// again after another one was used, or after an enrolment moved the binding
// to a new container, must still read and sign with its own container; and a
// key pair still waiting for its certificate does not fail the listing.
TEST_F(SkfProviderTest, CertificatesKeepTheirOwnContainer) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    certlist names;
    ASSERT_EQ(ListAll(p, names), 0);
    SMCertificate* sm2 = nullptr;
    SMCertificate* rsa = nullptr;
    ASSERT_EQ(p->selectCert(3, 1, &sm2), 0);
    ASSERT_EQ(p->selectCert(3, 2, &rsa), 0);
    auto pubOf = [](SMCertificate* c) {
        certificate_info_t info;
        EXPECT_EQ(c->getCertInfo(info), 1);
        return info.PUB;
    };
    auto signs = [](SMCertificate* c, int flags) {
        std::string msg = "own container";
        std::string sig;
        if (c->sign(msg, flags, sig) != 0) return false;
        return c->verify(sig, flags, msg) == 0;
    };
    const std::string sm2Pub = Base64::encode64(m_sm2Cert);
    const std::string rsaPub = Base64::encode64(m_rsaCert);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(pubOf(sm2), sm2Pub) << round;
        EXPECT_EQ(pubOf(rsa), rsaPub) << round;
        EXPECT_TRUE(signs(sm2, 0x15)) << round;  // SM3
        EXPECT_TRUE(signs(rsa, 0x16)) << round;  // SHA-256
        EXPECT_TRUE(signs(sm2, 0x15)) << round;
    }

    csr_t csr{};
    csr.CN = "waiting for its certificate";
    csr.O = "Vaultline";
    csr.C = "CN";
    csr.hash = HASH_SM3;
    std::string pem;
    ASSERT_EQ(p->genCSR(csr, pem), 0);
    EXPECT_EQ(pubOf(sm2), sm2Pub);
    EXPECT_TRUE(signs(sm2, 0x15));

    ASSERT_EQ(ListAll(p, names), 0);
    EXPECT_EQ(names.size(), 2u);
}

TEST_F(SkfProviderTest, ResetReturnsToTheContainerOpenedFirst) {
    // An SM2 container after the demo's RSA one, where enumeration ends.
    m_store->CreateContainer(kDemoDev, kDemoApp, "Later");
    Owned<EVP_PKEY> later = PubFromDer(
        Str(m_store->GenerateKeyPair(kDemoDev, kDemoApp, "Later", KeyUsage::Sign, softskf::crypto::KeyAlg::SM2)));
    m_store->ImportCertificate(kDemoDev, kDemoApp, "Later", KeyUsage::Sign, ToBytes(MakeCert(later.get(), "later")));

    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    std::string first;
    ASSERT_EQ(p->m_skfProv->ExportCert(first, true), 0u);
    certlist names;
    ASSERT_EQ(ListAll(p, names), 0);
    std::string last;
    ASSERT_EQ(p->m_skfProv->ExportCert(last, true), 0u);
    ASSERT_NE(last, first);  // enumeration left the binding elsewhere
    p->reset();
    std::string again;
    ASSERT_EQ(p->m_skfProv->ExportCert(again, true), 0u);
    EXPECT_EQ(again, first);
    EXPECT_EQ(p->m_certlist, names);  // the list survives a reset
}

TEST_F(SkfProviderTest, RequestThenImportTheIssuedCertificate) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    struct Case {
        hash_algo_t hash;
        bool sm2;
        const char* cn;
    } cases[] = {{HASH_SM3, true, "sm2 enrolled"}, {HASH_SHA256, false, "rsa enrolled"}};
    for (const Case& c : cases) {
        csr_t csr{};
        csr.CN = c.cn;
        csr.O = "Vaultline";
        csr.C = "CN";
        csr.keySize = 1024;
        csr.hash = c.hash;
        const size_t containersBefore = Containers().size();
        std::string pem;
        ASSERT_EQ(p->genCSR(csr, pem), 0) << c.cn;
        EXPECT_EQ(Containers().size(), containersBefore + 1) << c.cn;
        ASSERT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u) << pem;
        const std::string path = m_dir + "/req.pem";
        std::ofstream(path) << pem << "\n";
        std::string cmd = "openssl req -in '" + path + "' -verify -noout";
        if (c.sm2) cmd += " -vfyopt distid:1234567812345678";
        EXPECT_NE(Shell(cmd).find("self-signature verify OK"), std::string::npos) << c.cn;

        Owned<EVP_PKEY> key = PubOfPemRequest(pem);
        ASSERT_TRUE(key) << c.cn;
        std::string issued = Base64::encode64(MakeCert(key.get(), c.cn));
        ASSERT_EQ(p->importCert(issued, 0), 0) << c.cn;

        certlist names;
        ASSERT_EQ(ListAll(p, names), 0);
        EXPECT_NE(std::find(names.begin(), names.end(), c.cn), names.end()) << c.cn;
        EXPECT_NE(std::find(my_publist.begin(), my_publist.end(), issued), my_publist.end()) << c.cn;
    }
}

TEST_F(SkfProviderTest, EncryptionCertificateWithItsWrappedKeyPair) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    csr_t csr{};
    csr.CN = "signer";
    csr.hash = HASH_SM3;
    const std::vector<std::string> before = Containers();
    std::string pem;
    ASSERT_EQ(p->genCSR(csr, pem), 0);
    const std::vector<std::string> after = Containers();
    std::string created;
    for (const std::string& c : after)
        if (std::find(before.begin(), before.end(), c) == before.end()) created = c;
    ASSERT_FALSE(created.empty());

    Owned<EVP_PKEY> signPub = PubOfPemRequest(pem);
    ASSERT_TRUE(signPub);
    std::string signCert = Base64::encode64(MakeCert(signPub.get(), "signer"));
    ASSERT_EQ(p->importCert(signCert, 0), 0);

    Owned<EVP_PKEY> enc = NewKey(true);
    const std::string encCert = MakeCert(enc.get(), "exchange");
    const Wrapped w = WrapForContainer(signPub.get(), enc.get());
    std::string three =
        Base64::encode64(encCert) + " " + Base64::encode64(w.key) + " " + Base64::encode64(w.prikey) + " ignored";
    ASSERT_EQ(p->importCert(three, 0), 0);
    EXPECT_EQ(Str(m_store->Certificate(kDemoDev, kDemoApp, created, KeyUsage::Encrypt)), encCert);

    certlist names;
    ASSERT_EQ(ListAll(p, names), 0);
    EXPECT_NE(std::find(names.begin(), names.end(), "signer"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "exchange"), names.end());
}

TEST_F(SkfProviderTest, RefusedImportsExportAndDelete) {
    SMProvider* p = Open();
    ASSERT_NE(p, nullptr);
    Owned<EVP_PKEY> stranger = NewKey(true);
    const std::string foreign = Base64::encode64(MakeCert(stranger.get(), "stranger"));
    const std::string before = Str(m_store->Certificate(kDemoDev, kDemoApp, "SM2Demo", KeyUsage::Sign));
    struct Case {
        const char* what;
        std::string response;
        bool minusTwo;
    } cases[] = {
        {"two pieces", foreign + " " + foreign, true},
        {"empty", "", true},
        {"not Base64", "!!!!", true},
        {"key not in the container", foreign, false},
    };
    for (const Case& c : cases) {
        std::string r = c.response;
        int rv = 0;
        EXPECT_NO_THROW(rv = p->importCert(r, 0)) << c.what;
        if (c.minusTwo)
            EXPECT_EQ(rv, -2) << c.what;
        else
            EXPECT_NE(rv, 0) << c.what;
    }
    EXPECT_EQ(Str(m_store->Certificate(kDemoDev, kDemoApp, "SM2Demo", KeyUsage::Sign)), before);

    certlist names;
    ASSERT_EQ(ListAll(p, names), 0);
    std::string out = "untouched";
    EXPECT_EQ(p->exportCert(0, out, ""), -1);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(p->deleteCert(0), -1);
    EXPECT_EQ(names.size(), 2u);
}

}  // namespace
