// SM2 on the recommended curve (GB/T 32918.2-2016 signatures, GB/T 32918.4-2016
// encryption, GB/T 32918.5-2017 curve). The steps below are written once; the
// point multiplications run either on the dedicated arithmetic (default) or on
// the crypto library's EC_POINT arithmetic over the key's EC_SM2_DATA (the
// readable reference, sm::ref).

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_lib.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <cstring>
#include <vector>

namespace sm {

using detail::BnCtxPtr;
using detail::BnPtr;
using detail::MdCtxPtr;
using detail::PointPtr;
using detail::SecretBnPtr;
using detail::SecretPointPtr;

namespace {

constexpr size_t kC1Len = 1 + SM2_POINT_BYTES;  // 0x04 || x || y
constexpr size_t kMaxIdLen = 8191;              // ENTL is 16 bits of bit length

// Outcome of a point multiplication, in the signing result codes.
enum MulResult : int { MUL_OK = 1, MUL_FAILED = -2, MUL_AT_INFINITY = -3 };

struct Wipe {
    unsigned char* p;
    size_t n;
    ~Wipe() { OPENSSL_cleanse(p, n); }
};

int scalar_bytes(const BIGNUM* k, unsigned char out[SM2_SCALAR_BYTES])
{
    return !BN_is_negative(k) && BN_bn2binpad(k, out, SM2_SCALAR_BYTES) == SM2_SCALAR_BYTES;
}

// ---- Reference point arithmetic over EC_SM2_DATA -------------------------

MulResult ref_point_bytes(const EC_SM2_DATA* data, const EC_POINT* R, BN_CTX* ctx, unsigned char out[64])
{
    if (EC_POINT_is_at_infinity(data->EC_Group, R)) {
        return MUL_AT_INFINITY;
    }
    BN_CTX_start(ctx);
    BIGNUM* x = BN_CTX_get(ctx);
    BIGNUM* y = BN_CTX_get(ctx);
    const bool ok = y != nullptr && EC_POINT_get_affine_coordinates(data->EC_Group, R, x, y, ctx) == 1 &&
                    BN_bn2binpad(x, out, 32) == 32 && BN_bn2binpad(y, out + 32, 32) == 32;
    BN_CTX_end(ctx);
    return ok ? MUL_OK : MUL_AT_INFINITY;
}

// Builds a point of EC_Group from x || y; fails unless it lies on the curve.
PointPtr ref_point_from_bytes(const EC_SM2_DATA* data, const unsigned char P[64], BN_CTX* ctx)
{
    PointPtr pt(EC_POINT_new(data->EC_Group));
    BnPtr x(BN_bin2bn(P, 32, nullptr));
    BnPtr y(BN_bin2bn(P + 32, 32, nullptr));
    if (!pt || !x || !y || BN_cmp(x.get(), data->EC_p) >= 0 || BN_cmp(y.get(), data->EC_p) >= 0 ||
        EC_POINT_set_affine_coordinates(data->EC_Group, pt.get(), x.get(), y.get(), ctx) != 1 ||
        EC_POINT_is_on_curve(data->EC_Group, pt.get(), ctx) != 1) {
        return nullptr;
    }
    return pt;
}

// k1*G + k2*P (either term may be absent).
MulResult ref_mul(const EC_SM2_DATA* data, const BIGNUM* k1, const BIGNUM* k2, const unsigned char* P,
                  unsigned char out[64])
{
    BnCtxPtr ctx(BN_CTX_new());
    SecretPointPtr R(EC_POINT_new(data->EC_Group));
    if (!ctx || !R) {
        return MUL_FAILED;
    }
    PointPtr Q;
    if (P != nullptr) {
        Q = ref_point_from_bytes(data, P, ctx.get());
        if (!Q) {
            return MUL_FAILED;
        }
    }
    const EC_POINT* points[2] = {data->BASE_POINT, Q.get()};
    const BIGNUM* scalars[2] = {k1, k2};
    int ok;
    if (k1 != nullptr && P != nullptr) {
        ok = EC_POINTs_mul(data->EC_Group, R.get(), nullptr, 2, points, scalars, ctx.get());
    } else if (P != nullptr) {
        ok = EC_POINT_mul(data->EC_Group, R.get(), nullptr, Q.get(), k2, ctx.get());
    } else {
        ok = EC_POINT_mul(data->EC_Group, R.get(), nullptr, data->BASE_POINT, k1, ctx.get());
    }
    if (ok != 1) {
        return MUL_FAILED;
    }
    return ref_point_bytes(data, R.get(), ctx.get(), out);
}

// ---- Dispatch -------------------------------------------------------------

MulResult fast_result(bool ok)
{
    return ok ? MUL_OK : MUL_AT_INFINITY;
}

MulResult mul_base(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k, unsigned char out[64])
{
    if (arith == Sm2Arith::Reference) {
        return ref_mul(data, k, nullptr, nullptr, out);
    }
    unsigned char kb[SM2_SCALAR_BYTES];
    Wipe wipe{kb, sizeof kb};
    if (!scalar_bytes(k, kb)) {
        return MUL_FAILED;
    }
    return fast_result(fast::mul_base(kb, out));
}

// k1*G and k2*G; the dedicated arithmetic shares one inversion between them.
MulResult mul_base_pair(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k1, const BIGNUM* k2,
                        unsigned char out1[64], unsigned char out2[64])
{
    if (arith == Sm2Arith::Reference) {
        const MulResult r1 = ref_mul(data, k1, nullptr, nullptr, out1);
        return r1 != MUL_OK ? r1 : ref_mul(data, k2, nullptr, nullptr, out2);
    }
    unsigned char b1[SM2_SCALAR_BYTES];
    unsigned char b2[SM2_SCALAR_BYTES];
    Wipe wipe1{b1, sizeof b1};
    Wipe wipe2{b2, sizeof b2};
    if (!scalar_bytes(k1, b1) || !scalar_bytes(k2, b2)) {
        return MUL_FAILED;
    }
    return fast_result(fast::mul_base_pair(b1, b2, out1, out2));
}

// k*P for a point already known to be valid.
MulResult mul_point(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* k, const unsigned char P[64],
                    unsigned char out[64])
{
    if (arith == Sm2Arith::Reference) {
        return ref_mul(data, nullptr, k, P, out);
    }
    unsigned char kb[SM2_SCALAR_BYTES];
    Wipe wipe{kb, sizeof kb};
    if (!scalar_bytes(k, kb)) {
        return MUL_FAILED;
    }
    return fast_result(fast::mul_point(kb, P, out));
}

// s*G + t*P for public s, t and a valid P.
MulResult mul_double(const EC_SM2_DATA* data, Sm2Arith arith, const BIGNUM* s, const BIGNUM* t,
                     const unsigned char P[64], unsigned char out[64])
{
    if (arith == Sm2Arith::Reference) {
        return ref_mul(data, s, t, P, out);
    }
    unsigned char sb[SM2_SCALAR_BYTES];
    unsigned char tb[SM2_SCALAR_BYTES];
    if (!scalar_bytes(s, sb) || !scalar_bytes(t, tb)) {
        return MUL_FAILED;
    }
    return fast_result(fast::mul_double(sb, tb, P, out));
}

// x < p, y < p and on the curve.
bool point_is_valid(const EC_SM2_DATA* data, Sm2Arith arith, const unsigned char P[64])
{
    if (arith == Sm2Arith::Fast) {
        return fast::point_is_valid(P);
    }
    BnCtxPtr ctx(BN_CTX_new());
    return ctx && ref_point_from_bytes(data, P, ctx.get()) != nullptr;
}

// ---- Key access -----------------------------------------------------------

// The key's public point as x || y (affine, from the key's own group).
bool public_point_bytes(EC_KEY* key, unsigned char out[64])
{
    const EC_GROUP* group = EC_KEY_get0_group(key);
    const EC_POINT* pub = EC_KEY_get0_public_key(key);
    if (group == nullptr || pub == nullptr || EC_POINT_is_at_infinity(group, pub)) {
        return false;
    }
    BnPtr x(BN_new());
    BnPtr y(BN_new());
    return x && y && EC_POINT_get_affine_coordinates(group, pub, x.get(), y.get(), nullptr) == 1 &&
           Md_bn2bin(x.get(), out, 32) <= 32 && Md_bn2bin(y.get(), out + 32, 32) <= 32;
}

// Draws k uniformly from [1, n) with the library's private generator, or
// takes the caller's fixed k.
bool draw_k(const BIGNUM* fixed_k, const BIGNUM* n, BIGNUM* k)
{
    if (fixed_k != nullptr) {
        return BN_copy(k, fixed_k) != nullptr && !BN_is_zero(k) && !BN_is_negative(k) && BN_cmp(k, n) < 0;
    }
    do {
        if (BN_priv_rand_range(k, n) != 1) {
            return false;
        }
    } while (BN_is_zero(k));
    return true;
}

int digest_size(const EVP_MD* md)
{
    const int size = md != nullptr ? EVP_MD_get_size(md) : 0;
    return size > 0 && size <= EVP_MAX_MD_SIZE ? size : 0;
}

}  // namespace

// ---- Z and e (GB/T 32918.2-2016, 5.5 and 6.1 A1-A2) ----------------------

namespace {

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

// ---- Encryption (GB/T 32918.4-2016, 6.1), output C1 || C3 || C2 ------------

size_t sm2_encrypt_with_k(EC_KEY* sm2, const unsigned char* msg, size_t msgLen, unsigned char* oct, const EVP_MD* md,
                          const BIGNUM* fixed_k, Sm2Arith arith)
{
    const size_t mdSize = static_cast<size_t>(digest_size(md));
    if (mdSize == 0 || msgLen > SIZE_MAX - kC1Len - mdSize) {
        return 0;
    }
    const size_t total = kC1Len + mdSize + msgLen;
    if (oct == nullptr) {
        return total;  // a length query draws no randomness
    }
    if (msgLen == 0 || msg == nullptr || msgLen > ULONG_MAX) {
        return 0;
    }
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    unsigned char pb[SM2_POINT_BYTES];
    // B2 (h = 1): PB must not be the point at infinity, and must be a point of the curve
    if (data == nullptr || !public_point_bytes(sm2, pb) || !point_is_valid(data, arith, pb)) {
        return 0;
    }
    SecretBnPtr k(BN_new());
    MdCtxPtr mctx(EVP_MD_CTX_new());
    if (!k || !mctx) {
        return 0;
    }
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    unsigned char* c1 = oct;
    unsigned char* c3 = oct + kC1Len;
    unsigned char* c2 = c3 + mdSize;
    unsigned char x2y2[SM2_POINT_BYTES];
    Wipe wipeShared{x2y2, sizeof x2y2};
    for (;;) {
        // A1: k in [1, n-1]
        if (!draw_k(fixed_k, data->EC_n, k.get())) {
            return 0;
        }
        // A2: C1 = [k]G
        c1[0] = POINT_CONVERSION_UNCOMPRESSED;
        if (mul_base(data, arith, k.get(), c1 + 1) != MUL_OK) {
            return 0;
        }
        // A4: (x2, y2) = [k]PB
        if (mul_point(data, arith, k.get(), pb, x2y2) != MUL_OK) {
            return 0;
        }
        // A5: t = KDF(x2 || y2, klen); all-zero t gives a new k
        if (KDF(x2y2, sizeof x2y2, static_cast<unsigned long>(msgLen), c2, md) != 1) {
            OPENSSL_cleanse(c2, msgLen);
            return 0;
        }
        if (!IsArrayZero(c2, msgLen)) {
            break;
        }
        if (fixed_k != nullptr) {
            return 0;
        }
    }
    // A6: C2 = M xor t
    for (size_t i = 0; i < msgLen; ++i) {
        c2[i] ^= msg[i];
    }
    // A7: C3 = H(x2 || M || y2)
    if (EVP_DigestInit_ex(mctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(mctx.get(), x2y2, 32) != 1 ||
        EVP_DigestUpdate(mctx.get(), msg, msgLen) != 1 || EVP_DigestUpdate(mctx.get(), x2y2 + 32, 32) != 1 ||
        EVP_DigestFinal_ex(mctx.get(), c3, nullptr) != 1) {
        OPENSSL_cleanse(oct, total);
        return 0;
    }
    return total;
}

// ---- Decryption (GB/T 32918.4-2016, 7.1) ---------------------------------

size_t sm2_decrypt(EC_KEY* sm2, const unsigned char* ct, size_t ctLen, unsigned char* pt, const EVP_MD* md,
                   Sm2Arith arith)
{
    const size_t mdSize = static_cast<size_t>(digest_size(md));
    if (mdSize == 0 || ct == nullptr || ctLen < kC1Len + mdSize) {
        return 0;
    }
    const size_t msgLen = ctLen - kC1Len - mdSize;
    if (pt == nullptr) {
        return msgLen;
    }
    // An empty C2 would need an all-zero t of length 0, which B4 refuses.
    if (msgLen == 0 || msgLen > ULONG_MAX) {
        return 0;
    }
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    const BIGNUM* d = sm2 != nullptr ? EC_KEY_get0_private_key(sm2) : nullptr;
    if (data == nullptr || d == nullptr) {
        return 0;
    }
    // B1: C1 must be an uncompressed point of the curve (never infinity, h = 1)
    const unsigned char* c1 = ct + 1;
    const unsigned char* c3 = ct + kC1Len;
    const unsigned char* c2 = c3 + mdSize;
    if (ct[0] != POINT_CONVERSION_UNCOMPRESSED || !point_is_valid(data, arith, c1)) {
        return 0;
    }
    SecretBnPtr dc(BN_dup(d));
    if (!dc) {
        return 0;
    }
    BN_set_flags(dc.get(), BN_FLG_CONSTTIME);
    // B3: (x2, y2) = [dB]C1
    unsigned char x2y2[SM2_POINT_BYTES];
    Wipe wipeShared{x2y2, sizeof x2y2};
    if (mul_point(data, arith, dc.get(), c1, x2y2) != MUL_OK) {
        return 0;
    }
    // B4: t = KDF(x2 || y2, klen), all-zero t fails
    std::vector<unsigned char> m(msgLen);
    Wipe wipeMessage{m.data(), m.size()};
    if (KDF(x2y2, sizeof x2y2, static_cast<unsigned long>(msgLen), m.data(), md) != 1 ||
        IsArrayZero(m.data(), msgLen)) {
        return 0;
    }
    // B5: M' = C2 xor t
    for (size_t i = 0; i < msgLen; ++i) {
        m[i] ^= c2[i];
    }
    // B6: u = H(x2 || M' || y2) must equal C3
    MdCtxPtr mctx(EVP_MD_CTX_new());
    unsigned char u[EVP_MAX_MD_SIZE];
    if (!mctx || EVP_DigestInit_ex(mctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(mctx.get(), x2y2, 32) != 1 ||
        EVP_DigestUpdate(mctx.get(), m.data(), msgLen) != 1 || EVP_DigestUpdate(mctx.get(), x2y2 + 32, 32) != 1 ||
        EVP_DigestFinal_ex(mctx.get(), u, nullptr) != 1) {
        return 0;
    }
    if (CRYPTO_memcmp(u, c3, mdSize) != 0) {
        return 0;
    }
    memcpy(pt, m.data(), msgLen);
    return msgLen;
}

// ---- Key generation (GB/T 32918.1-2016, 6.1) and public-key check (6.2.1) -

int sm2_generate_key(EC_KEY* sm2, Sm2Arith arith)
{
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    if (data == nullptr || EC_KEY_get0_private_key(sm2) != nullptr || EC_KEY_get0_public_key(sm2) != nullptr) {
        return 0;
    }
    if (EC_KEY_get0_group(sm2) == nullptr) {
        // Keys carry the library's SM2 named group, so that their
        // SubjectPublicKeyInfo names the SM2 curve.
        detail::GroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
        if (!group || EC_KEY_set_group(sm2, group.get()) != 1) {
            return 0;
        }
    }
    SecretBnPtr d(BN_new());
    BnPtr nMinus1(BN_dup(data->EC_n));
    if (!d || !nMinus1 || BN_sub_word(nMinus1.get(), 1) != 1) {
        return 0;
    }
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    // d in [1, n-2]: uniform over [0, n-1), drawn again on 0.
    do {
        if (BN_priv_rand_range(d.get(), nMinus1.get()) != 1) {
            return 0;
        }
    } while (BN_is_zero(d.get()));
    unsigned char pub[SM2_POINT_BYTES];
    if (mul_base(data, arith, d.get(), pub) != MUL_OK) {
        return 0;
    }
    BnPtr x(BN_bin2bn(pub, 32, nullptr));
    BnPtr y(BN_bin2bn(pub + 32, 32, nullptr));
    const EC_GROUP* group = EC_KEY_get0_group(sm2);
    PointPtr P(EC_POINT_new(group));
    if (!x || !y || !P || EC_POINT_set_affine_coordinates(group, P.get(), x.get(), y.get(), nullptr) != 1 ||
        EC_KEY_set_private_key(sm2, d.get()) != 1) {
        return 0;
    }
    if (EC_KEY_set_public_key(sm2, P.get()) != 1) {
        EC_KEY_set_private_key(sm2, nullptr);
        return 0;
    }
    return 1;
}

int sm2_check_key(EC_KEY* sm2, Sm2Arith arith)
{
    EC_SM2_DATA* data = ec_sm2_check(sm2);
    const EC_GROUP* group = sm2 != nullptr ? EC_KEY_get0_group(sm2) : nullptr;
    const EC_POINT* pub = sm2 != nullptr ? EC_KEY_get0_public_key(sm2) : nullptr;
    if (data == nullptr || group == nullptr || pub == nullptr || EC_POINT_is_at_infinity(group, pub)) {
        return 0;
    }
    BnPtr x(BN_new());
    BnPtr y(BN_new());
    if (!x || !y || EC_POINT_get_affine_coordinates(group, pub, x.get(), y.get(), nullptr) != 1) {
        return 0;
    }
    // x, y in [0, p)
    if (BN_is_negative(x.get()) || BN_is_negative(y.get()) || BN_cmp(x.get(), data->EC_p) >= 0 ||
        BN_cmp(y.get(), data->EC_p) >= 0) {
        return 0;
    }
    // on the SM2 curve, whatever group the key object carries
    unsigned char xy[SM2_POINT_BYTES];
    if (BN_bn2binpad(x.get(), xy, 32) != 32 || BN_bn2binpad(y.get(), xy + 32, 32) != 32 ||
        !point_is_valid(data, arith, xy)) {
        return 0;
    }
    // [n]P = O
    unsigned char nP[SM2_POINT_BYTES];
    return mul_point(data, arith, data->EC_n, xy, nP) == MUL_AT_INFINITY ? 1 : 0;
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
