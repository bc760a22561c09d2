#pragma once
// The certificate object behind SMCertificate: where the certificate and its
// private key live (an SKF container reached through the provider's shared
// binding, or a PKCS#11 certificate object), its summary, and signing,
// verification, encryption and decryption with it.

#include "core/CertificateInfo.h"
#include "core/OsOpenssl.h"

#include <string>

class CSKFProvider;

namespace korvane {
namespace crypto {
namespace pkcs11 {
class Cert;
}
}  // namespace crypto
}  // namespace korvane

class CCertificate {
public:
    using Cert = korvane::crypto::pkcs11::Cert;

    explicit CCertificate(bool bsign);
    ~CCertificate();
    CCertificate(const CCertificate&) = delete;
    CCertificate& operator=(const CCertificate&) = delete;

    // Takes ownership of pcert (may be null); loads the decoded certificate
    // from its value. Returns false.
    bool InitializeWith(Cert* pcert);
    // Binds to the container con of the provider's binding skf (not owned).
    // Returns false.
    bool InitializeWith(CSKFProvider* skf, std::string con);

    // A PKCS#11 certificate or an SKF binding is set.
    bool valid() const;

    // Reopen this certificate's container on the shared binding, which a
    // later enumeration or another certificate may have moved elsewhere.
    // InitSKF() also loads the decoded certificate; InitSKF(eHash) reopens
    // with the SM3 variant for HASH_SM3, plainly for HASH_SHA1/HASH_SHA256,
    // and not at all otherwise. Both return false.
    bool InitSKF();
    bool InitSKF(int eHash);
    // The container is reopened on first use and again whenever enumeration,
    // a request or another certificate of the provider moved the binding
    // since: otherwise this certificate would export another container's
    // certificate or sign with another container's key.
    bool BindingMoved() const;
    void MarkBound();

    // The certificate's DER ("" when it cannot be had) and its Base64 text.
    std::string toDer();
    std::string toString();
    // The certificate's key is SM2.
    bool isgmcert();

    // Fills the summary; false when neither binding is set.
    bool GetInfo(certificate_info_t* p);

    // The flags word: bits 0-3 hash selector, bits 4-7 form (attached,
    // detached, bare), 0x2000 SKF SM2 "ex" variant, 0x4000 SKF WDC1 variant.
    bool sign(const std::string& msg, unsigned flags, std::string& sig);
    bool verify(const std::string& msg, const std::string& sig, unsigned flags);

    // PKCS#11 only (RSA PKCS#1 v1.5); flags are not used.
    bool encrypt(const std::string& msg, unsigned flags, std::string& cipher);
    bool decrypt(const std::string& cipher, unsigned flags, std::string& msg);

    // Releases the certificate held by m_openssl.
    void Uninitialize();

    CSKFProvider* m_skf = nullptr;
    std::string m_skfCon;
    bool m_bskf = false;
    unsigned long m_bindingGeneration = 0;
    bool m_bsign;
    Cert* m_p11cert = nullptr;
    COpensslCertificate m_openssl;
};
