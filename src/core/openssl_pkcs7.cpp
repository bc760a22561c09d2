// The PKCS#7 signer-info and message handles.

#include "core/openssl++.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <utility>

namespace Openssl {

namespace {

// AlgorithmIdentifier { the object of nid, NULL }.
int setAlgorithm(X509_ALGOR* alg, int nid)
{
    ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    if (alg == nullptr || obj == nullptr) {
        return 0;
    }
    return X509_ALGOR_set0(alg, obj, V_ASN1_NULL, nullptr);
}

bool isSigned(const PKCS7* p7)
{
    return p7 != nullptr && p7->type != nullptr && OBJ_obj2nid(p7->type) == NID_pkcs7_signed && p7->d.sign != nullptr;
}

}  // namespace

// ---- CPKCS7_SIGNER_INFO ----------------------------------------------------

CPKCS7_SIGNER_INFO::CPKCS7_SIGNER_INFO() : m_p7_si(PKCS7_SIGNER_INFO_new())
{
    if (m_p7_si != nullptr && !ASN1_INTEGER_set(m_p7_si->version, 1)) {
        PKCS7_SIGNER_INFO_free(m_p7_si);
        m_p7_si = nullptr;
    }
}

CPKCS7_SIGNER_INFO::~CPKCS7_SIGNER_INFO()
{
    PKCS7_SIGNER_INFO_free(m_p7_si);
}

int CPKCS7_SIGNER_INFO::set_digest_alg(int hash_nid)
{
    return m_p7_si != nullptr ? setAlgorithm(m_p7_si->digest_alg, hash_nid) : 0;
}

int CPKCS7_SIGNER_INFO::set_digest_enc_alg(int enc_nid)
{
    return m_p7_si != nullptr ? setAlgorithm(m_p7_si->digest_enc_alg, enc_nid) : 0;
}

int CPKCS7_SIGNER_INFO::set_enc_digest(const std::string& enc_digest)
{
    if (m_p7_si == nullptr || enc_digest.size() > static_cast<size_t>(INT_MAX)) {
        return 0;
    }
    return ASN1_OCTET_STRING_set(m_p7_si->enc_digest, reinterpret_cast<const unsigned char*>(enc_digest.data()),
                                 static_cast<int>(enc_digest.size()));
}

int CPKCS7_SIGNER_INFO::set_issuer_and_serial(const CX509& cert)
{
    X509* x = cert;
    if (m_p7_si == nullptr || x == nullptr) {
        return 0;
    }
    PKCS7_ISSUER_AND_SERIAL* ias = m_p7_si->issuer_and_serial;
    const int named = X509_NAME_set(&ias->issuer, X509_get_issuer_name(x));
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(x));
    if (serial != nullptr) {
        ASN1_INTEGER_free(ias->serial);
        ias->serial = serial;
    }
    return named;
}

PKCS7_SIGNER_INFO* CPKCS7_SIGNER_INFO::Detach()
{
    return std::exchange(m_p7_si, nullptr);
}

// ---- CPKCS7 ----------------------------------------------------------------

CPKCS7::CPKCS7() : m_p7(PKCS7_new()) {}

CPKCS7::CPKCS7(PKCS7* p, bool bTakeOwner) : m_p7(nullptr)
{
    if (p != nullptr) {
        m_p7 = bTakeOwner ? p : PKCS7_dup(p);
    }
}

CPKCS7::~CPKCS7()
{
    PKCS7_free(m_p7);
}

CPKCS7::CPKCS7(CPKCS7&& other) noexcept : m_p7(std::exchange(other.m_p7, nullptr)) {}

CPKCS7& CPKCS7::operator=(CPKCS7&& other) noexcept
{
    if (this != &other) {
        PKCS7_free(m_p7);
        m_p7 = std::exchange(other.m_p7, nullptr);
    }
    return *this;
}

int CPKCS7::type() const
{
    return (m_p7 != nullptr && m_p7->type != nullptr) ? OBJ_obj2nid(m_p7->type) : NID_undef;
}

int CPKCS7::set_type(int type)
{
    return m_p7 != nullptr ? PKCS7_set_type(m_p7, type) : 0;
}

bool CPKCS7::detached() const
{
    // The library's control reads the inner content without checking it is
    // there.
    if (!isSigned(m_p7) || m_p7->d.sign->contents == nullptr) {
        return false;
    }
    return PKCS7_get_detached(m_p7) != 0;
}

int CPKCS7::set_detached()
{
    return isSigned(m_p7) ? static_cast<int>(PKCS7_set_detached(m_p7, 1)) : 0;
}

std::string CPKCS7::sign_content() const
{
    if (!isSigned(m_p7) || detached()) {
        return {};
    }
    const PKCS7* inner = m_p7->d.sign->contents;
    if (!PKCS7_type_is_data(inner) || inner->d.data == nullptr) {
        return {};
    }
    const ASN1_OCTET_STRING* os = inner->d.data;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(os)),
                       static_cast<size_t>(ASN1_STRING_length(os)));
}

int CPKCS7::set_sign_content(const std::string& content)
{
    if (content.empty()) {
        return set_detached();
    }
    if (!isSigned(m_p7) || content.size() > static_cast<size_t>(INT_MAX) ||
        !PKCS7_content_new(m_p7, NID_pkcs7_data)) {
        return 0;
    }
    return ASN1_OCTET_STRING_set(m_p7->d.sign->contents->d.data,
                                 reinterpret_cast<const unsigned char*>(content.data()),
                                 static_cast<int>(content.size()));
}

int CPKCS7::add_certificate(const CX509& cert)
{
    X509* x = cert;
    return (m_p7 != nullptr && x != nullptr) ? PKCS7_add_certificate(m_p7, x) : 0;
}

int CPKCS7::add_signer(CPKCS7_SIGNER_INFO& si)
{
    PKCS7_SIGNER_INFO* p = si;
    if (m_p7 == nullptr || p == nullptr || !PKCS7_add_signer(m_p7, p)) {
        return 0;  // si keeps what it held
    }
    si.Detach();
    return 1;
}

std::string CPKCS7::toDER() const
{
    if (m_p7 == nullptr) {
        return {};
    }
    const int len = i2d_PKCS7(m_p7, nullptr);
    if (len <= 0) {
        return {};
    }
    std::string der(static_cast<size_t>(len), '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&der[0]);
    if (i2d_PKCS7(m_p7, &out) != len) {
        return {};
    }
    return der;
}

CPKCS7 CPKCS7::FromDER(const unsigned char* der, long len)
{
    if (der == nullptr || len <= 0) {
        return CPKCS7(nullptr, true);
    }
    const unsigned char* p = der;
    return CPKCS7(d2i_PKCS7(nullptr, &p, len), true);
}

}  // namespace Openssl
