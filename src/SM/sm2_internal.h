#pragma once
// Internal seams of the SM2 core, for the SM layer and its tests only.
//
// Every operation exists twice: the default one runs on the dedicated
// arithmetic of sm2_fast.cpp, the one in namespace sm::ref runs the same steps
// on the crypto library's BIGNUM/EC_POINT arithmetic over the key's
// EC_SM2_DATA. Both are tested against the same vectors.

#include "SM/sm2.h"

#include <openssl/crypto.h>

#include <cstddef>

namespace sm {

// Which point arithmetic an operation runs on.
enum class Sm2Arith { Fast, Reference };

// Affine point as 32-byte big-endian x followed by 32-byte y.
constexpr size_t SM2_POINT_BYTES = 64;
constexpr size_t SM2_SCALAR_BYTES = 32;

// The operations with the arithmetic chosen and, for signing and encryption,
// an optional fixed k (a known-answer seam: with k given, a k that the
// algorithm would reject makes the call fail instead of drawing again).
BIGNUM* sm2_hash_id_message(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                            const EVP_MD* md, int flag, Sm2Arith arith);
int sm2_sign_with_k(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                    const EVP_MD* md, const BIGNUM* fixed_k, Sm2Arith arith);
int sm2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
               const EVP_MD* md, Sm2Arith arith);
size_t sm2_encrypt_with_k(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md,
                          const BIGNUM* fixed_k, Sm2Arith arith);
size_t sm2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md,
                   Sm2Arith arith);
int sm2_generate_key(EC_KEY* sm2, Sm2Arith arith);
int sm2_check_key(EC_KEY* sm2, Sm2Arith arith);

// Shared pieces of the SM2 units (sm2.cpp, sm2_crypt.cpp, sm2_key.cpp,
// sm2_arith.cpp).
namespace detail {

constexpr size_t kC1Len = 1 + SM2_POINT_BYTES;  // 0x04 || x || y

// Outcome of a point multiplication, in the signing result codes.
enum MulResult : int { MUL_OK = 1, MUL_FAILED = -2, MUL_AT_INFINITY = -3 };

// Clears a secret buffer on every way out of a scope.
struct Wipe {
    unsigned char* p;
    size_t n;
    ~Wipe() { OPENSSL_cleanse(p, n); }
};

// Point multiplications on the chosen arithmetic; results are affine x || y.
MulResult mul_base(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k, unsigned char out[SM2_POINT_BYTES]);
// k1*G and k2*G; the dedicated arithmetic shares one inversion between them.
MulResult mul_base_pair(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k1, const BIGNUM* k2,
                        unsigned char out1[SM2_POINT_BYTES], unsigned char out2[SM2_POINT_BYTES]);
// k*P for a point already known to be valid.
MulResult mul_point(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k, const unsigned char P[SM2_POINT_BYTES],
                    unsigned char out[SM2_POINT_BYTES]);
// s*G + t*P for public s, t and a valid P.
MulResult mul_double(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* s, const BIGNUM* t,
                     const unsigned char P[SM2_POINT_BYTES], unsigned char out[SM2_POINT_BYTES]);
// x < p, y < p and on the curve.
bool point_is_valid(const EC_SM2_DATA* data, Sm2Arith arith, const unsigned char P[SM2_POINT_BYTES]);

// The key's public point as x || y (affine, from the key's own group).
bool public_point_bytes(EC_KEY* key, unsigned char out[SM2_POINT_BYTES]);
// k uniform in [1, n) from the library's private generator, or the fixed k
// when it lies in that range.
bool draw_k(const BIGNUM* fixed_k, const BIGNUM* n, BIGNUM* k);
// The digest's output size, 0 for an unusable digest.
int digest_size(const EVP_MD* md);

}  // namespace detail

namespace ref {
BIGNUM* EC_SM2_HashIdMessage(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                             const EVP_MD* md, int flag);
int EC_SM2_sign(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                const EVP_MD* md);
int EC_SM2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
                  const EVP_MD* md);
size_t EC_SM2_encrypt(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md);
size_t EC_SM2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md);
int EC_SM2_generate_key(EC_KEY* sm2);
int EC_SM2_check_key(EC_KEY* sm2);
}  // namespace ref

// The dedicated arithmetic (sm2_fast.cpp). Scalars are 32-byte big-endian
// and may be any value below 2^256; points are affine x || y. Results that
// would be the point at infinity make the call return false.
namespace fast {
// x < p, y < p and y^2 = x^3 + ax + b.
bool point_is_valid(const unsigned char P[SM2_POINT_BYTES]);
// k*G, constant time in k.
bool mul_base(const unsigned char k[SM2_SCALAR_BYTES], unsigned char out[SM2_POINT_BYTES]);
// k1*G and k2*G with one shared inversion, constant time in both.
bool mul_base_pair(const unsigned char k1[SM2_SCALAR_BYTES], const unsigned char k2[SM2_SCALAR_BYTES],
                   unsigned char out1[SM2_POINT_BYTES], unsigned char out2[SM2_POINT_BYTES]);
// k*P for a valid P, constant time in k.
bool mul_point(const unsigned char k[SM2_SCALAR_BYTES], const unsigned char P[SM2_POINT_BYTES],
               unsigned char out[SM2_POINT_BYTES]);
// s*G + t*P for a valid P; public scalars only (variable time).
bool mul_double(const unsigned char s[SM2_SCALAR_BYTES], const unsigned char t[SM2_SCALAR_BYTES],
                const unsigned char P[SM2_POINT_BYTES], unsigned char out[SM2_POINT_BYTES]);
}  // namespace fast

}  // namespace sm
