#include "core/Certificate.h"

#include "CSKFProvider.h"
#include "Pkcs11.h"
#include "SM/fp7.h"
#include "core/OsFunctions.h"
#include "core/codec.h"
#include "struct.h"

#include <openssl/x509.h>

#include <memory>

namespace {

constexpr unsigned kFlagSignex = 0x2000;
constexpr unsigned kFlagWdc1 = 0x4000;

// Crypto-library digest numbers the signed messages name.
constexpr int kNidMd2 = 3;
constexpr int kNidMd5 = 4;
constexpr int kNidSha1 = 64;
constexpr int kNidSha256 = 672;
constexpr int kNidSha256WithRsa = 668;
constexpr int kNidSm3 = 959;

// PKCS#11 digest mechanisms; the object layer turns them into signing ones.
constexpr int kCkmMd2 = 0x200;
constexpr int kCkmMd5 = 0x210;
constexpr int kCkmSha1 = 0x220;
constexpr int kCkmSha256 = 0x250;

// The SKF library's own algorithm identifiers for RSA signing.
constexpr unsigned long kSkfAlgMd5 = 3;
constexpr unsigned long kSkfAlgSha1 = 2;
constexpr unsigned long kSkfAlgSha256 = 4;

hash_algo_t signHash(unsigned flags)
{
    switch (flags & 0x0F) {
    case 1: return HASH_MD2;
    case 2: return HASH_MD4;
    case 3: return HASH_MD5;
    case 4: return HASH_SHA1RSA;
    case 5: return HASH_SM3;
    case 6: return HASH_SHA256;
    default: return HASH_SHA1;
    }
}

sig_type_t signForm(unsigned flags)
{
    switch (flags & 0xF0) {
    case 0x10: return SIG_DETACH;
    case 0x20: return SIG_RAW;
    default: return SIG_ATTACH;
    }
}

// Verification reads every form it does not know as a bare signature, unlike
// signing, which falls back to attached.
sig_type_t verifyForm(unsigned flags)
{
    switch (flags & 0xF0) {
    case 0x00: return SIG_ATTACH;
    case 0x10: return SIG_DETACH;
    default: return SIG_RAW;
    }
}

int verifyDigestNid(unsigned flags)
{
    switch (flags & 0x0F) {
    case 1: return kNidMd2;
    case 3: return kNidMd5;
    case 6: return kNidSha256;
    default: return kNidSha1;
    }
}

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct SM2P7Free {
    void operator()(sm::SM2_P7* p) const { sm::SM2_P7_free(p); }
};

std::unique_ptr<X509, X509Free> decodeX509(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return std::unique_ptr<X509, X509Free>(der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::unique_ptr<sm::SM2_P7, SM2P7Free> decodeSm2P7(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return std::unique_ptr<sm::SM2_P7, SM2P7Free>(
        der.empty() ? nullptr : sm::d2i_SM2_P7(nullptr, &p, static_cast<long>(der.size())));
}

// The message form chosen by the flags around a signature the token made.
void wrapSignature(sig_type_t form, bool sm2, const std::string& msg, const std::string& certDer, int nid,
                   std::string& sig)
{
    if (form == SIG_RAW) return;
    const std::string content = form == SIG_ATTACH ? msg : std::string();
    sig = sm2 ? MakeSM2P7Signed(content, certDer, sig, nid) : MakePKCS7Signed(content, certDer, sig, nid);
}

}  // namespace

CCertificate::CCertificate(bool bsign) : m_bsign(bsign) {}

CCertificate::~CCertificate()
{
    Uninitialize();
    delete m_p11cert;
}

bool CCertificate::InitializeWith(Cert* pcert)
{
    if (pcert != m_p11cert) delete m_p11cert;
    m_p11cert = pcert;
    if (pcert != nullptr) m_openssl.FromDER(pcert->toDer());
    return false;
}

bool CCertificate::InitializeWith(CSKFProvider* skf, std::string con)
{
    m_skf = skf;
    m_skfCon = std::move(con);
    return false;
}

bool CCertificate::valid() const { return m_p11cert != nullptr || m_skf != nullptr; }

bool CCertificate::InitSKF()
{
    if (m_skf == nullptr) return false;
    m_skf->UnInit();
    m_skf->Init("", "", m_skfCon, "");
    std::string der;
    m_skf->ExportCert(der, true);
    m_openssl.FromDER(der);
    return false;
}

bool CCertificate::InitSKF(int eHash)
{
    if (m_skf == nullptr) return false;
    if (eHash == HASH_SM3) {
        m_skf->UnInit();
        m_skf->Init_SM3("", "", m_skfCon, "");
    } else if (eHash == HASH_SHA1 || eHash == HASH_SHA256) {
        m_skf->UnInit();
        m_skf->Init("", "", m_skfCon, "");
    }
    return false;
}

bool CCertificate::BindingMoved() const
{
    return !m_bskf || m_skf->BindingGeneration() != m_bindingGeneration;
}

void CCertificate::MarkBound()
{
    m_bskf = true;
    m_bindingGeneration = m_skf->BindingGeneration();
}

std::string CCertificate::toDer()
{
    if (m_p11cert != nullptr) return m_p11cert->toDer();
    if (m_skf == nullptr) return std::string();
    if (BindingMoved()) {
        InitSKF();
        MarkBound();
    }
    std::string der;
    if (m_skf->ExportCert(der, m_bsign) != 0) der.clear();
    return der;
}

std::string CCertificate::toString()
{
    std::string der;
    if (m_p11cert != nullptr) {
        der = m_p11cert->toDer();
    } else if (m_skf != nullptr) {
        if (BindingMoved()) {
            InitSKF();
            MarkBound();
        }
        if (m_skf->ExportCert(der, true) != 0) der.clear();
    }
    return ICodec::encode(der);
}

bool CCertificate::isgmcert()
{
    std::string der = toDer();
    return !der.empty() && ::isgmcert(der);
}

bool CCertificate::GetInfo(certificate_info_t* p)
{
    if (p == nullptr) return false;
    std::string der;
    if (m_p11cert != nullptr) {
        der = m_p11cert->toDer();
    } else if (m_skf != nullptr) {
        if (BindingMoved()) {
            InitSKF();
            MarkBound();
        }
        if (m_skf->ExportCert(der, true) != 0) {
            der.clear();
            if (m_skf->ExportCert(der, false) != 0) der.clear();
        }
    } else {
        return false;
    }
    GetInfoEx(p, der);
    return true;
}

bool CCertificate::sign(const std::string& msg, unsigned flags, std::string& sig)
{
    if (!valid() || msg.empty()) return false;
    const hash_algo_t eHash = signHash(flags);
    const sig_type_t form = signForm(flags);

    if (m_p11cert != nullptr) {
        int nid = kNidSha1;
        int mech = kCkmSha1;
        switch (eHash) {
        case HASH_MD2: nid = kNidMd2; mech = kCkmMd2; break;
        case HASH_MD5: nid = kNidMd5; mech = kCkmMd5; break;
        case HASH_SM3: nid = kNidSm3; mech = 0; break;
        case HASH_SHA256: nid = kNidSha256; mech = kCkmSha256; break;
        default: break;
        }
        if (m_p11cert->Sign(msg, sig, mech) != 0) return false;
        wrapSignature(form, nid == kNidSm3, msg, toDer(), nid, sig);
        return true;
    }

    if (BindingMoved()) {
        // On first use other hashes keep the binding as it is; once this
        // certificate has opened its container, it must get it back.
        const bool reopens = eHash == HASH_SM3 || eHash == HASH_SHA1 || eHash == HASH_SHA256;
        if (m_bskf && !reopens)
            InitSKF();
        else
            InitSKF(eHash);
        MarkBound();
    }
    // The token's own signing call decides; a refused PIN only shows there.
    ULONG retry = 0;
    m_skf->VerifyPin(1, CSKFProvider::kFixedPin, retry);

    if (eHash == HASH_SM3) {
        ULONG rv;
        if (flags & kFlagSignex)
            rv = m_skf->Signex(sig, msg, false);
        else if (flags & kFlagWdc1)
            rv = m_skf->SignWDC1(sig, msg, false, m_bsign);
        else
            rv = m_skf->Sign(sig, msg, false);
        if (rv != 0) return false;
        wrapSignature(form, true, msg, toDer(), kNidSm3, sig);
        return true;
    }

    ULONG alg = kSkfAlgSha256;
    int nid = kNidSha256WithRsa;
    switch (eHash) {
    case HASH_MD5: alg = kSkfAlgMd5; nid = kNidMd5; break;
    case HASH_SHA1: alg = kSkfAlgSha1; nid = kNidSha1; break;
    case HASH_SHA256: alg = kSkfAlgSha256; nid = kNidSha256; break;
    default: break;
    }
    const ULONG rv = (flags & kFlagWdc1) ? m_skf->SignRsaWDC1(sig, msg, true, alg, m_bsign)
                                         : m_skf->SignRsa(sig, msg, true, alg);
    if (rv != 0) return false;
    wrapSignature(form, false, msg, toDer(), nid, sig);
    return true;
}

bool CCertificate::verify(const std::string& msg, const std::string& sig, unsigned flags)
{
    const sig_type_t form = verifyForm(flags);
    if (isgmcert()) {
        if (form == SIG_RAW) {
            auto x509 = decodeX509(toDer());
            if (!x509 || sig.empty() || msg.empty()) return false;
            // SM2Verify may reverse the halves of the signature in place.
            std::string sigCopy = sig;
            std::string msgCopy = msg;
            return sm::SM2Verify(x509.get(), reinterpret_cast<unsigned char*>(&sigCopy[0]),
                                 static_cast<int>(sigCopy.size()), reinterpret_cast<unsigned char*>(&msgCopy[0]),
                                 static_cast<int>(msgCopy.size())) == 1;
        }
        auto p7 = decodeSm2P7(sig);
        if (!p7) return false;
        if (form == SIG_ATTACH) return SM2P7Verify(p7.get(), nullptr, 0);
        std::string msgCopy = msg;
        return SM2P7Verify(p7.get(), msgCopy.empty() ? nullptr : &msgCopy[0], static_cast<int>(msgCopy.size()));
    }
    if (form == SIG_RAW) {
        if (m_openssl.m_x509 == nullptr) m_openssl.FromDER(toDer());
        return m_openssl.m_x509 != nullptr && m_openssl.HashVerify(verifyDigestNid(flags), sig, msg);
    }
    return PKCS7Verify(sig, msg);
}

bool CCertificate::encrypt(const std::string& msg, unsigned /*flags*/, std::string& cipher)
{
    if (m_p11cert == nullptr) return false;
    return m_p11cert->Encrypt(msg, cipher) == 0;
}

bool CCertificate::decrypt(const std::string& cipher, unsigned /*flags*/, std::string& msg)
{
    if (m_p11cert == nullptr) return false;
    return m_p11cert->Decrypt(cipher, msg) == 0;
}

void CCertificate::Uninitialize() { m_openssl.Destory(); }
