// The token's cryptography: OpenSSL 3's own SM2, SM3, SM4 and RSA through the
// default provider. Deliberately independent of the service's SM code, so that
// whatever the service verifies was produced by a different implementation.
#pragma once

#include "ossl.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace softskf::crypto {

using Bytes = std::vector<std::uint8_t>;

// Any OpenSSL failure or malformed key material.
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class KeyAlg { SM2, RSA };

// The identity every SM2 signature of the token uses unless told otherwise.
inline const std::string kDefaultSm2Id = "1234567812345678";

ossl::Pkey GenerateSm2();
ossl::Pkey GenerateRsa(unsigned bits);

// PKCS#8 PEM, unencrypted: the store's form of a private key.
std::string PrivateKeyToPem(EVP_PKEY* key);
// Accepts PEM (PKCS#8 or traditional) or DER private keys.
ossl::Pkey PrivateKeyFromBytes(const Bytes& pemOrDer);
// SubjectPublicKeyInfo DER.
Bytes PublicKeyDer(EVP_PKEY* key);
ossl::Pkey PublicKeyFromDer(const Bytes& der);

// SM2 when the key is on the SM2 curve, RSA for RSA; anything else throws.
KeyAlg AlgOf(EVP_PKEY* key);
unsigned RsaBits(EVP_PKEY* key);
bool SamePublicKey(EVP_PKEY* a, EVP_PKEY* b);

// --- SM2 ---------------------------------------------------------------
struct Sm2Point {
    std::uint8_t x[32];
    std::uint8_t y[32];
};
Sm2Point Sm2PublicPoint(EVP_PKEY* key);
ossl::Pkey Sm2FromPublic(const Sm2Point& point);
// Derives the public point from the scalar; 0 and values >= n are refused.
ossl::Pkey Sm2FromPrivate(const std::uint8_t d[32]);
// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA).
Bytes Sm2Z(const Sm2Point& point, const Bytes& id);
// Signs a 32-byte digest e; returns r || s, 32 bytes each.
Bytes Sm2SignDigest(EVP_PKEY* key, const Bytes& digest);
// Decrypts C1 (x, y), C3 (hash) and C2 (cipher) with the private key.
Bytes Sm2Decrypt(EVP_PKEY* key, const std::uint8_t x[32], const std::uint8_t y[32],
                 const std::uint8_t hash[32], const Bytes& cipher);

// --- RSA ---------------------------------------------------------------
// Big-endian magnitudes without leading zeros.
struct RsaParts {
    Bytes n, e, d, p, q, dp, dq, qinv;
};
RsaParts RsaComponents(EVP_PKEY* key, bool withPrivate);
ossl::Pkey RsaFromParts(const RsaParts& parts);
// PKCS#1 v1.5 type 1 padding over the given bytes (normally a DigestInfo).
Bytes RsaSignPkcs1(EVP_PKEY* key, const Bytes& digestInfo);
Bytes RsaDecryptPkcs1(EVP_PKEY* key, const Bytes& cipher);

// --- hashes and SM4 ------------------------------------------------------
Bytes Digest(const EVP_MD* md, const std::uint8_t* data, std::size_t len);
Bytes Sm4EcbDecryptRaw(const Bytes& key16, const Bytes& data);  // no padding
Bytes RandomBytes(std::size_t n);

}  // namespace softskf::crypto
