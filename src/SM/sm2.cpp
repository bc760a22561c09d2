// SM2 on the recommended curve: the identity hash Z and message
// representative e, signatures (GB/T 32918.2-2016) and the public entry
// points. The steps are written once; the point multiplications run on the
// dedicated arithmetic by default, or on the crypto library's EC_POINT
// arithmetic over the key's EC_SM2_DATA (the readable reference, sm::ref).

#include "SM/sm2.h"
#include "SM/sm2_field.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_lib.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>

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
using detail::Wipe;

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

namespace {

// The scalar steps of signing: A5's test r + k = n and A6's
// s = ((1 + d)^-1 * (k - r*d)) mod n. The dedicated arithmetic mod n is
// constant time in d and k; the reference uses the library's BIGNUMs.
class SignScalars {
public:
    SignScalars(Sm2Arith arith, const BIGNUM* n, BN_CTX* ctx)
        : m_fast(arith == Sm2Arith::Fast), m_n(n), m_ctx(ctx)
    {
    }
    SignScalars(const SignScalars&) = delete;
    SignScalars& operator=(const SignScalars&) = delete;
    ~SignScalars()
    {
        OPENSSL_cleanse(&m_d, sizeof m_d);
        OPENSSL_cleanse(&m_inv, sizeof m_inv);
    }

    // (1 + d)^-1 mod n does not depend on k: computed once.
    bool init(const BIGNUM* d)
    {
        if (m_fast) {
            unsigned char db[SM2_SCALAR_BYTES];
            Wipe wipe{db, sizeof db};
            if (BN_is_negative(d) || BN_bn2binpad(d, db, sizeof db) != sizeof db) {
                return false;
            }
            fast::Sc one, dPlus1;
            fast::sc_from_bytes(m_d, db);
            fast::sc_one(one);
            fast::sc_add(dPlus1, m_d, one);
            fast::sc_inv(m_inv, dPlus1);
            return !fast::sc_is_zero(m_inv);  // d = n - 1 has no inverse
        }
        m_bd.reset(BN_dup(d));
        m_binv.reset(BN_new());
        SecretBnPtr dPlus1(BN_new());
        if (!m_bd || !m_binv || !dPlus1) {
            return false;
        }
        BN_set_flags(m_bd.get(), BN_FLG_CONSTTIME);
        BN_set_flags(dPlus1.get(), BN_FLG_CONSTTIME);
        return BN_add(dPlus1.get(), m_bd.get(), BN_value_one()) == 1 &&
               BN_nnmod(dPlus1.get(), dPlus1.get(), m_n, m_ctx) == 1 &&
               BN_mod_inverse(m_binv.get(), dPlus1.get(), m_n, m_ctx) != nullptr;
    }

    // 1 with s written; 0 when k has to be drawn again (r + k = n or s = 0);
    // -1 on failure.
    int sign(const BIGNUM* k, const BIGNUM* r, BIGNUM* s)
    {
        return m_fast ? signFast(k, r, s) : signReference(k, r, s);
    }

private:
    int signFast(const BIGNUM* k, const BIGNUM* r, BIGNUM* s)
    {
        unsigned char kb[SM2_SCALAR_BYTES];
        unsigned char rb[SM2_SCALAR_BYTES];
        unsigned char sb[SM2_SCALAR_BYTES];
        Wipe wipeK{kb, sizeof kb};
        Wipe wipeS{sb, sizeof sb};
        if (BN_bn2binpad(k, kb, sizeof kb) != sizeof kb || BN_bn2binpad(r, rb, sizeof rb) != sizeof rb) {
            return -1;
        }
        fast::Sc ks, rs, t;
        fast::sc_from_bytes(ks, kb);
        fast::sc_from_bytes(rs, rb);
        // r and k are below n, so r + k = n exactly when their sum mod n is 0.
        fast::sc_add(t, rs, ks);
        const bool sumIsN = fast::sc_is_zero(t);
        fast::sc_mul(t, rs, m_d);
        fast::sc_sub(t, ks, t);
        fast::sc_mul(t, m_inv, t);
        const bool sIsZero = fast::sc_is_zero(t);
        fast::sc_to_bytes(sb, t);
        OPENSSL_cleanse(&ks, sizeof ks);
        OPENSSL_cleanse(&t, sizeof t);
        if (sumIsN || sIsZero) {
            return 0;
        }
        return BN_bin2bn(sb, sizeof sb, s) != nullptr ? 1 : -1;
    }

    int signReference(const BIGNUM* k, const BIGNUM* r, BIGNUM* s)
    {
        SecretBnPtr tmp(BN_new());
        if (!tmp) {
            return -1;
        }
        BN_set_flags(tmp.get(), BN_FLG_CONSTTIME);
        if (BN_add(tmp.get(), r, k) != 1) {
            return -1;
        }
        if (BN_cmp(tmp.get(), m_n) == 0) {
            return 0;
        }
        if (BN_mod_mul(tmp.get(), r, m_bd.get(), m_n, m_ctx) != 1 ||
            BN_mod_sub(tmp.get(), k, tmp.get(), m_n, m_ctx) != 1 ||
            BN_mod_mul(s, m_binv.get(), tmp.get(), m_n, m_ctx) != 1) {
            return -1;
        }
        return BN_is_zero(s) ? 0 : 1;
    }

    bool m_fast;
    const BIGNUM* m_n;
    BN_CTX* m_ctx;
    fast::Sc m_d{};
    fast::Sc m_inv{};
    SecretBnPtr m_bd;
    SecretBnPtr m_binv;
};

}  // namespace

int sm2_sign_with_k(EC_KEY* sm2, const char* id, const unsigned char* message, size_t msgLen, EC_SM2_SIG* sig,
                    const EVP_MD* md, const BIGNUM* fixed_k, Sm2Arith arith)
{
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    const BIGNUM* d = sm2 != nullptr ? EC_KEY_get0_private_key(sm2) : nullptr;
    if (data == nullptr || d == nullptr || sig == nullptr || sig->r == nullptr || sig->s == nullptr) {
        return 0;
    }
    const BIGNUM* n = data->EC_n;
    BnCtxPtr ctx(BN_CTX_new());
    SecretBnPtr k(BN_new());
    BnPtr x1(BN_new());
    BnPtr r(BN_new());
    SecretBnPtr s(BN_new());
    if (!ctx || !k || !x1 || !r || !s) {
        return 0;
    }
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    SignScalars scalars(arith, n, ctx.get());
    if (!scalars.init(d)) {
        return 0;
    }
    BnPtr e;
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
            const MulResult mr = mul_base_pair(data, arith, d, k.get(), pub, kG);
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
        // A5: r = (e + x1) mod n; r = 0 gives a new k
        if (BN_bin2bn(kG, 32, x1.get()) == nullptr || BN_mod_add(r.get(), e.get(), x1.get(), n, ctx.get()) != 1) {
            return 0;
        }
        // A5: r + k = n, A6: s = 0 give a new k as well
        const int done = BN_is_zero(r.get()) ? 0 : scalars.sign(k.get(), r.get(), s.get());
        if (done < 0) {
            return 0;
        }
        if (done == 1) {
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
