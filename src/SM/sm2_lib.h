#pragma once
// SM2 keys as ordinary keys of the crypto library.
//
// An SM2 key is an EC_KEY on the SM2 named group, marked with EC_FLAG_SM2 and
// wrapped by EVP_PKEY_SM2_init into an EVP_PKEY that carries its own "sm2"
// engine. The engine hands out the SM2 key-operation method, so the generic
// EVP_PKEY_sign/verify/encrypt/decrypt calls on such a key run the SM2 core
// (sm2.h) with the system's SM3.
//
// Keys on the named group are written by the library itself as
// SubjectPublicKeyInfo {id-ecPublicKey, 1.2.156.10197.1.301} + the 65-byte
// point. The ASN.1 method below produces the same encoding; it is built for
// callers that want it explicitly and is never registered with the library
// (a globally registered EC ASN.1 method takes over the decoding of every EC
// key, P-256 included).
//
// All functions return 1 for success and 0 for failure unless stated; the
// constructors return null on failure.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <optional>
#include <string>

namespace sm {

// Key flag marking an SM2 key; no flag of the crypto library uses bit 16.
constexpr unsigned int EC_FLAG_SM2 = 0x10000;

// Longest user identity: ENTL, its length in bits, is a 16-bit number
// (GB/T 32918.2).
constexpr size_t SM2_MAX_ID_LEN = 8191;

// Length of the raw signature form r || s, each 32 bytes big-endian.
constexpr size_t SM2_RAW_SIG_LEN = 64;

// ---- Key construction ------------------------------------------------------

// Puts sm2 (or a new key when sm2 is null) on the SM2 group, attaches the
// curve data and sets EC_FLAG_SM2. Returns the key; null when a new key cannot
// be made or the group cannot be set (a given key is then not freed).
EC_KEY* EC_KEY_SM2_init(EC_KEY* sm2);
// 1 when the key carries EC_FLAG_SM2, else 0 (also for null).
int EC_KEY_is_sm2(const EC_KEY* ec);
// A new SM2 key with public point (x, y) and, when priv_key is given, that
// private key. The public point must pass EC_SM2_check_key; null otherwise.
EC_KEY* EC_KEY_from_BN(const BIGNUM* x, const BIGNUM* y, const BIGNUM* priv_key);
// A new SM2 key holding only priv_key: no public point, no check.
EC_KEY* EC_KEY_from_BN_EX(const BIGNUM* priv_key);
// The SM2 key of a certificate: its public-key bit string is read as one
// format byte, x (bytes 1..32) and y (bytes 33..64). Null for a null
// certificate, a bit string shorter than 65 bytes, or a point that fails
// EC_SM2_check_key.
EC_KEY* EC_KEY_from_X509(X509* x509);

// A new EVP_PKEY holding sm2, bound to a new "sm2" engine so that contexts
// made with EVP_PKEY_CTX_new(pkey, NULL) use the SM2 key-operation method.
// On success the key takes over the caller's reference to sm2; on failure
// (null returned) the caller still owns sm2.
EVP_PKEY* EVP_PKEY_SM2_init(EC_KEY* sm2);

// Digest (default: the system's SM3) and user identity (default: none, so the
// SM2 core uses "1234567812345678"; null restores that) of a context using the
// SM2 method. The identity is copied. They go through the library's control
// dispatch (EVP_PKEY_CTRL_MD, EVP_PKEY_CTRL_SET1_ID), so a context of another
// method gets the library's meaning of those controls, never a write into
// data of another type. The library's rules apply: the digest can be set
// once an operation is initialised, the identity at any time. 1, or 0 when
// the context refuses (md null, no operation yet for md, identity longer
// than SM2_MAX_ID_LEN, a method without these controls).
int EVP_PKEY_CTX_set_md(EVP_PKEY_CTX* ctx, const EVP_MD* md);
int EVP_PKEY_CTX_set_id(EVP_PKEY_CTX* ctx, const char* id);

// The library's release of its extra-data tables (a no-op in 3.0, where they
// are released at exit).
void EVP_sm2_cleanup();

// ---- Engine (sm2_engine.cpp, the only unit that touches ENGINE) ------------

// A new engine "sm2" ("sm2 support") offering the SM2 key-operation method for
// the key types of SM2 keys: the library's SM2 number (an EC_KEY on the SM2
// group assigned to an EVP_PKEY becomes that type) and EVP_PKEY_EC. Null on
// failure. The caller owns the structural reference.
ENGINE* engine_sm2();
// Sets identifier, name, destroy/init/finish functions and the method table.
int bind_sm2(ENGINE* e);
// Binds pkey's key operations to a new sm2 engine (EVP_PKEY_SM2_init's step).
int sm2_engine_attach(EVP_PKEY* pkey);
// Builds one engine and adds it to the library's engine list; clears the
// error queue (a second call finds the identifier taken).
void ENGINE_load_sm2();

// ---- Key-operation method (sm2_pmeth.cpp) ---------------------------------

// Data of a context using the SM2 method.
struct EC_SM2_PKEY_CTX {
    std::optional<std::string> id;  // none: the SM2 core's default identity
    const EVP_MD* md;
};

const char* pkey_sm2_get_default_id();   // null
const EVP_MD* pkey_sm2_get_default_md();  // the system's SM3

// A new key-operation method for key type id (0: the library's number of
// SM2), with init, cleanup, copy, ctrl, sign, verify, encrypt and decrypt.
// The caller owns it (EVP_PKEY_meth_free).
EVP_PKEY_METHOD* sm2_pmeth_new(int id = 0);

int pkey_sm2_init(EVP_PKEY_CTX* ctx);
void pkey_sm2_cleanup(EVP_PKEY_CTX* ctx);
// Needed by EVP_DigestSignFinal/EVP_DigestVerifyFinal, which sign on a copy.
int pkey_sm2_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src);
// EVP_PKEY_CTRL_MD sets the digest, EVP_PKEY_CTRL_GET_MD reads it,
// EVP_PKEY_CTRL_SET1_ID sets the identity (p1 bytes at p2; p2 null: default),
// EVP_PKEY_CTRL_DIGESTINIT is accepted; anything else -2.
int pkey_sm2_ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2);
// Verify/encrypt init: 1 when the key's public point passes EC_SM2_check_key.
int pkey_sm2_encrypt_init(EVP_PKEY_CTX* ctx);
// Sign/decrypt init: 1 when the key has a private key.
int pkey_sm2_decrypt_init(EVP_PKEY_CTX* ctx);
// tbs is the message: the core hashes Z || tbs. Through EVP_DigestSign and
// EVP_DigestVerify the library passes the digest of the data as tbs, so those
// signatures are SM2 signatures of that digest, not of the data.
// With sig null *siglen = 64 and 1; otherwise 64 bytes r || s when *siglen is
// at least 64 (else 0); a failing core result is passed on.
int pkey_sm2_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs, size_t tbslen);
// Reads r || s from the first 64 bytes of sig (more bytes are ignored, fewer
// give 0); the core's result 1, 0 or -1.
int pkey_sm2_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs,
                    size_t tbslen);
// *outlen = the needed length when out is null, the written length, or 0 when
// the core refuses (empty message, tampered cipher text): result 1. Result 0
// without a key or when *outlen is smaller than the needed length.
int pkey_sm2_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen);
int pkey_sm2_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen);

// ---- ASN.1 method (sm2_pameth.cpp) ----------------------------------------

// A new ASN.1 method for the library's SM2 key type ("SM2", "SM2 algorithm")
// with the functions below. Not registered; the caller owns it
// (EVP_PKEY_asn1_free).
EVP_PKEY_ASN1_METHOD* sm2_pameth_new();

// AlgorithmIdentifier parameter of a key: OBJECT 1.2.156.10197.1.301 for an
// SM2-flagged key, explicit ECParameters (SEQUENCE) for any other; 0 for a key
// without group. *ppval is an ASN1_OBJECT or ASN1_STRING the caller owns.
int eckey_sm2_param2type(int* pptype, void** ppval, const EC_KEY* ec_key);
// Inverse: SEQUENCE -> explicit group, OBJECT -> a named curve the library
// knows (the SM2 identifier gives an SM2-flagged key). A new EC_KEY or null.
EC_KEY* eckey_sm2_type2param(int ptype, const void* pval);

int eckey_sm2_pub_encode(X509_PUBKEY* pk, const EVP_PKEY* pkey);
int eckey_sm2_pub_decode(EVP_PKEY* pkey, const X509_PUBKEY* pubkey);
// 1 equal points, 0 different, -2 on error.
int eckey_sm2_pub_cmp(const EVP_PKEY* a, const EVP_PKEY* b);
int eckey_sm2_priv_decode(EVP_PKEY* pkey, const PKCS8_PRIV_KEY_INFO* p8);
int eckey_sm2_priv_encode(PKCS8_PRIV_KEY_INFO* p8, const EVP_PKEY* pkey);
int int_ec_sm2_size(const EVP_PKEY* pkey);
int ec_bits(const EVP_PKEY* pkey);
int ec_sm2_missing_parameters(const EVP_PKEY* pkey);
int ec_sm2_copy_parameters(EVP_PKEY* to, const EVP_PKEY* from);
int ec_sm2_cmp_parameters(const EVP_PKEY* a, const EVP_PKEY* b);
int eckey_sm2_param_decode(EVP_PKEY* pkey, const unsigned char** pder, int derlen);
int eckey_sm2_param_encode(const EVP_PKEY* pkey, unsigned char** pder);
int eckey_sm2_param_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX* ctx);
int eckey_sm2_pub_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX* ctx);
int eckey_sm2_priv_print(BIO* bp, const EVP_PKEY* pkey, int indent, ASN1_PCTX* ctx);
void int_ec_sm2_free(EVP_PKEY* pkey);
// PKCS#7 (1) / CMS (5) sign with arg1 0: the signer's signature algorithm
// becomes the library's identifier for digest and key type; default digest
// (3): NID_sha1, result 2; other operations -2.
int ec_sm2_pkey_ctrl(EVP_PKEY* pkey, int op, long arg1, void* arg2);
// Raw ECPrivateKey DER.
int old_ec_sm2_priv_decode(EVP_PKEY* pkey, const unsigned char** pder, int derlen);
int old_ec_sm2_priv_encode(const EVP_PKEY* pkey, unsigned char** pder);

}  // namespace sm
