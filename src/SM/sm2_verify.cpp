// Raw SM2 signatures (r || s) checked against a certificate's key, alone and
// as one signer of GM/T 0010 signed data.

#include "SM/fp7.h"
#include "SM/sm2_lib.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstddef>
#include <memory>

namespace sm {

namespace {

struct EcKeyFree {
    void operator()(EC_KEY* k) const { EC_KEY_free(k); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

constexpr size_t kHalf = SM2_RAW_SIG_LEN / 2;

// sig holds at least 64 bytes. The SM2 method's defaults (SM3, identity
// "1234567812345678") are what the tokens sign with, so nothing is set on the
// context. Some tokens hand out r and s little-endian: when the first attempt
// fails, each half is reversed in place and tried once more.
int verifyWithCertificate(X509* x509, unsigned char* sig, const unsigned char* msg, size_t msglen)
{
    std::unique_ptr<EC_KEY, EcKeyFree> ec(EC_KEY_from_X509(x509));
    if (!ec) {
        return 0;
    }
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(EVP_PKEY_SM2_init(ec.get()));
    if (!pkey) {
        return 0;
    }
    ec.release();  // the key object holds it now
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) {
        return 0;
    }
    if (EVP_PKEY_verify(ctx.get(), sig, SM2_RAW_SIG_LEN, msg, msglen) > 0) {
        return 1;
    }
    std::reverse(sig, sig + kHalf);
    std::reverse(sig + kHalf, sig + SM2_RAW_SIG_LEN);
    return EVP_PKEY_verify(ctx.get(), sig, SM2_RAW_SIG_LEN, msg, msglen) > 0 ? 1 : 0;
}

}  // namespace

int SM2Verify(X509* x509, unsigned char* puchsig, int isiglen, unsigned char* puchmsg, int imsglen)
{
    if (x509 == nullptr || puchsig == nullptr || puchmsg == nullptr || isiglen <= 0 || imsglen <= 0 ||
        static_cast<size_t>(isiglen) < SM2_RAW_SIG_LEN) {
        return 0;
    }
    return verifyWithCertificate(x509, puchsig, puchmsg, static_cast<size_t>(imsglen));
}

int SM2_P7_signatureVerify(SM2_P7* p7, SM2_SIGNER_INFO* si, X509* x509, unsigned char* msg, int msglen)
{
    if (msg == nullptr || msglen <= 0 || p7 == nullptr || p7->type == nullptr || si == nullptr) {
        return 0;
    }
    const int type = translateinternalnid(OBJ_obj2nid(p7->type));
    if (type != NID_internal_sm2p7signed && type != NID_internal_sm2p7signenvdata) {
        return 0;
    }
    // Only the raw form r || s is accepted here; the digest is SM3 whatever
    // the signer names.
    ASN1_OCTET_STRING* sig = si->enc_digest;
    if (sig == nullptr || static_cast<size_t>(ASN1_STRING_length(sig)) != SM2_RAW_SIG_LEN) {
        return 0;
    }
    return verifyWithCertificate(x509, sig->data, msg, static_cast<size_t>(msglen));
}

}  // namespace sm
