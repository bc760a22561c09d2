// The point multiplications of the SM2 operations, on either arithmetic: the
// dedicated one (sm2_fast.cpp) or the crypto library's EC_POINT code over the
// key's EC_SM2_DATA (the readable reference). Points cross this boundary as
// affine x || y bytes, scalars as BIGNUMs.

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>

namespace sm {
namespace detail {

namespace {

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

MulResult fast_result(bool ok)
{
    return ok ? MUL_OK : MUL_AT_INFINITY;
}

}  // namespace

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

// ---- Key and digest access ------------------------------------------------

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

}  // namespace detail
}  // namespace sm
