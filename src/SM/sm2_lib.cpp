// Construction of SM2 keys and of the EVP_PKEY that routes the generic key
// calls to the SM2 method.

#include "SM/sm2_lib.h"

#include "SM/sm2.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

#include <cstring>
#include <memory>

namespace sm {

using detail::BnCtxPtr;
using detail::GroupPtr;
using detail::LibFree;
using detail::PointPtr;

namespace {

using EcKeyPtr = std::unique_ptr<EC_KEY, LibFree<EC_KEY, EC_KEY_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, LibFree<EVP_PKEY, EVP_PKEY_free>>;

}  // namespace

EC_KEY* EC_KEY_SM2_init(EC_KEY* sm2)
{
    EcKeyPtr created(sm2 == nullptr ? EC_KEY_new() : nullptr);
    EC_KEY* key = sm2 != nullptr ? sm2 : created.get();
    if (key == nullptr) {
        return nullptr;
    }
    // The library's own SM2 named group, not a bare curve: with its generator
    // and order the library can set private keys, check keys and write the
    // SubjectPublicKeyInfo with the SM2 curve identifier.
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
    if (!group || EC_KEY_set_group(key, group.get()) != 1 || ec_sm2_check(key) == nullptr) {
        return nullptr;
    }
    EC_KEY_set_flags(key, EC_FLAG_SM2);
    created.release();
    return key;
}

int EC_KEY_is_sm2(const EC_KEY* ec)
{
    return ec != nullptr && (EC_KEY_get_flags(ec) & EC_FLAG_SM2) != 0 ? 1 : 0;
}

EC_KEY* EC_KEY_from_BN(const BIGNUM* x, const BIGNUM* y, const BIGNUM* priv_key)
{
    if (x == nullptr || y == nullptr) {
        return nullptr;
    }
    EcKeyPtr key(EC_KEY_SM2_init(nullptr));
    if (!key) {
        return nullptr;
    }
    const EC_GROUP* group = EC_KEY_get0_group(key.get());
    // x and y in [0, p) (GB/T 32918.1, 6.2.1): the library would silently
    // reduce them, and the key's check only sees the reduced point.
    const BIGNUM* p = EC_GROUP_get0_field(group);
    if (p == nullptr || BN_is_negative(x) || BN_is_negative(y) || BN_cmp(x, p) >= 0 || BN_cmp(y, p) >= 0) {
        return nullptr;
    }
    BnCtxPtr ctx(BN_CTX_new());
    PointPtr pub(EC_POINT_new(group));
    // EC_POINT_set_affine_coordinates refuses a point off the curve;
    // EC_SM2_check_key adds the order check.
    if (!ctx || !pub || EC_POINT_set_affine_coordinates(group, pub.get(), x, y, ctx.get()) != 1 ||
        EC_KEY_set_public_key(key.get(), pub.get()) != 1) {
        return nullptr;
    }
    if (priv_key != nullptr && EC_KEY_set_private_key(key.get(), priv_key) != 1) {
        return nullptr;
    }
    if (EC_SM2_check_key(key.get()) != 1) {
        return nullptr;
    }
    return key.release();
}

EC_KEY* EC_KEY_from_BN_EX(const BIGNUM* priv_key)
{
    if (priv_key == nullptr) {
        return nullptr;
    }
    EcKeyPtr key(EC_KEY_SM2_init(nullptr));
    if (!key || EC_KEY_set_private_key(key.get(), priv_key) != 1) {
        return nullptr;
    }
    return key.release();
}

EVP_PKEY* EVP_PKEY_SM2_init(EC_KEY* sm2)
{
    if (sm2 == nullptr) {
        return nullptr;
    }
    PkeyPtr pkey(EVP_PKEY_new());
    // set1 takes its own reference, so a failure below leaves the caller's.
    // On the SM2 group the key becomes the library's SM2 key type (1172), on
    // any other group EVP_PKEY_EC; the engine offers the method for both.
    if (!pkey || EVP_PKEY_set1_EC_KEY(pkey.get(), sm2) != 1) {
        return nullptr;
    }
    if (sm2_engine_attach(pkey.get()) != 1) {
        return nullptr;
    }
    EC_KEY_free(sm2);  // the key object now holds the reference the caller gave
    return pkey.release();
}

int EVP_PKEY_CTX_set_md(EVP_PKEY_CTX* ctx, const EVP_MD* md)
{
    if (ctx == nullptr || md == nullptr) {
        return 0;
    }
    // Through the library's control dispatch, so a context of another method
    // is never mistaken for an SM2 one.
    return EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_MD, 0, const_cast<EVP_MD*>(md)) > 0 ? 1 : 0;
}

int EVP_PKEY_CTX_set_id(EVP_PKEY_CTX* ctx, const char* id)
{
    if (ctx == nullptr) {
        return 0;
    }
    const size_t len = id != nullptr ? std::strlen(id) : 0;
    if (len > SM2_MAX_ID_LEN) {
        return 0;
    }
    return EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_SET1_ID, static_cast<int>(len), const_cast<char*>(id)) > 0
               ? 1
               : 0;
}

void EVP_sm2_cleanup()
{
    CRYPTO_cleanup_all_ex_data();
}

}  // namespace sm
