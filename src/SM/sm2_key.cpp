// SM2 key generation (GB/T 32918.1-2016, 6.1) and public-key validation
// (6.2.1).

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

namespace sm {

using detail::BnPtr;
using detail::MUL_AT_INFINITY;
using detail::mul_base;
using detail::MUL_OK;
using detail::mul_point;
using detail::point_is_valid;
using detail::PointPtr;
using detail::SecretBnPtr;

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
    // [n]P = O. The recommended curve has prime order n (cofactor 1), so every
    // point on it other than O satisfies this already; the fast form relies on
    // that instead of a full scalar multiplication on every verification.
    if (arith == Sm2Arith::Fast) {
        return 1;
    }
    unsigned char nP[SM2_POINT_BYTES];
    return mul_point(data, arith, data->EC_n, xy, nP) == MUL_AT_INFINITY ? 1 : 0;
}

}  // namespace sm
