#pragma once
// SM2 (GB/T 32918) on the recommended 256-bit curve: public-key checks, key
// generation, the identity hash Z and message representative e, signatures,
// and public-key encryption with the SM2 key-derivation function.

#include "SM/sm2_asn1.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>

namespace sm {

// Curve parameters of the recommended curve, 32-byte big-endian.
extern const unsigned char EC_SM2_p[32];
extern const unsigned char EC_SM2_a[32];
extern const unsigned char EC_SM2_b[32];
extern const unsigned char EC_SM2_n[32];
extern const unsigned char EC_SM2_Gx[32];
extern const unsigned char EC_SM2_Gy[32];

// Default user identity.
extern const char SM2_DEFAULT_ID[];  // "1234567812345678"

// Per-key curve data.
struct EC_SM2_DATA {
    BIGNUM* EC_p;
    BIGNUM* EC_n;
    EC_POINT* BASE_POINT;
    EC_GROUP* EC_Group;
};

EC_SM2_DATA* ec_sm2_data_new();
void* ec_sm2_data_dup(void* p);
void ec_sm2_data_free(void* p);
EC_SM2_DATA* ec_sm2_check(EC_KEY* key);

BIGNUM* EC_SM2_HashIdMessage(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                             const EVP_MD* md, int flag);
int EC_SM2_HashIdMessage_PreData(X509* cert, const char* id, const unsigned char* message, size_t msgLen,
                                 const EVP_MD* md, unsigned char* puchin, int inlen);
int EC_SM2_sign(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                const EVP_MD* md);
int EC_SM2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
                  const EVP_MD* md);
size_t EC_SM2_encrypt(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md);
size_t EC_SM2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md);
int EC_SM2_generate_key(EC_KEY* sm2);
int EC_SM2_check_key(EC_KEY* sm2);
int KDF(const unsigned char* Z, size_t zLen, unsigned long byteLen, unsigned char* K, const EVP_MD* md);
int Md_bn2bin(const BIGNUM* b, unsigned char* array, int size);
int IsArrayZero(const unsigned char* array, size_t len);

}  // namespace sm
