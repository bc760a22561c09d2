#pragma once
// DER types of the SM2 world (GM/T 0009): signature, cipher text, private key,
// curve parameters.

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/bn.h>

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

DECLARE_ASN1_FUNCTIONS(EC_SM2_SIG)
DECLARE_ASN1_FUNCTIONS(EC_SM2_CIPHER)

}  // namespace sm
