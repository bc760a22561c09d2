// SM2 on the recommended curve: the identity hash Z and message
// representative e, signatures (GB/T 32918.2-2016) and the public entry
// points. The steps are written once; the point multiplications run on the
// dedicated arithmetic by default, or on the crypto library's EC_POINT
// arithmetic over the key's EC_SM2_DATA (the readable reference, sm::ref).

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_lib.h"
#include "SM/sm2_util.h"

#include <cstring>

namespace sm {

using detail::BnCtxPtr;
using detail::BnPtr;
using detail::digest_size;
using detail::draw_k;
using detail::MdCtxPtr;
using detail::mul_base;
using detail::mul_base_pair;
using detail::mul_double;
using detail::MUL_OK;
using detail::MulResult;
using detail::point_is_valid;
using detail::public_point_bytes;
using detail::SecretBnPtr;

// ---- Z and e (GB/T 32918.2-2016, 5.5 and 6.1 A1-A2) ----------------------

namespace {

constexpr size_t kMaxIdLen = 8191;  // ENTL is 16 bits of bit length

// Z = H(ENTL || ID || a || b || xG || yG || xA || yA) for the public point
// xA || yA; writes the digest-size bytes of Z.
bool compute_z(const char* id, const unsigned char pub[SM2_POINT_BYTES], const EVP_MD* md, EVP_MD_CTX* ctx,
               unsigned char* z)
{
    if (id == nullptr) {
        id = SM2_DEFAULT_ID;
    }
    const size_t idLen = strlen(id);
    if (idLen > kMaxIdLen) {
        return false;
    }
    const unsigned entl = static_cast<unsigned>(idLen * 8);
    const unsigned char entlBytes[2] = {static_cast<unsigned char>(entl >> 8), static_cast<unsigned char>(entl)};
    return EVP_DigestInit_ex(ctx, md, nullptr) == 1 && EVP_DigestUpdate(ctx, entlBytes, 2) == 1 &&
           EVP_DigestUpdate(ctx, id, idLen) == 1 && EVP_DigestUpdate(ctx, EC_SM2_a, 32) == 1 &&
           EVP_DigestUpdate(ctx, EC_SM2_b, 32) == 1 && EVP_DigestUpdate(ctx, EC_SM2_Gx, 32) == 1 &&
           EVP_DigestUpdate(ctx, EC_SM2_Gy, 32) == 1 && EVP_DigestUpdate(ctx, pub, SM2_POINT_BYTES) == 1 &&
           EVP_DigestFinal_ex(ctx, z, nullptr) == 1;
}

// e = H(Z || M)
BIGNUM* hash_e(const char* id, const unsigned char pub[SM2_POINT_BYTES], const unsigned char* message,
               size_t msgLen, const EVP_MD* md)
{
    const int mdSize = digest_size(md);
    if (mdSize == 0 || (message == nullptr && msgLen > 0)) {
        return nullptr;
    }
    MdCtxPtr ctx(EVP_MD_CTX_new());
    unsigned char z[EVP_MAX_MD_SIZE];
    unsigned char e[EVP_MAX_MD_SIZE];
    if (!ctx || !compute_z(id, pub, md, ctx.get(), z)) {
        return nullptr;
    }
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(ctx.get(), z, mdSize) != 1 ||
        EVP_DigestUpdate(ctx.get(), message, msgLen) != 1 || EVP_DigestFinal_ex(ctx.get(), e, nullptr) != 1) {
        return nullptr;
    }
    return BN_bin2bn(e, mdSize, nullptr);
}

}  // namespace

BIGNUM* sm2_hash_id_message(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                            const EVP_MD* md, int flag, Sm2Arith arith)
{
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    if (data == nullptr) {
        return nullptr;
    }
    unsigned char pub[SM2_POINT_BYTES];
    if (flag != 0) {
        if (!public_point_bytes(sm2, pub)) {
            return nullptr;
        }
    } else {
        // Signing: the public point is recomputed as d*G from the private key.
        const BIGNUM* d = EC_KEY_get0_private_key(sm2);
        if (d == nullptr || mul_base(data, arith, d, pub) != MUL_OK) {
            return nullptr;
        }
    }
    return hash_e(id, pub, message, msgLen, md);
}

int EC_SM2_HashIdMessage_PreData(X509* cert, const char* id, const unsigned char* message, size_t msgLen,
                                 const EVP_MD* md, unsigned char* puchin, int inlen)
{
    const int mdSize = digest_size(md);
    // Z || M must fit: inlen >= digest size + msgLen, written without overflow.
    if (puchin == nullptr || inlen <= 0 || mdSize == 0 || inlen < mdSize ||
        msgLen > static_cast<size_t>(inlen - mdSize) || (message == nullptr && msgLen > 0)) {
        return 0;
    }
    detail::EcKeyPtr key(EC_KEY_from_X509(cert));
    unsigned char pub[SM2_POINT_BYTES];
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx || !public_point_bytes(key.get(), pub) || !compute_z(id, pub, md, ctx.get(), puchin)) {
        return 0;
    }
    if (msgLen > 0) {
        memcpy(puchin + mdSize, message, msgLen);
    }
    return 1;
}

// ---- Signature (GB/T 32918.2-2016, 6.1) ----------------------------------

int sm2_sign_with_k(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                    const EVP_MD* md, const BIGNUM* fixed_k, Sm2Arith arith)
{
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    const BIGNUM* priv = sm2 != nullptr ? EC_KEY_get0_private_key(sm2) : nullptr;
    if (data == nullptr || priv == nullptr || sig == nullptr || sig->r == nullptr || sig->s == nullptr) {
        return 0;
    }
    const BIGNUM* n = data->EC_n;
    BnPtr e;
    BnCtxPtr ctx(BN_CTX_new());
    SecretBnPtr d(BN_dup(priv));
    SecretBnPtr k(BN_new());
    SecretBnPtr dPlus1Inv(BN_new());
    SecretBnPtr tmp(BN_new());
    BnPtr x1(BN_new());
    BnPtr r(BN_new());
    SecretBnPtr s(BN_new());
    if (!ctx || !d || !k || !dPlus1Inv || !tmp || !x1 || !r || !s) {
        return 0;
    }
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    BN_set_flags(dPlus1Inv.get(), BN_FLG_CONSTTIME);
    BN_set_flags(tmp.get(), BN_FLG_CONSTTIME);
    // (1 + d)^-1 mod n does not depend on k: compute it once.
    if (BN_add(tmp.get(), d.get(), BN_value_one()) != 1 || BN_nnmod(tmp.get(), tmp.get(), n, ctx.get()) != 1 ||
        BN_mod_inverse(dPlus1Inv.get(), tmp.get(), n, ctx.get()) == nullptr) {
        return 0;
    }
    unsigned char kG[SM2_POINT_BYTES];
    for (;;) {
        // A3: k in [1, n-1]
        if (!draw_k(fixed_k, n, k.get())) {
            return 0;
        }
        // A4: (x1, y1) = [k]G
        if (!e) {
            // A1, A2 on the first round: Z needs the public point, recomputed
            // as d*G from the private key; computed together with [k]G.
            unsigned char pub[SM2_POINT_BYTES];
            const MulResult mr = mul_base_pair(data, arith, d.get(), k.get(), pub, kG);
            if (mr != MUL_OK) {
                return mr;
            }
            e.reset(hash_e(id, pub, message, msgLen, md));
            if (!e) {
                return 0;
            }
        } else {
            const MulResult mr = mul_base(data, arith, k.get(), kG);
            if (mr != MUL_OK) {
                return mr;
            }
        }
        // A5: r = (e + x1) mod n; r = 0 or r + k = n gives a new k
        if (BN_bin2bn(kG, 32, x1.get()) == nullptr || BN_mod_add(r.get(), e.get(), x1.get(), n, ctx.get()) != 1 ||
            BN_add(tmp.get(), r.get(), k.get()) != 1) {
            return 0;
        }
        bool retry = BN_is_zero(r.get()) || BN_cmp(tmp.get(), n) == 0;
        // A6: s = ((1 + d)^-1 * (k - r*d)) mod n; s = 0 gives a new k
        if (!retry) {
            if (BN_mod_mul(tmp.get(), r.get(), d.get(), n, ctx.get()) != 1 ||
                BN_mod_sub(tmp.get(), k.get(), tmp.get(), n, ctx.get()) != 1 ||
                BN_mod_mul(s.get(), dPlus1Inv.get(), tmp.get(), n, ctx.get()) != 1) {
                return 0;
            }
            retry = BN_is_zero(s.get());
        }
        if (!retry) {
            break;
        }
        if (fixed_k != nullptr) {
            return 0;
        }
    }
    if (BN_copy(sig->r, r.get()) == nullptr || BN_copy(sig->s, s.get()) == nullptr) {
        return 0;
    }
    return 1;
}

// ---- Verification (GB/T 32918.2-2016, 7.1) -------------------------------

int sm2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
               const EVP_MD* md, Sm2Arith arith)
{
    if (sig == nullptr) {
        return -1;
    }
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    if (data == nullptr || sig->r == nullptr || sig->s == nullptr) {
        return 0;
    }
    const BIGNUM* n = data->EC_n;
    const BIGNUM* r = sig->r;
    const BIGNUM* s = sig->s;
    // B1, B2: r, s in [1, n-1], checked before any hashing
    if (BN_is_negative(r) || BN_is_zero(r) || BN_cmp(r, n) >= 0 || BN_is_negative(s) || BN_is_zero(s) ||
        BN_cmp(s, n) >= 0) {
        return 0;
    }
    unsigned char pub[SM2_POINT_BYTES];
    if (!public_point_bytes(sm2, pub) || !point_is_valid(data, arith, pub)) {
        return 0;
    }
    // B3, B4: e = H(Z || M')
    BnPtr e(sm2_hash_id_message(sm2, id, message, msgLen, md, 1, arith));
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr t(BN_new());
    BnPtr x1(BN_new());
    if (!e || !ctx || !t || !x1) {
        return 0;
    }
    // B5: t = (r + s) mod n, t = 0 fails
    if (BN_mod_add(t.get(), r, s, n, ctx.get()) != 1 || BN_is_zero(t.get())) {
        return 0;
    }
    // B6: (x1', y1') = [s]G + [t]PA
    unsigned char R[SM2_POINT_BYTES];
    if (mul_double(data, arith, s, t.get(), pub, R) != MUL_OK) {
        return 0;
    }
    // B7: R = (e + x1') mod n must equal r
    if (BN_bin2bn(R, 32, x1.get()) == nullptr || BN_mod_add(t.get(), e.get(), x1.get(), n, ctx.get()) != 1) {
        return 0;
    }
    return BN_cmp(t.get(), r) == 0 ? 1 : 0;
}

// ---- Public API: the dedicated arithmetic ---------------------------------

namespace {
constexpr Sm2Arith kDefaultArith = Sm2Arith::Fast;
}

BIGNUM* EC_SM2_HashIdMessage(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                             const EVP_MD* md, int flag)
{
    return sm2_hash_id_message(sm2, id, message, msgLen, md, flag, kDefaultArith);
}

int EC_SM2_sign(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                const EVP_MD* md)
{
    return sm2_sign_with_k(sm2, id, message, msgLen, sig, md, nullptr, kDefaultArith);
}

int EC_SM2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
                  const EVP_MD* md)
{
    return sm2_verify(sm2, id, message, msgLen, sig, md, kDefaultArith);
}

size_t EC_SM2_encrypt(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md)
{
    return sm2_encrypt_with_k(sm2, msg, msgLen, oct, md, nullptr, kDefaultArith);
}

size_t EC_SM2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md)
{
    return sm2_decrypt(sm2, ct, ctLen, pt, md, kDefaultArith);
}

int EC_SM2_generate_key(EC_KEY* sm2)
{
    return sm2_generate_key(sm2, kDefaultArith);
}

int EC_SM2_check_key(EC_KEY* sm2)
{
    return sm2_check_key(sm2, kDefaultArith);
}

// ---- The reference, selectable by name -------------------------------------

namespace ref {

BIGNUM* EC_SM2_HashIdMessage(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen,
                             const EVP_MD* md, int flag)
{
    return sm2_hash_id_message(sm2, id, message, msgLen, md, flag, Sm2Arith::Reference);
}

int EC_SM2_sign(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                const EVP_MD* md)
{
    return sm2_sign_with_k(sm2, id, message, msgLen, sig, md, nullptr, Sm2Arith::Reference);
}

int EC_SM2_verify(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, const EC_SM2_SIG* sig,
                  const EVP_MD* md)
{
    return sm2_verify(sm2, id, message, msgLen, sig, md, Sm2Arith::Reference);
}

size_t EC_SM2_encrypt(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md)
{
    return sm2_encrypt_with_k(sm2, msg, msgLen, oct, md, nullptr, Sm2Arith::Reference);
}

size_t EC_SM2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md)
{
    return sm2_decrypt(sm2, ct, ctLen, pt, md, Sm2Arith::Reference);
}

int EC_SM2_generate_key(EC_KEY* sm2)
{
    return sm2_generate_key(sm2, Sm2Arith::Reference);
}

int EC_SM2_check_key(EC_KEY* sm2)
{
    return sm2_check_key(sm2, Sm2Arith::Reference);
}

}  // namespace ref

}  // namespace sm
