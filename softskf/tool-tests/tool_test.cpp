// Runs the softskf program as a user does, each test with its own store
// directory, and checks what it leaves behind through the store, OpenSSL and
// (for the PIN) the SKF library the service loads.
#include "skf_lib.h"
#include "store.h"
#include "test_crypto.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using softskf::KeyUsage;

const char kSm2Id[] = "1234567812345678";
const char kApp[] = "VAULTLINE";
// Written out here rather than taken from the tool: the service presents
// exactly this PIN, so the test must fail if the tool's constant drifts.
const char kServicePin[] = "brovik_telmaz";
const char kSm2Holder[] = "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7";  // 测试用户

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

CertPtr ParseCert(const softskf::Bytes& der) {
  const unsigned char* p = der.data();
  return CertPtr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

KeyPtr ParsePublicKey(const softskf::Bytes& spki) {
  const unsigned char* p = spki.data();
  return KeyPtr(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

std::string ToPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  return pem;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "softskf-tool-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_tmp = tmpl;
    m_store = m_tmp + "/store";
  }
  void TearDown() override { fs::remove_all(m_tmp); }

  // Runs program (a path, or a name looked up in PATH) with SOFTSKF_DIR set
  // to this test's store; stdout and stderr are kept apart.
  Result RunProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("SOFTSKF_DIR=", 0) != 0) env.push_back(*e);
    }
    env.push_back("SOFTSKF_DIR=" + m_store);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string outPath = m_tmp + "/stdout", errPath = m_tmp + "/stderr";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Result r;
    if (posix_spawnp(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) {
      posix_spawn_file_actions_destroy(&fa);
      r.err = "cannot start " + program;
      return r;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(outPath);
    r.err = Slurp(errPath);
    return r;
  }

  Result Tool(const std::vector<std::string>& args) { return RunProgram(SOFTSKF_TOOL, args); }

  // Runs the tool and fails the test, with its stderr, unless it succeeded.
  std::string ToolOk(const std::vector<std::string>& args) {
    const Result r = Tool(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    return r.out;
  }

  softskf::Store Store() const { return softskf::Store(m_store); }
  std::string Device() const { return Store().ListDevices().at(0); }

  // The certificate of that usage in a container as a PEM file for openssl.
  std::string CertFile(const std::string& app, const std::string& cont, KeyUsage usage) {
    CertPtr cert = ParseCert(Store().Certificate(Device(), app, cont, usage));
    const std::string path = m_tmp + "/" + cont + (usage == KeyUsage::Sign ? "-sign" : "-enc") + ".pem";
    Spit(path, cert ? ToPem(cert.get()) : "");
    return path;
  }

  std::string m_tmp;
  std::string m_store;
};

struct DemoCert {
  const char* container;
  KeyUsage usage;
  bool sm2;
  const char* ou;
};

const DemoCert kDemoCerts[] = {
    {"SM2Demo", KeyUsage::Sign, true, "SM2 Signing"},
    {"SM2Demo", KeyUsage::Encrypt, true, "SM2 Encryption"},
    {"RSADemo", KeyUsage::Sign, false, "RSA Signing"},
};

// The lines of `softskf list` that describe one container: its own line and
// the key lines under it.
std::string ContainerBlock(const std::string& listing, const std::string& name) {
  const size_t start = listing.find("    container " + name + " ");
  if (start == std::string::npos) return "";
  const size_t end = listing.find("    container ", start + 1);
  return listing.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST_F(ToolTest, DemoThenListShowsBothContainersWithTheirCertificates) {
  ToolOk({"demo"});
  const std::string listing = ToolOk({"list"});
  EXPECT_NE(listing.find("store " + m_store + "\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("  application VAULTLINE "), std::string::npos) << listing;

  const std::string sm2 = ContainerBlock(listing, "SM2Demo");
  const std::string rsa = ContainerBlock(listing, "RSADemo");
  EXPECT_NE(sm2.find("type=sm2\n"), std::string::npos) << listing;
  EXPECT_NE(rsa.find("type=rsa\n"), std::string::npos) << listing;
  EXPECT_EQ(rsa.find("encryption"), std::string::npos) << "the RSA container has a signing pair only";

  // Every certificate line names the key type, the subject and the serial
  // number of the certificate actually stored.
  for (const DemoCert& d : kDemoCerts) {
    SCOPED_TRACE(std::string(d.container) + " " + d.ou);
    CertPtr cert = ParseCert(Store().Certificate(Device(), kApp, d.container, d.usage));
    ASSERT_TRUE(cert);
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr);
    char* hex = BN_bn2hex(bn);
    const std::string serial = hex;
    OPENSSL_free(hex);
    BN_free(bn);
    const std::string cn = d.sm2 ? std::string(kSm2Holder) : "Vaultline Demo User";
    const std::string expected = std::string("      ") +
                                 (d.usage == KeyUsage::Sign ? "signing" : "encryption") +
                                 " key=" + (d.sm2 ? "sm2" : "rsa") +
                                 " subject=\"C=CN, O=Vaultline Demo, OU=" + d.ou + ", CN=" + cn +
                                 (d.sm2 ? "" : ", emailAddress=demo@vaultline.example") +
                                 "\" serial=" + serial + "\n";
    EXPECT_NE((d.sm2 ? sm2 : rsa).find(expected), std::string::npos) << expected << "in\n" << listing;
  }
}

TEST_F(ToolTest, DemoCertificatesAreWellFormedAndVerifyAgainstTheDemoCa) {
  ToolOk({"demo"});
  ToolOk({"export-ca", m_tmp + "/ca"});
  const std::string sm2Ca = m_tmp + "/ca/sm2-ca.pem", rsaCa = m_tmp + "/ca/rsa-ca.pem";
  const std::string distid = std::string("distid:") + kSm2Id;

  for (const DemoCert& d : kDemoCerts) {
    SCOPED_TRACE(std::string(d.container) + " " + d.ou);
    const std::string file = CertFile(kApp, d.container, d.usage);
    if (d.sm2) {
      const Result ok = RunProgram("openssl", {"verify", "-vfyopt", distid, "-CAfile", sm2Ca, file});
      EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
      EXPECT_EQ(ok.out, file + ": OK\n");
      // Without the identifier OpenSSL's default (empty) one is used: the
      // signature must then fail, or the CA did not sign with 1234567812345678.
      const Result noId = RunProgram("openssl", {"verify", "-CAfile", sm2Ca, file});
      EXPECT_NE(noId.status, 0) << noId.out;
      // Issued by the SM2 CA only.
      EXPECT_NE(RunProgram("openssl", {"verify", "-CAfile", rsaCa, file}).status, 0);
    } else {
      const Result ok = RunProgram("openssl", {"verify", "-CAfile", rsaCa, file});
      EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
      EXPECT_EQ(ok.out, file + ": OK\n");
      EXPECT_NE(RunProgram("openssl", {"verify", "-vfyopt", distid, "-CAfile", sm2Ca, file}).status, 0);
    }

    CertPtr cert = ParseCert(Store().Certificate(Device(), kApp, d.container, d.usage));
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_get_version(cert.get()), X509_VERSION_3);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
    EXPECT_EQ(ASN1_STRING_length(serial), 16);
    EXPECT_EQ(ASN1_STRING_type(serial), V_ASN1_INTEGER) << "serial must be positive";
    EXPECT_EQ(X509_get_signature_nid(cert.get()),
              d.sm2 ? NID_SM2_with_SM3 : NID_sha256WithRSAEncryption);

    const uint32_t expectedUsage = d.usage == KeyUsage::Sign
                                       ? (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)
                                       : (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT);
    EXPECT_EQ(X509_get_key_usage(cert.get()), expectedUsage);
    EXPECT_EQ(X509_get_extension_flags(cert.get()) & EXFLAG_CA, 0u);

    int days = 0, secs = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(cert.get()),
                             X509_get0_notAfter(cert.get())), 1);
    EXPECT_GE(days, 3652);  // ten years, leap days included
    EXPECT_LE(days, 3653);
    EXPECT_GE(X509_cmp_current_time(X509_get0_notAfter(cert.get())), 0);
    EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(cert.get())), 0);

    // The certificate certifies the container's own key of that usage.
    KeyPtr key = ParsePublicKey(Store().PublicKey(Device(), kApp, d.container, d.usage));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()), 1);
    EXPECT_EQ(EVP_PKEY_is_a(key.get(), d.sm2 ? "SM2" : "RSA"), 1);
    if (!d.sm2) {
      EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
    }
  }
}

TEST_F(ToolTest, DemoAgainKeepsTheKeysAndForceRenewsThem) {
  ToolOk({"demo"});
  auto snapshot = [&] {
    std::vector<softskf::Bytes> s;
    for (const DemoCert& d : kDemoCerts) {
      s.push_back(Store().PublicKey(Device(), kApp, d.container, d.usage));
      s.push_back(Store().Certificate(Device(), kApp, d.container, d.usage));
    }
    return s;
  };
  const auto first = snapshot();
  const std::string caBefore = Slurp(m_store + "/demo-ca/sm2-ca.pem") + Slurp(m_store + "/demo-ca/rsa-ca.pem");

  EXPECT_NE(ToolOk({"demo"}).find("already complete"), std::string::npos);
  EXPECT_EQ(snapshot(), first);

  ToolOk({"demo", "--force"});
  const auto renewed = snapshot();
  ASSERT_EQ(renewed.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_NE(renewed[i], first[i]) << "item " << i << " (key, certificate, ...) was not renewed";
  }
  // The CAs stay, so renewed certificates still chain to the exported ones.
  EXPECT_EQ(Slurp(m_store + "/demo-ca/sm2-ca.pem") + Slurp(m_store + "/demo-ca/rsa-ca.pem"), caBefore);
  const Result v = RunProgram("openssl", {"verify", "-CAfile", m_store + "/demo-ca/rsa-ca.pem",
                                          CertFile(kApp, "RSADemo", KeyUsage::Sign)});
  EXPECT_EQ(v.status, 0) << v.out << v.err;
}

// A partly built demo token is completed, not rebuilt; one the service could
// not use is refused until --force rebuilds it.
TEST_F(ToolTest, DemoCompletesWhatIsMissingAndRefusesWhatTheServiceCannotUse) {
  ToolOk({"demo"});
  const softskf::Bytes sm2Cert = Store().Certificate(Device(), kApp, "SM2Demo", KeyUsage::Sign);
  ToolOk({"keygen", kApp, "RSADemo", "rsa", "--force"});  // drops the RSA certificate
  const softskf::Bytes rsaKey = Store().PublicKey(Device(), kApp, "RSADemo", KeyUsage::Sign);
  EXPECT_NE(ToolOk({"demo"}).find("issued signing certificate for RSADemo"), std::string::npos);
  CertPtr rsaCert = ParseCert(Store().Certificate(Device(), kApp, "RSADemo", KeyUsage::Sign));
  ASSERT_TRUE(rsaCert);
  KeyPtr key = ParsePublicKey(rsaKey);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(rsaCert.get()), key.get()), 1);
  EXPECT_EQ(Store().Certificate(Device(), kApp, "SM2Demo", KeyUsage::Sign), sm2Cert);

  ToolOk({"app", "delete", kApp});
  ToolOk({"app", "create", kApp, "--pin", "12345678"});
  const Result otherPin = Tool({"demo"});
  EXPECT_NE(otherPin.status, 0);
  EXPECT_NE(otherPin.err.find("another user PIN"), std::string::npos) << otherPin.err;
  EXPECT_NE(otherPin.err.find("--force"), std::string::npos) << otherPin.err;

  ToolOk({"demo", "--force"});
  softskf::State s = Store().Read();
  EXPECT_EQ(s.GetApplication(Device(), kApp).userPin, kServicePin);
  EXPECT_EQ(Store().ListContainers(Device(), kApp), (std::vector<std::string>{"SM2Demo", "RSADemo"}));
}

// The PIN the service presents opens the demo application through the SKF
// library itself, with the retry counters the demo set.
TEST_F(ToolTest, ServicePinOpensTheDemoApplicationThroughTheSkfLibrary) {
  ToolOk({"demo"});
  void* lib = dlopen(SOFTSKF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using ULONG = uint32_t;
  using EnumDev = ULONG (*)(int, char*, ULONG*);
  using ConnectDev = ULONG (*)(char*, void**);
  using DisConnectDev = ULONG (*)(void*);
  using OpenApplication = ULONG (*)(void*, char*, void**);
  using CloseApplication = ULONG (*)(void*);
  using GetPINInfo = ULONG (*)(void*, ULONG, ULONG*, ULONG*, int*);
  using VerifyPIN = ULONG (*)(void*, ULONG, char*, ULONG*);
  auto enumDev = reinterpret_cast<EnumDev>(dlsym(lib, "SKF_EnumDev"));
  auto connect = reinterpret_cast<ConnectDev>(dlsym(lib, "SKF_ConnectDev"));
  auto disconnect = reinterpret_cast<DisConnectDev>(dlsym(lib, "SKF_DisConnectDev"));
  auto openApp = reinterpret_cast<OpenApplication>(dlsym(lib, "SKF_OpenApplication"));
  auto closeApp = reinterpret_cast<CloseApplication>(dlsym(lib, "SKF_CloseApplication"));
  auto pinInfo = reinterpret_cast<GetPINInfo>(dlsym(lib, "SKF_GetPINInfo"));
  auto verify = reinterpret_cast<VerifyPIN>(dlsym(lib, "SKF_VerifyPIN"));
  ASSERT_TRUE(enumDev && connect && disconnect && openApp && closeApp && pinInfo && verify);

  // The library reads SOFTSKF_DIR at each call, as in the service.
  setenv("SOFTSKF_DIR", m_store.c_str(), 1);
  char names[256] = {};
  ULONG size = sizeof names;
  ASSERT_EQ(enumDev(1, names, &size), 0u);
  void* dev = nullptr;
  ASSERT_EQ(connect(names, &dev), 0u);
  void* app = nullptr;
  std::string appName = kApp;
  ASSERT_EQ(openApp(dev, appName.data(), &app), 0u);

  ULONG maxRetries = 0, left = 0;
  int isDefault = -1;
  ASSERT_EQ(pinInfo(app, 1, &maxRetries, &left, &isDefault), 0u);
  EXPECT_EQ(maxRetries, 10u);
  EXPECT_EQ(left, 10u);

  std::string wrong = "brovik_telma";
  ULONG retry = 0;
  EXPECT_NE(verify(app, 1, wrong.data(), &retry), 0u);
  EXPECT_EQ(retry, 9u);
  std::string pin = kServicePin;
  EXPECT_EQ(verify(app, 1, pin.data(), &retry), 0u);

  closeApp(app);
  disconnect(dev);
  unsetenv("SOFTSKF_DIR");
  dlclose(lib);
}

// The run command's step: a demo token where there is none, left alone where
// there is one, and the store and library path told to the user.
TEST_F(ToolTest, RunCommandMakesTheDemoTokenOnlyWhenThereIsNone) {
  const std::string binDir = fs::path(SOFTSKF_TOOL).parent_path().string();
  const std::string library = fs::canonical(SOFTSKF_LIBRARY).string();
  fs::create_directories(m_store);  // an empty store directory counts as none

  const Result first = RunProgram("sh", {SOFTSKF_DEMO_SCRIPT, binDir});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("demo token ready"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Demo SKF token: " + m_store + " "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("SKF library to open: " + library + "\n"), std::string::npos) << first.out;
  const softskf::Bytes key = Store().PublicKey(Device(), kApp, "SM2Demo", KeyUsage::Sign);

  const Result again = RunProgram("sh", {SOFTSKF_DEMO_SCRIPT, binDir});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out.find("demo token"), std::string::npos) << "demo ran again:\n" << again.out;
  EXPECT_NE(again.out.find("SKF library to open: " + library + "\n"), std::string::npos);
  EXPECT_EQ(Store().PublicKey(Device(), kApp, "SM2Demo", KeyUsage::Sign), key);
}

TEST_F(ToolTest, StepByStepProvisioningKeepsPinsKeysAndCertificatesAsAsked) {
  ToolOk({"init", "--label", "Bench Token", "--serial", "SN-0042"});
  ToolOk({"app", "create", "BENCH", "--pin", "24680135", "--retries", "3"});
  {
    softskf::State s = Store().Read();
    const softskf::Application& a = s.GetApplication(Device(), "BENCH");
    EXPECT_EQ(s.devices.at(0).label, "Bench Token");
    EXPECT_EQ(s.devices.at(0).serial, "SN-0042");
    EXPECT_EQ(a.userPin, "24680135");
    EXPECT_EQ(a.userMaxRetries, 3u);
    EXPECT_EQ(a.userRetriesLeft, 3u);
  }
  ToolOk({"container", "create", "BENCH", "Signer"});
  ToolOk({"keygen", "BENCH", "Signer", "rsa", "--bits", "1024"});

  // Issuing needs the CA; its absence is reported, not papered over.
  const Result noCa = Tool({"issue", "BENCH", "Signer", "--cn", "Alice"});
  EXPECT_NE(noCa.status, 0);
  EXPECT_NE(noCa.err.find("ca init"), std::string::npos) << noCa.err;

  ToolOk({"ca", "init"});
  ToolOk({"issue", "BENCH", "Signer", "--cn", "Alice", "--o", "Bench", "--email", "alice@example.org"});
  const softskf::Bytes aliceCert = Store().Certificate(Device(), "BENCH", "Signer", KeyUsage::Sign);
  CertPtr alice = ParseCert(aliceCert);
  ASSERT_TRUE(alice);
  EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(alice.get())), 1024);
  EXPECT_NE(ToolOk({"list"}).find("subject=\"O=Bench, CN=Alice, emailAddress=alice@example.org\""),
            std::string::npos);

  // A new key drops the certificate of the old one, which the token then
  // refuses to take back; a certificate for the new key is accepted.
  const std::string oldCert = m_tmp + "/alice.der";
  Spit(oldCert, std::string(aliceCert.begin(), aliceCert.end()));
  ToolOk({"keygen", "BENCH", "Signer", "rsa", "--force"});
  EXPECT_NE(ToolOk({"list"}).find("signing key=rsa cert=none"), std::string::npos);
  const Result stale = Tool({"import-cert", "BENCH", "Signer", oldCert});
  EXPECT_NE(stale.status, 0);
  EXPECT_NE(stale.err.find("does not match"), std::string::npos) << stale.err;

  ToolOk({"issue", "BENCH", "Signer", "--cn", "Alice"});
  const std::string fresh = CertFile("BENCH", "Signer", KeyUsage::Sign);  // PEM is accepted too
  ToolOk({"container", "create", "BENCH", "Copy"});
  ToolOk({"import-cert", "BENCH", "Copy", fresh});
  EXPECT_EQ(Store().Certificate(Device(), "BENCH", "Copy", KeyUsage::Sign),
            Store().Certificate(Device(), "BENCH", "Signer", KeyUsage::Sign));

  ToolOk({"container", "delete", "BENCH", "Signer"});
  EXPECT_EQ(Store().ListContainers(Device(), "BENCH"), std::vector<std::string>{"Copy"});
  ToolOk({"app", "delete", "BENCH"});
  EXPECT_TRUE(Store().ListApplications(Device()).empty());
}

// The dialog PIN is set, replaced and removed as asked; the listing tells
// whether there is one and never shows it.
TEST_F(ToolTest, DialogPinIsSetShownAsPresentOnlyAndRemoved) {
  const std::string pin = "user-pin-Q", other = "dialog-pin-Z";
  ToolOk({"init"});
  const std::string made = ToolOk({"app", "create", "BENCH", "--pin", pin, "--dialog-pin", pin});
  EXPECT_EQ(made.find("note:"), std::string::npos) << made;
  ToolOk({"app", "create", "PLAIN", "--pin", pin});
  auto dialogOf = [&](const std::string& app) { return Store().Read().GetApplication(Device(), app).dialogPin; };
  EXPECT_EQ(dialogOf("BENCH"), pin);
  EXPECT_EQ(dialogOf("PLAIN"), "");
  std::string listing = ToolOk({"list"});
  EXPECT_NE(listing.find("  application BENCH user-pin-retries=10/10 admin-pin-retries=10/10 dialog-pin=set\n"),
            std::string::npos) << listing;
  EXPECT_NE(listing.find("  application PLAIN user-pin-retries=10/10 admin-pin-retries=10/10 dialog-pin=none\n"),
            std::string::npos) << listing;
  EXPECT_EQ(listing.find(pin), std::string::npos) << "list shows a PIN";

  // Another PIN than the user PIN is allowed, and the tool says what it costs.
  const std::string replaced = ToolOk({"app", "dialog", "BENCH", other});
  EXPECT_NE(replaced.find("costs a user PIN retry"), std::string::npos) << replaced;
  EXPECT_EQ(dialogOf("BENCH"), other);
  EXPECT_EQ(ToolOk({"list"}).find(other), std::string::npos) << "list shows a PIN";

  ToolOk({"app", "dialog", "BENCH", "--off"});
  EXPECT_EQ(dialogOf("BENCH"), "");
  listing = ToolOk({"list"});
  EXPECT_NE(listing.find("  application BENCH user-pin-retries=10/10 admin-pin-retries=10/10 dialog-pin=none\n"),
            std::string::npos) << listing;
  ToolOk({"app", "dialog", "PLAIN", pin});
  EXPECT_EQ(dialogOf("PLAIN"), pin);
  EXPECT_EQ(dialogOf("BENCH"), "");
}

// What the service does to enrol, on a new application handle and without
// SKF_VerifyPIN: the demo application's dialog PIN opens it, through the SKF
// library itself. A demo made without a dialog PIN gets it from the next demo run.
TEST_F(ToolTest, DemoApplicationEnrolsThroughThePinDialogWithoutVerifyPin) {
  using namespace softskf::testing;
  ToolOk({"demo"});
  EXPECT_EQ(Store().Read().GetApplication(Device(), kApp).dialogPin, kServicePin);
  const std::string listing = ToolOk({"list"});
  EXPECT_NE(listing.find("  application VAULTLINE user-pin-retries=10/10 admin-pin-retries=10/10 dialog-pin=set\n"),
            std::string::npos) << listing;

  ToolOk({"app", "dialog", kApp, "--off"});
  const softskf::Bytes key = Store().PublicKey(Device(), kApp, "SM2Demo", KeyUsage::Sign);
  const std::string again = ToolOk({"demo"});
  EXPECT_NE(again.find("set the dialog PIN of application VAULTLINE"), std::string::npos) << again;
  EXPECT_EQ(Store().Read().GetApplication(Device(), kApp).dialogPin, kServicePin);
  EXPECT_EQ(Store().PublicKey(Device(), kApp, "SM2Demo", KeyUsage::Sign), key) << "demo renewed a key";

  SkfLib skf(SOFTSKF_LIBRARY);
  setenv("SOFTSKF_DIR", m_store.c_str(), 1);
  unsetenv("SOFTSKF_DIALOG_PIN");
  std::string devName = Device(), appName = kApp;
  DEVHANDLE dev = nullptr;
  ASSERT_EQ(skf.SKF_ConnectDev(devName.data(), &dev), SAR_OK);
  const Bytes tbs = FromText("certification request info, as DER would be");

  // SM2: gen key, export it, digest with Z, sign the 32-byte digest.
  {
    HAPPLICATION app = nullptr;
    ASSERT_EQ(skf.SKF_OpenApplication(dev, appName.data(), &app), SAR_OK);
    HCONTAINER cont = nullptr;
    std::string name = "EnrolSM2";
    ASSERT_EQ(skf.SKF_CreateContainer(app, name.data(), &cont), SAR_OK);
    ECCPUBLICKEYBLOB generated{};
    ASSERT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &generated), SAR_OK);
    ECCPUBLICKEYBLOB pub{};
    ULONG len = sizeof pub;
    ASSERT_EQ(skf.SKF_ExportPublicKey(cont, TRUE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
    HANDLE hash = nullptr;
    std::string id = kSm2Id;
    ASSERT_EQ(skf.SKF_DigestInit(dev, SGD_SM3, &pub, reinterpret_cast<unsigned char*>(id.data()),
                                 static_cast<ULONG>(id.size()), &hash), SAR_OK);
    Bytes digest(32);
    ULONG digestLen = 32;
    Bytes data = tbs;
    ASSERT_EQ(skf.SKF_Digest(hash, data.data(), static_cast<ULONG>(data.size()), digest.data(), &digestLen), SAR_OK);
    ECCSIGNATUREBLOB sig{};
    ASSERT_EQ(skf.SKF_ECCSignData(cont, digest.data(), 32, &sig), SAR_OK);
    KeyPtr stored = ParsePublicKey(Store().PublicKey(Device(), kApp, "EnrolSM2", KeyUsage::Sign));
    ASSERT_TRUE(stored);
    EXPECT_TRUE(VerifySm2Data(stored.get(), sig, tbs)) << "the signature does not verify over the request";
    skf.SKF_CloseHandle(hash);

    ULONG max = 0, left = 0;
    BOOL isDefault = FALSE;
    ASSERT_EQ(skf.SKF_GetPINInfo(app, USER_TYPE, &max, &left, &isDefault), SAR_OK);
    EXPECT_EQ(left, 10u);
    skf.SKF_CloseApplication(app);
  }
  // RSA: gen key, sign the request.
  {
    HAPPLICATION app = nullptr;
    ASSERT_EQ(skf.SKF_OpenApplication(dev, appName.data(), &app), SAR_OK);
    HCONTAINER cont = nullptr;
    std::string name = "EnrolRSA";
    ASSERT_EQ(skf.SKF_CreateContainer(app, name.data(), &cont), SAR_OK);
    RSAPUBLICKEYBLOB generated{};
    ASSERT_EQ(skf.SKF_GenRSAKeyPair(cont, 2048, &generated), SAR_OK);
    Bytes sig(256);
    ULONG sigLen = 256;
    Bytes data = tbs;
    ASSERT_EQ(skf.SKF_RSASignData(cont, data.data(), static_cast<ULONG>(data.size()), sig.data(), &sigLen), SAR_OK);
    KeyPtr stored = ParsePublicKey(Store().PublicKey(Device(), kApp, "EnrolRSA", KeyUsage::Sign));
    ASSERT_TRUE(stored);
    EXPECT_TRUE(VerifyRsa(stored.get(), sig, EVP_sha256(), tbs));
    skf.SKF_CloseApplication(app);
  }
  // With the dialog switched off the same enrolment is refused: the dialog is
  // what opened the application above.
  {
    setenv("SOFTSKF_DIALOG_PIN", "", 1);
    HAPPLICATION app = nullptr;
    ASSERT_EQ(skf.SKF_OpenApplication(dev, appName.data(), &app), SAR_OK);
    HCONTAINER cont = nullptr;
    std::string name = "Refused";
    ASSERT_EQ(skf.SKF_CreateContainer(app, name.data(), &cont), SAR_OK);
    ECCPUBLICKEYBLOB generated{};
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &generated), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    unsetenv("SOFTSKF_DIALOG_PIN");
  }
  skf.SKF_DisConnectDev(dev);
  unsetenv("SOFTSKF_DIR");
}

TEST_F(ToolTest, ListFailsWhenThereIsNoTokenYet) {
  const Result missing = Tool({"list"});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("no token store"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(m_store)) << "list must not create the store";

  fs::create_directories(m_store);
  const Result empty = Tool({"list"});
  EXPECT_NE(empty.status, 0);
  EXPECT_NE(empty.err.find("no device"), std::string::npos) << empty.err;
}

TEST_F(ToolTest, RefusedCommandsSayWhyAndLeaveTheTokenAsItWas) {
  ToolOk({"demo"});
  ToolOk({"container", "create", kApp, "Empty"});
  const std::string sm2Cert = CertFile(kApp, "SM2Demo", KeyUsage::Sign);
  Spit(m_tmp + "/junk.der", "not a certificate");

  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"app", "rename", "X"}, "unknown command 'app rename'"},
      {{"list", "--bogus"}, "unknown option --bogus"},
      {{"app", "create"}, "missing NAME"},
      {{"app", "create", "NEW"}, "missing --pin"},
      {{"app", "create", "NEW", "--pin"}, "--pin needs a value"},
      {{"app", "create", "NEW", "--pin", "1", "--retries", "0"}, "--retries must be a number from 1 to 255"},
      {{"app", "create", "NEW", "--pin", "1", "--retries", "3x"}, "--retries must be a number"},
      {{"app", "create", kApp, "--pin", "1"}, "application exists"},
      {{"container", "create", "NOAPP", "X"}, "application not found"},
      {{"container", "delete", kApp}, "missing NAME"},
      {{"keygen", kApp, "Empty"}, "missing sm2|rsa"},
      {{"keygen", kApp, "Empty", "dsa"}, "key type must be sm2 or rsa"},
      {{"keygen", kApp, "Empty", "rsa", "--bits", "3072"}, "1024 or 2048"},
      {{"keygen", kApp, "SM2Demo", "sm2"}, "already has a signing key pair"},
      {{"keygen", kApp, "SM2Demo", "rsa", "--force"}, "one algorithm only"},
      {{"issue", kApp, "SM2Demo"}, "missing --cn"},
      {{"issue", kApp, "Empty", "--cn", "X"}, "has no signing key pair"},
      {{"issue", kApp, "RSADemo", "--cn", "X", "--encryption"}, "has no encryption key pair"},
      {{"issue", kApp, "SM2Demo", "--cn", "X", "--c", "CHN"}, "country must be two letters"},
      {{"import-cert", kApp, "RSADemo", sm2Cert}, "does not match"},
      {{"import-cert", kApp, "Empty", m_tmp + "/junk.der"}, "not a DER X.509 certificate"},
      {{"import-cert", kApp, "Empty", m_tmp + "/absent.der"}, "cannot read"},
      {{"init"}, "device exists"},
      {{"app", "dialog", kApp}, "missing PIN (or --off"},
      {{"app", "dialog", kApp, "1", "--off"}, "either a PIN or --off"},
      {{"app", "dialog", kApp, "1", "2"}, "unexpected argument '2'"},
      {{"app", "dialog", kApp, ""}, "invalid dialog PIN"},
      {{"app", "dialog", kApp, std::string(65, '1')}, "invalid dialog PIN"},
      {{"app", "dialog", "NOAPP", "1"}, "application not found"},
      {{"app", "dialog", "NOAPP", "--off"}, "application not found"},
      {{"app", "create", "NEW", "--pin", "1", "--dialog-pin", ""}, "invalid dialog PIN"},
      {{"export-ca"}, "missing DIR"},
  };
  const std::string before = Slurp(m_store + "/token.json");
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const Result r = Tool(c.args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("softskf: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(m_store + "/token.json"), before) << "a refused command changed the token";
  }
}

}  // namespace
