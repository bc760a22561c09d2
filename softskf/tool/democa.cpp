#include "democa.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace softskf_tool {

const char kSm2Id[] = "1234567812345678";

namespace {

constexpr long kDay = 24L * 60 * 60;
// Ten years for end-entity certificates; the CAs outlive every certificate
// they issue so that a chain never fails on the issuer's dates.
constexpr long kEndEntityDays = 3653;
constexpr long kCaDays = 7305;

const char* CaCommonName(KeyKind kind) {
  return kind == KeyKind::Sm2 ? "Vaultline Demo SM2 CA" : "Vaultline Demo RSA CA";
}

void AddNameEntry(X509_NAME* name, const char* field, const std::string& value) {
  if (value.empty()) {
    return;
  }
  // MBSTRING_UTF8: the value is UTF-8 text (a Chinese common name stays a
  // UTF8String); fields with a fixed type (country, e-mail) get theirs.
  if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value.data()),
                                 static_cast<int>(value.size()), -1, 0) != 1) {
    ThrowOpenSSL(std::string("subject field ") + field + " \"" + value + "\" is not acceptable");
  }
}

Name MakeName(const Subject& s) {
  if (s.cn.empty()) {
    throw ToolError("a certificate needs a common name (--cn)");
  }
  if (!s.c.empty() && (s.c.size() != 2 || !isalpha(static_cast<unsigned char>(s.c[0])) ||
                       !isalpha(static_cast<unsigned char>(s.c[1])))) {
    throw ToolError("country must be two letters, got \"" + s.c + "\"");
  }
  Name name(X509_NAME_new());
  if (!name) {
    ThrowOpenSSL("X509_NAME_new");
  }
  AddNameEntry(name.get(), "C", s.c);
  AddNameEntry(name.get(), "O", s.o);
  AddNameEntry(name.get(), "OU", s.ou);
  AddNameEntry(name.get(), "CN", s.cn);
  AddNameEntry(name.get(), "emailAddress", s.email);
  return name;
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  Ext ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) {
    ThrowOpenSSL(std::string("certificate extension ") + OBJ_nid2sn(nid) + " = " + value);
  }
}

// Version 3, serial, names, dates and public key of a new certificate.
Cert NewCertificate(X509_NAME* subject, X509_NAME* issuer, EVP_PKEY* publicKey, long days) {
  Cert cert(X509_new());
  if (!cert) {
    ThrowOpenSSL("X509_new");
  }
  Asn1Int serial = RandomSerial16();
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      X509_set_serialNumber(cert.get(), serial.get()) != 1 ||
      X509_set_subject_name(cert.get(), subject) != 1 ||
      X509_set_issuer_name(cert.get(), issuer) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDay) == nullptr ||
      X509_set_pubkey(cert.get(), publicKey) != 1) {
    ThrowOpenSSL("building a certificate");
  }
  return cert;
}

std::string ToDer(X509* cert) {
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert, &der);
  if (len <= 0) {
    ThrowOpenSSL("encoding a certificate");
  }
  std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

std::string PrivateKeyToPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    ThrowOpenSSL("writing a CA key");
  }
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  std::string pem(data, static_cast<size_t>(len));
  OPENSSL_cleanse(data, static_cast<size_t>(len));
  return pem;
}

}  // namespace

void ThrowOpenSSL(const std::string& what) {
  const unsigned long code = ERR_peek_last_error();
  std::string message = what + " failed";
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    message += " (";
    message += text;
    message += ")";
  }
  ERR_clear_error();
  throw ToolError(message);
}

const char* KeyKindName(KeyKind kind) { return kind == KeyKind::Sm2 ? "sm2" : "rsa"; }

PKey GenerateKey(KeyKind kind, unsigned rsaBits) {
  EVP_PKEY* key = nullptr;
  if (kind == KeyKind::Sm2) {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  } else {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(rsaBits));
  }
  if (key == nullptr) {
    ThrowOpenSSL(std::string("generating an ") + KeyKindName(kind) + " key pair");
  }
  return PKey(key);
}

KeyKind KindOfKey(const EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "SM2")) {
    return KeyKind::Sm2;
  }
  if (EVP_PKEY_is_a(key, "RSA")) {
    return KeyKind::Rsa;
  }
  throw ToolError("the key is neither SM2 nor RSA");
}

void SignCertificate(X509* cert, EVP_PKEY* caKey, KeyKind kind) {
  MdCtx md(EVP_MD_CTX_new());
  if (!md) {
    ThrowOpenSSL("EVP_MD_CTX_new");
  }
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  const EVP_MD* digest = kind == KeyKind::Sm2 ? EVP_sm3() : EVP_sha256();
  if (EVP_DigestSignInit(md.get(), &pctx, digest, nullptr, caKey) != 1) {
    ThrowOpenSSL("starting the CA signature");
  }
  if (kind == KeyKind::Sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2Id, kSm2IdLen) <= 0) {
    ThrowOpenSSL("setting the SM2 identifier");
  }
  if (X509_sign_ctx(cert, md.get()) <= 0) {
    ThrowOpenSSL("signing the certificate");
  }
}

Asn1Int RandomSerial16() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    ThrowOpenSSL("RAND_bytes");
  }
  bytes[0] &= 0x7F;  // positive
  if (bytes[0] == 0) {
    bytes[0] = 0x01;  // no leading zero byte, so all 16 bytes are the serial
  }
  Bn bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  Asn1Int serial(bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr);
  if (!serial) {
    ThrowOpenSSL("making a serial number");
  }
  return serial;
}

std::string DemoCa::DirIn(const std::string& storeDir) { return storeDir + "/demo-ca"; }

std::string DemoCa::CertPath(const std::string& caDir, KeyKind kind) {
  return caDir + "/" + KeyKindName(kind) + "-ca.pem";
}

std::string DemoCa::KeyPath(const std::string& caDir, KeyKind kind) {
  return caDir + "/" + KeyKindName(kind) + "-ca.key";
}

bool DemoCa::Exists(const std::string& caDir, KeyKind kind) {
  return std::filesystem::exists(CertPath(caDir, kind)) &&
         std::filesystem::exists(KeyPath(caDir, kind));
}

void DemoCa::Create(const std::string& caDir, KeyKind kind) {
  std::error_code ec;
  std::filesystem::create_directories(caDir, ec);
  if (ec) {
    throw ToolError("cannot create " + caDir + ": " + ec.message());
  }
  PKey key = GenerateKey(kind, 2048);
  Subject subject;
  subject.cn = CaCommonName(kind);
  subject.o = "Vaultline Demo";
  subject.c = "CN";
  Name name = MakeName(subject);
  Cert cert = NewCertificate(name.get(), name.get(), key.get(), kCaDays);

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  SignCertificate(cert.get(), key.get(), kind);

  // Key first: a certificate without its key would make the CA look present.
  WriteFileAtomic(KeyPath(caDir, kind), PrivateKeyToPem(key.get()), 0600);
  WriteFileAtomic(CertPath(caDir, kind), CertToPem(cert.get()), 0644);
}

DemoCa DemoCa::Load(const std::string& caDir, KeyKind kind) {
  if (!Exists(caDir, kind)) {
    throw ToolError(std::string("no demo ") + KeyKindName(kind) + " CA in " + caDir +
                    " (run: softskf ca init)");
  }
  const std::string certPem = ReadFile(CertPath(caDir, kind));
  std::string keyPem = ReadFile(KeyPath(caDir, kind));
  Bio certBio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
  Bio keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  Cert cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
  PKey key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  OPENSSL_cleanse(keyPem.data(), keyPem.size());
  if (!cert || !key) {
    ThrowOpenSSL(std::string("reading the demo ") + KeyKindName(kind) + " CA in " + caDir);
  }
  if (KindOfKey(key.get()) != kind || X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    throw ToolError(std::string("the demo ") + KeyKindName(kind) + " CA in " + caDir +
                    " has a key that does not match its certificate");
  }
  return DemoCa(kind, std::move(cert), std::move(key));
}

DemoCa::DemoCa(KeyKind kind, Cert cert, PKey key)
    : m_kind(kind), m_cert(std::move(cert)), m_key(std::move(key)) {}

std::string DemoCa::Issue(EVP_PKEY* subjectKey, const Subject& subject, Usage usage) const {
  if (KindOfKey(subjectKey) != m_kind) {
    throw ToolError(std::string("the ") + KeyKindName(m_kind) + " CA cannot issue for an " +
                    KeyKindName(KindOfKey(subjectKey)) + " key");
  }
  Name name = MakeName(subject);
  Cert cert = NewCertificate(name.get(), X509_get_subject_name(m_cert.get()), subjectKey,
                             kEndEntityDays);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, m_cert.get(), cert.get(), nullptr, nullptr, 0);
  AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), &ctx, NID_key_usage,
               usage == Usage::Signing ? "critical,digitalSignature,nonRepudiation"
                                       : "critical,keyEncipherment,dataEncipherment");
  AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  if (!subject.email.empty()) {
    AddExtension(cert.get(), &ctx, NID_subject_alt_name, "email:copy");
  }
  SignCertificate(cert.get(), m_key.get(), m_kind);
  return ToDer(cert.get());
}

std::string CertToPem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
    ThrowOpenSSL("writing a certificate as PEM");
  }
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

Cert CertFromDer(const std::string& der, const std::string& what) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    ERR_clear_error();
    throw ToolError(what + " is not a DER X.509 certificate");
  }
  return cert;
}

void WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) {
    throw ToolError("cannot write " + tmp + ": " + std::strerror(errno));
  }
  size_t done = 0;
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
  while (ok && done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  const int err = errno;
  ok = (::fsync(fd) == 0) && ok;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw ToolError("cannot write " + path + ": " + std::strerror(ok ? errno : err));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ToolError("cannot read " + path);
  }
  std::ostringstream out;
  out << in.rdbuf();
  if (!in && !in.eof()) {
    throw ToolError("cannot read " + path);
  }
  return out.str();
}

}  // namespace softskf_tool
