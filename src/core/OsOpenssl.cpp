// Signed-data messages around a signature the token made: PKCS#7 for RSA,
// GM/T 0010 for SM2; and their verification.

#include "core/OsOpenssl.h"

#include "SM/fp7.h"
#include "SM/sm_oid.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

using Openssl::CPKCS7;
using Openssl::CPKCS7_SIGNER_INFO;
using Openssl::CX509;

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct Sm2P7Free {
    void operator()(sm::SM2_P7* p) const { sm::SM2_P7_free(p); }
};
struct Sm2SignerInfoFree {
    void operator()(sm::SM2_SIGNER_INFO* p) const { sm::SM2_SIGNER_INFO_free(p); }
};

constexpr int kRsaEncryption = NID_rsaEncryption;  // 6

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

X509Ptr decodeCertificate(const std::string& der)
{
    const unsigned char* p = bytes(der);
    return X509Ptr(der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Detached signed data still needs an inner content info, and OpenSSL 3.0
// neither writes one without a type nor reads back an empty SEQUENCE. A
// content info whose type is the one-byte identifier 0.0 and that carries no
// content encodes as 30 03 06 01 00, reads back as detached, and is accepted
// by the usual verifiers.
int markWithoutContent(PKCS7* p7)
{
    PKCS7* inner = p7->d.sign->contents;
    if (inner == nullptr) {
        return 0;
    }
    ASN1_OBJECT* none = OBJ_txt2obj("0.0", 1);
    if (none == nullptr) {
        return 0;
    }
    ASN1_OBJECT_free(inner->type);
    inner->type = none;
    return 1;
}

// The certificate of the message's list with the signer's issuer and serial
// number, or null. Borrowed from the message.
X509* signerCertificate(const STACK_OF(X509)* certs, const sm::SM2_SIGNER_INFO* si)
{
    const sm::SM2_ISSUER_AND_SERIAL* ias = si != nullptr ? si->issuer_and_serial : nullptr;
    if (ias == nullptr || ias->issuer == nullptr || ias->serial == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* x = sk_X509_value(certs, i);
        if (X509_NAME_cmp(X509_get_issuer_name(x), ias->issuer) == 0 &&
            ASN1_INTEGER_cmp(X509_get0_serialNumber(x), ias->serial) == 0) {
            return x;
        }
    }
    return nullptr;
}

}  // namespace

void COpensslCertificate::FromDER(const std::string& der)
{
    CX509 decoded = CX509::FromDER(bytes(der), static_cast<long>(der.size()));
    Destory();
    m_x509 = decoded.Detach();
}

std::string MakePKCS7Signed(const std::string& raw_text, const std::string& certificate, const std::string& raw_sign,
                            int hash_nid)
{
    X509Ptr owned = decodeCertificate(certificate);
    if (!owned) {
        return {};
    }
    // A view: CX509 never frees what it holds on destruction.
    const CX509 cert(owned.get(), true);

    CPKCS7 p7;
    if (!p7.set_type(NID_pkcs7_signed)) {
        return {};
    }
    if (raw_text.empty()) {
        if (!p7.set_detached() || !markWithoutContent(p7)) {
            return {};
        }
    } else if (!p7.set_sign_content(raw_text)) {
        return {};
    }
    if (!p7.add_certificate(cert)) {
        return {};
    }
    CPKCS7_SIGNER_INFO si;
    if (!si.set_digest_alg(hash_nid) || !si.set_digest_enc_alg(kRsaEncryption) || !si.set_enc_digest(raw_sign) ||
        si.set_issuer_and_serial(cert) != 1 || !p7.add_signer(si)) {
        return {};
    }
    return p7.toDER();
}

std::string MakeSM2P7Signed(const std::string& raw_text, const std::string& certificate, const std::string& raw_sign,
                            int /*hash_nid: the digest of this form is always SM3*/)
{
    X509Ptr cert = decodeCertificate(certificate);
    if (!cert || raw_text.size() > static_cast<size_t>(INT_MAX) || raw_sign.size() > static_cast<size_t>(INT_MAX)) {
        return {};
    }
    std::unique_ptr<sm::SM2_P7, Sm2P7Free> p7(sm::SM2_P7_new());
    if (!p7 || !sm::SM2_P7_set_type(p7.get(), sm::NID_internal_sm2p7signed)) {
        return {};
    }
    if (raw_text.empty()) {
        sm::SM2_P7_ctrl(p7.get(), sm::SM2_P7_CTRL_SET_DETACHED, 1, nullptr);
    } else if (!sm::SM2_P7_content_new(p7.get(), sm::NID_internal_sm2p7data) ||
               !ASN1_OCTET_STRING_set(p7->d.sign->contents->d.data, bytes(raw_text),
                                      static_cast<int>(raw_text.size()))) {
        return {};
    }
    if (!sm::SM2_P7_add_certificate(p7.get(), cert.get())) {
        return {};
    }

    std::unique_ptr<sm::SM2_SIGNER_INFO, Sm2SignerInfoFree> si(sm::SM2_SIGNER_INFO_new());
    if (!si) {
        return {};
    }
    ASN1_OBJECT* sm3 = sm::SM2_OBJ_nid2obj(sm::NID_internal_sm3);
    ASN1_OBJECT* sm2 = sm::SM2_OBJ_nid2obj(sm::NID_internal_sm2);
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert.get()));
    if (serial == nullptr) {
        return {};
    }
    sm::SM2_ISSUER_AND_SERIAL* ias = si->issuer_and_serial;
    ASN1_INTEGER_free(ias->serial);
    ias->serial = serial;
    if (sm3 == nullptr || sm2 == nullptr || !ASN1_INTEGER_set(si->version, 1) ||
        !X509_ALGOR_set0(si->digest_alg, sm3, V_ASN1_NULL, nullptr) ||
        !X509_ALGOR_set0(si->digest_enc_alg, sm2, V_ASN1_NULL, nullptr) ||
        !ASN1_OCTET_STRING_set(si->enc_digest, bytes(raw_sign), static_cast<int>(raw_sign.size())) ||
        !X509_NAME_set(&ias->issuer, X509_get_issuer_name(cert.get()))) {
        return {};
    }
    if (!sm::SM2_P7_add_signer(p7.get(), si.get())) {
        return {};
    }
    si.release();  // the message owns it now

    const int len = sm::i2d_SM2_P7(p7.get(), nullptr);
    if (len <= 0) {
        return {};
    }
    std::string der(static_cast<size_t>(len), '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&der[0]);
    if (sm::i2d_SM2_P7(p7.get(), &out) != len) {
        return {};
    }
    return der;
}

bool Openssl::CPKCS7::Verify(const std::string* ptbs) const
{
    if (type() != NID_pkcs7_signed || m_p7->d.sign == nullptr) {
        return false;
    }
    const STACK_OF(X509)* certs = m_p7->d.sign->cert;
    if (sk_X509_num(certs) <= 0) {
        return false;
    }
    std::string tbs;
    if (!detached()) {
        tbs = sign_content();
    } else if (ptbs != nullptr) {
        tbs = *ptbs;
    }

    // Only the first signer counts, and only in version 1.
    int hashNid = NID_sha1;
    std::string sig;
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(m_p7);
    if (sk_PKCS7_SIGNER_INFO_num(signers) > 0) {
        const PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
        if (si->version != nullptr && ASN1_INTEGER_get(si->version) == 1) {
            if (si->enc_digest != nullptr) {
                sig.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(si->enc_digest)),
                           static_cast<size_t>(ASN1_STRING_length(si->enc_digest)));
            }
            if (si->digest_alg != nullptr) {
                hashNid = OBJ_obj2nid(si->digest_alg->algorithm);
            }
        }
    }

    // The signer's certificate is not matched against its issuer and serial:
    // the first certificate is the signer's in the messages this system makes.
    CX509 cert(sk_X509_value(certs, 0), false);  // a copy of its own
    const bool ok = cert.HashVerify(hashNid, sig, tbs);
    cert.Destory();
    return ok;
}

bool PKCS7Verify(const std::string& p7sig, const std::string& msg)
{
    const CPKCS7 p7 = CPKCS7::FromDER(bytes(p7sig), static_cast<long>(p7sig.size()));
    return p7.Verify(&msg);
}

bool SM2P7Verify(sm::SM2_P7* sm2p7, char* msg, int msglen)
{
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    auto* signers = sm::SM2_P7_get_signer_info(sm2p7);
    if (signers == nullptr || sm::sk_SM2_SIGNER_INFO_num(signers) <= 0) {
        return false;
    }
    const int type = sm::translateinternalnid(OBJ_obj2nid(sm2p7->type));
    const STACK_OF(X509)* certs =
        type == sm::NID_internal_sm2p7signed ? sm2p7->d.sign->cert : sm2p7->d.signed_and_enveloped->cert;
    // Attached content of signed data, if any.
    const ASN1_OCTET_STRING* attached = nullptr;
    if (type == sm::NID_internal_sm2p7signed) {
        const sm::SM2_P7* inner = sm2p7->d.sign->contents;
        if (inner != nullptr && inner->type != nullptr &&
            sm::translateinternalnid(OBJ_obj2nid(inner->type)) == sm::NID_internal_sm2p7data &&
            inner->d.data != nullptr && ASN1_STRING_length(inner->d.data) > 0) {
            attached = inner->d.data;
        }
    }

    unsigned char* text = reinterpret_cast<unsigned char*>(msg);
    int textlen = msglen;
    bool verified = false;
    for (int i = 0; i < sm::sk_SM2_SIGNER_INFO_num(signers); ++i) {
        sm::SM2_SIGNER_INFO* si = sm::sk_SM2_SIGNER_INFO_value(signers, i);
        X509* cert = signerCertificate(certs, si);
        // Never read msg[0] of an empty message.
        const bool noMessage = text == nullptr || textlen <= 0 || text[0] == 0;
        if (noMessage && attached != nullptr) {
            text = attached->data;
            textlen = attached->length;
        }
        if (cert != nullptr && sm::SM2_P7_signatureVerify(sm2p7, si, cert, text, textlen) == 1) {
            verified = true;
        }
    }
    return verified;
}
