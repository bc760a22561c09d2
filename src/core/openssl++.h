#pragma once
// Thin handles over the crypto library's certificate, name, integer, key and
// PKCS#7 objects. Each states whether it owns what it holds.

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <map>
#include <string>

namespace Openssl {

// Borrows an ASN.1 INTEGER; never frees it.
class CInteger {
public:
    explicit CInteger(ASN1_INTEGER* p = nullptr) : m_integer(p) {}
    operator ASN1_INTEGER*() const { return m_integer; }
    // bHex: upper-case hexadecimal, two digits per byte, no leading zero
    // bytes, "0" for zero, "-" before a negative value; else decimal.
    std::string toString(bool bHex) const;

    ASN1_INTEGER* m_integer;
};

// Owns its X.509 name (freed by Destory and by the destructor).
class CX509Name {
public:
    CX509Name() : m_name(nullptr) {}
    CX509Name(X509_NAME* p, bool bTakeOwner);
    ~CX509Name();
    CX509Name(CX509Name&& other) noexcept;
    CX509Name& operator=(CX509Name&& other) noexcept;
    CX509Name(const CX509Name&) = delete;
    CX509Name& operator=(const CX509Name&) = delete;

    // Takes p when bTakeOwner, else holds a copy. A different name held so
    // far is released first (this handle always owns its name).
    void Attach(X509_NAME* p, bool bTakeOwner);
    void Destory();
    operator X509_NAME*() const { return m_name; }
    // Short name of each entry's object -> its value in UTF-8; a later entry
    // with the same key replaces an earlier one.
    std::map<std::string, std::string> toMap() const;

    X509_NAME* m_name;
};

class CEVP_PKEY;

// Holds a certificate; frees it only in Destory (the destructor leaves it,
// so a handle can wrap a certificate owned elsewhere and Detach it).
class CX509 {
public:
    CX509() : m_x509(nullptr) {}
    CX509(X509* p, bool bTakeOwner);
    CX509(CX509&& other) noexcept;
    CX509& operator=(CX509&& other) noexcept;
    CX509(const CX509&) = delete;
    CX509& operator=(const CX509&) = delete;
    ~CX509() = default;

    void Attach(X509* p, bool bTakeOwner);
    void Destory();
    X509* Detach();
    operator X509*() const { return m_x509; }

    CX509Name get_subject() const;
    CX509Name get_issuer() const;
    CInteger get_serialNumber() const;
    bool HashVerify(int hashNid, const std::string& sig, const std::string& tbs) const;

    static CX509 FromDER(const unsigned char* der, long len);

    X509* m_x509;
};

// Owns a public key and a key-operation context made for it.
class CEVP_PKEY {
public:
    explicit CEVP_PKEY(EVP_PKEY* p);
    ~CEVP_PKEY();
    CEVP_PKEY(const CEVP_PKEY&) = delete;
    CEVP_PKEY& operator=(const CEVP_PKEY&) = delete;

    // hashNid: 257 MD4, 4 MD5, 64 SHA-1, 672 SHA-256; anything else, or a
    // digest the library cannot give, is false.
    bool HashVerify(int hashNid, const std::string& sig, const std::string& data) const;

    EVP_PKEY* m_key;
    EVP_PKEY_CTX* m_ctx;
};

// Owns a PKCS#7 signer info until Detach hands it over.
class CPKCS7_SIGNER_INFO {
public:
    CPKCS7_SIGNER_INFO();  // empty, version 1
    ~CPKCS7_SIGNER_INFO();
    CPKCS7_SIGNER_INFO(const CPKCS7_SIGNER_INFO&) = delete;
    CPKCS7_SIGNER_INFO& operator=(const CPKCS7_SIGNER_INFO&) = delete;

    int set_digest_alg(int hash_nid);
    int set_digest_enc_alg(int enc_nid);
    int set_enc_digest(const std::string& enc_digest);
    int set_issuer_and_serial(const CX509& cert);
    PKCS7_SIGNER_INFO* Detach();
    operator PKCS7_SIGNER_INFO*() const { return m_p7_si; }

    PKCS7_SIGNER_INFO* m_p7_si;
};

// Owns a PKCS#7 object.
class CPKCS7 {
public:
    CPKCS7();
    CPKCS7(PKCS7* p, bool bTakeOwner);
    ~CPKCS7();
    CPKCS7(CPKCS7&& other) noexcept;
    CPKCS7& operator=(CPKCS7&& other) noexcept;
    CPKCS7(const CPKCS7&) = delete;
    CPKCS7& operator=(const CPKCS7&) = delete;

    int type() const;
    int set_type(int type);
    bool detached() const;
    int set_detached();
    std::string sign_content() const;
    int set_sign_content(const std::string& content);
    int add_certificate(const CX509& cert);
    int add_signer(CPKCS7_SIGNER_INFO& si);
    bool Verify(const std::string* ptbs) const;
    std::string toDER() const;
    operator PKCS7*() const { return m_p7; }

    static CPKCS7 FromDER(const unsigned char* der, long len);

    PKCS7* m_p7;
};

}  // namespace Openssl
