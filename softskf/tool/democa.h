// The demo certificate authority: one SM2 CA (SM2 signatures over SM3 with the
// distinguishing identifier 1234567812345678) and one RSA CA
// (sha256WithRSAEncryption), kept as PEM files in a directory beside the token
// store. It issues the certificates of the demo token; nothing here protects
// the CA keys, which are for development and demonstrations only.
#pragma once

#include "tool_ossl.h"

#include <string>

namespace softskf_tool {

enum class KeyKind { Sm2, Rsa };
enum class Usage { Signing, Encryption };

// The SM2 distinguishing identifier every SM2 signature of the tool carries:
// the one the service hands to the token and expects from it.
extern const char kSm2Id[];
constexpr size_t kSm2IdLen = 16;

const char* KeyKindName(KeyKind kind);  // "sm2" or "rsa"

// Subject fields of an issued certificate; empty ones are left out. The
// country, when given, must be two letters.
struct Subject {
  std::string cn;
  std::string o;
  std::string ou;
  std::string c;
  std::string email;
};

// A fresh key pair made by OpenSSL: SM2 on its own curve, or RSA with
// exponent 65537 and the given modulus length.
PKey GenerateKey(KeyKind kind, unsigned rsaBits = 2048);

// The kind of a public key, or a ToolError when it is neither SM2 nor RSA.
KeyKind KindOfKey(const EVP_PKEY* key);

// Signs a certificate body as the CA of that kind does: SM3 with the SM2
// identifier, or SHA-256 with PKCS#1 v1.5 padding.
void SignCertificate(X509* cert, EVP_PKEY* caKey, KeyKind kind);

// Random 16-byte positive serial number whose first byte is not zero, so the
// DER INTEGER holds exactly 16 content bytes.
Asn1Int RandomSerial16();

class DemoCa {
 public:
  // Directory holding the CA files inside a store directory.
  static std::string DirIn(const std::string& storeDir);
  static std::string CertPath(const std::string& caDir, KeyKind kind);
  static std::string KeyPath(const std::string& caDir, KeyKind kind);
  static bool Exists(const std::string& caDir, KeyKind kind);

  // Makes the CA of that kind in caDir (created if needed), replacing any
  // present one. The key file is readable by its owner only.
  static void Create(const std::string& caDir, KeyKind kind);
  // Reads the CA of that kind; a ToolError when it is missing or damaged.
  static DemoCa Load(const std::string& caDir, KeyKind kind);

  // A DER X.509 v3 certificate for subjectKey, valid ten years from now,
  // signed by this CA. The key must be of this CA's kind.
  std::string Issue(EVP_PKEY* subjectKey, const Subject& subject, Usage usage) const;

  KeyKind kind() const { return m_kind; }
  X509* cert() const { return m_cert.get(); }

 private:
  DemoCa(KeyKind kind, Cert cert, PKey key);

  KeyKind m_kind;
  Cert m_cert;
  PKey m_key;
};

// The certificate as PEM text ("CERTIFICATE").
std::string CertToPem(X509* cert);
// A DER certificate, or a ToolError naming `what` when it does not decode.
Cert CertFromDer(const std::string& der, const std::string& what);

// Writes a file through a temporary name and a rename, so a reader never sees
// half a file; mode applies to the new file.
void WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode);
std::string ReadFile(const std::string& path);

}  // namespace softskf_tool
