#pragma once
// GM/T 0010 cryptographic message syntax for SM2: the twin of PKCS#7 (RFC 2315)
// whose content types are 1.2.156.10197.6.1.4.2.1-6, and the operations that
// build SM2 signed data. Functions return 1 for success and 0 for failure
// (null for the pointer-returning ones).
//
// Content types are named by the internal numbers of sm_oid.h (961-966); the
// [0] body of an SM2_P7 is chosen by translating the library number of its
// type back to the internal number while encoding and decoding, so the
// library's own numbering of the identifiers does not matter.

#include "SM/sm_oid.h"

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

namespace sm {

struct SM2_P7;

// SEQUENCE { issuer Name, serialNumber INTEGER }
struct SM2_ISSUER_AND_SERIAL {
    X509_NAME* issuer;
    ASN1_INTEGER* serial;
};

// SignerInfo. pkey is not encoded; it is freed with the signer info.
struct SM2_SIGNER_INFO {
    ASN1_INTEGER* version;
    SM2_ISSUER_AND_SERIAL* issuer_and_serial;
    X509_ALGOR* digest_alg;
    STACK_OF(X509_ATTRIBUTE)* auth_attr;  // [0] IMPLICIT, optional
    X509_ALGOR* digest_enc_alg;
    ASN1_OCTET_STRING* enc_digest;
    STACK_OF(X509_ATTRIBUTE)* unauth_attr;  // [1] IMPLICIT, optional
    EVP_PKEY* pkey;
};
DEFINE_STACK_OF(SM2_SIGNER_INFO)

// RecipientInfo. cert is not encoded; it is freed with the recipient info.
struct SM2_RECIP_INFO {
    ASN1_INTEGER* version;
    SM2_ISSUER_AND_SERIAL* issuer_and_serial;
    X509_ALGOR* key_enc_algor;
    ASN1_OCTET_STRING* enc_key;
    X509* cert;
};
DEFINE_STACK_OF(SM2_RECIP_INFO)

// SignedData; encoded in the order version, md_algs, contents, cert, crl,
// signer_info.
struct SM2_SIGNED {
    ASN1_INTEGER* version;
    STACK_OF(X509_ALGOR)* md_algs;
    STACK_OF(X509)* cert;     // [0] IMPLICIT, optional
    STACK_OF(X509_CRL)* crl;  // [1] IMPLICIT, optional
    STACK_OF(SM2_SIGNER_INFO)* signer_info;
    SM2_P7* contents;
};

// EncryptedContentInfo. cipher is not encoded and not owned.
struct SM2_ENC_CONTENT {
    ASN1_OBJECT* content_type;
    X509_ALGOR* algorithm;
    ASN1_OCTET_STRING* enc_data;  // [0] IMPLICIT, optional
    const EVP_CIPHER* cipher;
};

struct SM2_ENVELOPE {
    ASN1_INTEGER* version;
    STACK_OF(SM2_RECIP_INFO)* recipientinfo;
    SM2_ENC_CONTENT* enc_data;
};

// SignedAndEnvelopedData; encoded in the order version, recipientinfo,
// md_algs, enc_data, cert, crl, signer_info.
struct SM2_SIGN_ENVELOPE {
    ASN1_INTEGER* version;
    STACK_OF(X509_ALGOR)* md_algs;
    STACK_OF(X509)* cert;     // [0] IMPLICIT, optional
    STACK_OF(X509_CRL)* crl;  // [1] IMPLICIT, optional
    STACK_OF(SM2_SIGNER_INFO)* signer_info;
    SM2_ENC_CONTENT* enc_data;
    STACK_OF(SM2_RECIP_INFO)* recipientinfo;
};

struct SM2_ENCRYPT {
    ASN1_INTEGER* version;
    SM2_ENC_CONTENT* enc_data;
};

struct SM2_DIGEST {
    ASN1_INTEGER* version;
    X509_ALGOR* md;
    SM2_P7* contents;
    ASN1_OCTET_STRING* digest;
};

// ContentInfo: SEQUENCE { type OBJECT IDENTIFIER, d [0] EXPLICIT ANY DEFINED BY type OPTIONAL }
struct SM2_P7 {
    // Not encoded. asn1 is owned (freed with the structure); detached is set
    // by SM2_P7_ctrl.
    unsigned char* asn1;
    long length;
    int state;
    int detached;

    ASN1_OBJECT* type;
    union {
        char* ptr;
        ASN1_OCTET_STRING* data;                  // 961
        SM2_SIGNED* sign;                         // 962
        SM2_ENVELOPE* enveloped;                  // 963
        SM2_SIGN_ENVELOPE* signed_and_enveloped;  // 964
        SM2_DIGEST* digest;                       // 965
        SM2_ENCRYPT* encrypted;                   // 966
        ASN1_TYPE* other;                         // any other type
    } d;
};

DECLARE_ASN1_FUNCTIONS(SM2_ISSUER_AND_SERIAL)
DECLARE_ASN1_FUNCTIONS(SM2_SIGNER_INFO)
DECLARE_ASN1_FUNCTIONS(SM2_RECIP_INFO)
DECLARE_ASN1_FUNCTIONS(SM2_SIGNED)
DECLARE_ASN1_FUNCTIONS(SM2_ENC_CONTENT)
DECLARE_ASN1_FUNCTIONS(SM2_ENVELOPE)
DECLARE_ASN1_FUNCTIONS(SM2_SIGN_ENVELOPE)
DECLARE_ASN1_FUNCTIONS(SM2_ENCRYPT)
DECLARE_ASN1_FUNCTIONS(SM2_DIGEST)
DECLARE_ASN1_FUNCTIONS(SM2_P7)
DECLARE_ASN1_NDEF_FUNCTION(SM2_P7)
DECLARE_ASN1_PRINT_FUNCTION(SM2_P7)
SM2_P7* SM2_P7_dup(const SM2_P7* p7);

// Attribute sets: SM2_ATTR_SIGN is SET OF Attribute in DER (sorted) order, as
// signed; SM2_ATTR_VERIFY keeps the order received and writes it with the SET
// tag, as needed to check a signature over received attributes.
typedef STACK_OF(X509_ATTRIBUTE) SM2_ATTRIBUTES;
DECLARE_ASN1_FUNCTIONS_name(SM2_ATTRIBUTES, SM2_ATTR_SIGN)
DECLARE_ASN1_FUNCTIONS_name(SM2_ATTRIBUTES, SM2_ATTR_VERIFY)

// Builds the body for an internal content type: 961 an empty OCTET STRING,
// 962 signed data with version 1, 963 enveloped data. A body already present
// is freed first. Other types: 0.
int SM2_P7_set_type(SM2_P7* p7, int type);
// Sets the type (an internal number 958-969 or a library number) and takes
// `other` as the body.
int SM2_P7_set0_type_other(SM2_P7* p7, int type, ASN1_TYPE* other);
// Signed data only: replaces the inner content, taking ownership of p7_data.
int SM2_P7_set_content(SM2_P7* p7, SM2_P7* p7_data);
// A new inner content of `type` for signed data.
int SM2_P7_content_new(SM2_P7* p7, int type);

enum : int {
    SM2_P7_CTRL_SET_DETACHED = 1,
    SM2_P7_CTRL_GET_DETACHED = 2,
};
// Signed data only. SET_DETACHED stores larg and, when non-zero, drops the
// octets of an inner data content; it returns larg. GET_DETACHED returns 1
// when there is no inner content body. Anything else: 0.
long SM2_P7_ctrl(SM2_P7* p7, int cmd, long larg, char* parg);

// Signed data only: lists the signer's digest algorithm in md_algs once (by
// library number, with a NULL parameter) and appends psi, which the structure
// owns on success.
int SM2_P7_add_signer(SM2_P7* p7, SM2_SIGNER_INFO* psi);
// Signed data only: appends a new reference to the certificate / CRL.
int SM2_P7_add_certificate(SM2_P7* p7, X509* x509);
int SM2_P7_add_crl(SM2_P7* p7, X509_CRL* crl);
// The signer infos of signed (962) or signed-and-enveloped (964) data.
STACK_OF(SM2_SIGNER_INFO)* SM2_P7_get_signer_info(SM2_P7* p7);

// The first value of the first attribute whose identifier is that of `nid`
// (958-969 internal, otherwise a library number); null when there is none.
ASN1_TYPE* get_attribute(const STACK_OF(X509_ATTRIBUTE)* sk, int nid);
// The messageDigest attribute (PKCS#9) as an OCTET STRING, or null.
ASN1_OCTET_STRING* SM2_P7_digest_from_attributes(const STACK_OF(X509_ATTRIBUTE)* sk);

// ---- Checking SM2 signatures (sm2_verify.cpp) ------------------------------

// 1 when the first 64 bytes of puchsig (r || s) are an SM2 signature of the
// message (SM3, identity "1234567812345678") by the certificate's key, else 0.
// Fewer than 64 bytes, a missing argument or a non-positive length give 0.
// When the big-endian reading fails, each 32-byte half is reversed in place
// and tried once more, so little-endian r and s also verify and the caller's
// buffer may be left reversed.
int SM2Verify(X509* x509, unsigned char* puchsig, int isiglen, unsigned char* puchmsg, int imsglen);
// One signer of signed (962) or signed-and-enveloped (964) data: 1 when its
// encrypted digest, exactly 64 bytes r || s, verifies over msg with x509's
// key as SM2Verify does (the second attempt reverses the halves inside the
// signer info). The digest is SM3 whatever the signer names. Else 0.
int SM2_P7_signatureVerify(SM2_P7* p7, SM2_SIGNER_INFO* si, X509* x509, unsigned char* msg, int msglen);

}  // namespace sm
