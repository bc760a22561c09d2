#pragma once
// DER types of the SM2 world (GM/T 0009): signature, cipher text, private key,
// curve parameters.

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/bn.h>

#include <cstdint>

namespace sm {

// SEQUENCE { r INTEGER, s INTEGER }
struct EC_SM2_SIG {
    BIGNUM* r;
    BIGNUM* s;
};

// SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING, ciphertext OCTET STRING }
struct sm2_cipher_struct {
    BIGNUM* x;
    BIGNUM* y;
    ASN1_OCTET_STRING* hash;
    ASN1_OCTET_STRING* ciphertext;
};
typedef sm2_cipher_struct EC_SM2_CIPHER;

// CHOICE { namedCurve OBJECT IDENTIFIER, implicitlyCA NULL }; `type` holds
// the index of the chosen alternative (0 or 1), -1 when none is set.
struct SM2PKPARAMETERS {
    int type;
    union {
        ASN1_OBJECT* named_curve;
        ASN1_NULL* implicitlyCA;
    } value;
};

// SEQUENCE { version INTEGER, privateKey OCTET STRING,
//            parameters [0] EXPLICIT SM2PKPARAMETERS OPTIONAL,
//            publicKey [1] EXPLICIT BIT STRING OPTIONAL }
// The same shape as the EC private key of RFC 5915. version is held as a
// machine integer (0 after SM2_PRIVATEKEY_new; set it to 1 before encoding).
struct SM2_PRIVATEKEY {
    int32_t version;
    ASN1_OCTET_STRING* privateKey;
    SM2PKPARAMETERS* parameters;
    ASN1_BIT_STRING* publicKey;
};

DECLARE_ASN1_FUNCTIONS(EC_SM2_SIG)
DECLARE_ASN1_FUNCTIONS(EC_SM2_CIPHER)
DECLARE_ASN1_FUNCTIONS(SM2PKPARAMETERS)
DECLARE_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

}  // namespace sm
