#include "core/openssl++.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace Openssl {

namespace {

struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
struct OpensslFree {
    void operator()(char* p) const { OPENSSL_free(p); }
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
struct MdFree {
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// The key of a name entry: the library's short name, or the dotted form for
// an identifier the library has no name for (so that two different unknown
// attributes do not collapse into one "UNDEF" entry).
std::string entryKey(const ASN1_OBJECT* obj)
{
    const int nid = OBJ_obj2nid(obj);
    if (nid != NID_undef) {
        if (const char* sn = OBJ_nid2sn(nid)) {
            return sn;
        }
    }
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0) {
        return std::string();
    }
    // OBJ_obj2txt reports the full length even when it had to truncate.
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

// ---- CInteger ------------------------------------------------------------

std::string CInteger::toString(bool bHex) const
{
    if (m_integer == nullptr) {
        return std::string();
    }
    std::unique_ptr<BIGNUM, BnFree> bn(ASN1_INTEGER_to_BN(m_integer, nullptr));
    if (!bn) {
        return std::string();
    }
    std::unique_ptr<char, OpensslFree> text(bHex ? BN_bn2hex(bn.get()) : BN_bn2dec(bn.get()));
    if (!text) {
        return std::string();
    }
    return std::string(text.get());
}

// ---- CX509Name -----------------------------------------------------------

CX509Name::CX509Name(X509_NAME* p, bool bTakeOwner) : m_name(nullptr)
{
    Attach(p, bTakeOwner);
}

CX509Name::~CX509Name()
{
    Destory();
}

CX509Name::CX509Name(CX509Name&& other) noexcept : m_name(other.m_name)
{
    other.m_name = nullptr;
}

CX509Name& CX509Name::operator=(CX509Name&& other) noexcept
{
    if (this != &other) {
        Destory();
        m_name = other.m_name;
        other.m_name = nullptr;
    }
    return *this;
}

void CX509Name::Attach(X509_NAME* p, bool bTakeOwner)
{
    if (p == m_name) {
        return;  // already held: releasing it first would free what we keep
    }
    // The name is always owned here, so a name held so far would otherwise leak.
    Destory();
    if (p == nullptr) {
        return;
    }
    m_name = bTakeOwner ? p : X509_NAME_dup(p);
}

void CX509Name::Destory()
{
    X509_NAME_free(m_name);
    m_name = nullptr;
}

std::map<std::string, std::string> CX509Name::toMap() const
{
    std::map<std::string, std::string> result;
    if (m_name == nullptr) {
        return result;
    }
    const int count = X509_NAME_entry_count(m_name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(m_name, i);
        if (entry == nullptr) {
            continue;
        }
        std::string value;
        unsigned char* raw = nullptr;
        const int len = ASN1_STRING_to_UTF8(&raw, X509_NAME_ENTRY_get_data(entry));
        std::unique_ptr<unsigned char, OpensslFree> utf8(raw);
        if (len > 0 && utf8) {
            value.assign(reinterpret_cast<const char*>(utf8.get()), static_cast<size_t>(len));
        }
        result[entryKey(X509_NAME_ENTRY_get_object(entry))] = std::move(value);
    }
    return result;
}

// ---- CX509 ---------------------------------------------------------------

CX509::CX509(X509* p, bool bTakeOwner) : m_x509(nullptr)
{
    Attach(p, bTakeOwner);
}

CX509::CX509(CX509&& other) noexcept : m_x509(other.m_x509)
{
    other.m_x509 = nullptr;
}

// Like the destructor, assignment leaves a certificate held so far alone: it
// may belong to someone else. Owners call Destory first.
CX509& CX509::operator=(CX509&& other) noexcept
{
    if (this != &other) {
        m_x509 = other.m_x509;
        other.m_x509 = nullptr;
    }
    return *this;
}

void CX509::Attach(X509* p, bool bTakeOwner)
{
    if (p == nullptr) {
        m_x509 = nullptr;
        return;
    }
    m_x509 = bTakeOwner ? p : X509_dup(p);
}

void CX509::Destory()
{
    X509_free(m_x509);
    m_x509 = nullptr;
}

X509* CX509::Detach()
{
    X509* p = m_x509;
    m_x509 = nullptr;
    return p;
}

CX509Name CX509::get_subject() const
{
    if (m_x509 == nullptr) {
        return CX509Name();
    }
    return CX509Name(X509_get_subject_name(m_x509), false);
}

CX509Name CX509::get_issuer() const
{
    if (m_x509 == nullptr) {
        return CX509Name();
    }
    return CX509Name(X509_get_issuer_name(m_x509), false);
}

CInteger CX509::get_serialNumber() const
{
    if (m_x509 == nullptr) {
        return CInteger();
    }
    return CInteger(X509_get_serialNumber(m_x509));
}

bool CX509::HashVerify(int hashNid, const std::string& sig, const std::string& tbs) const
{
    if (m_x509 == nullptr) {
        return false;
    }
    // X509_get_pubkey hands out a new reference, which the wrapper releases.
    CEVP_PKEY key(X509_get_pubkey(m_x509));
    return key.HashVerify(hashNid, sig, tbs);
}

CX509 CX509::FromDER(const unsigned char* der, long len)
{
    if (der == nullptr || len <= 0) {
        return CX509();
    }
    const unsigned char* p = der;
    return CX509(d2i_X509(nullptr, &p, len), true);
}

// ---- CEVP_PKEY -----------------------------------------------------------

CEVP_PKEY::CEVP_PKEY(EVP_PKEY* p) : m_key(p), m_ctx(p ? EVP_PKEY_CTX_new(p, nullptr) : nullptr) {}

CEVP_PKEY::~CEVP_PKEY()
{
    EVP_PKEY_CTX_free(m_ctx);
    EVP_PKEY_free(m_key);
}

bool CEVP_PKEY::HashVerify(int hashNid, const std::string& sig, const std::string& data) const
{
    switch (hashNid) {
    case NID_md4:
    case NID_md5:
    case NID_sha1:
    case NID_sha256:
        break;
    default:
        return false;
    }
    if (m_key == nullptr) {
        return false;
    }
    // Fetch rather than take the built-in table entry: on this library MD4
    // sits in a provider that is normally not loaded, and a digest that cannot
    // be fetched must give false here, not an error deep in the verification.
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, OBJ_nid2sn(hashNid), nullptr));
    if (!md) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, md.get(), nullptr, m_key) <= 0) {
        return false;
    }
    if (EVP_DigestVerifyUpdate(ctx.get(), data.data(), data.size()) <= 0) {
        return false;
    }
    return EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size()) > 0;
}

}  // namespace Openssl
