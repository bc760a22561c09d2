// The per-key curve data of SM2 keys and the small helpers every SM2
// operation shares: fixed-width export, the all-zero test and the key
// derivation function.

#include "SM/sm2.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>

namespace sm {

using detail::BnCtxPtr;
using detail::BnPtr;
using detail::MdCtxPtr;

namespace {

// The record travels with EC_KEY_dup and is freed with the key through the
// EC_KEY ex_data slot, OpenSSL 3.0's per-key data mechanism.
int sm2_data_dup_cb(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from_d, int, long, void*)
{
    if (*from_d == nullptr) {
        return 1;
    }
    void* copy = ec_sm2_data_dup(*from_d);
    if (copy == nullptr) {
        return 0;
    }
    *from_d = copy;
    return 1;
}

void sm2_data_free_cb(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    ec_sm2_data_free(ptr);
}

int sm2_data_index()
{
    static const int index = EC_KEY_get_ex_new_index(0, nullptr, nullptr, sm2_data_dup_cb, sm2_data_free_cb);
    return index;
}

}  // namespace

EC_SM2_DATA* ec_sm2_data_new()
{
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr a(BN_bin2bn(EC_SM2_a, 32, nullptr));
    BnPtr b(BN_bin2bn(EC_SM2_b, 32, nullptr));
    BnPtr gx(BN_bin2bn(EC_SM2_Gx, 32, nullptr));
    BnPtr gy(BN_bin2bn(EC_SM2_Gy, 32, nullptr));
    auto* data = static_cast<EC_SM2_DATA*>(OPENSSL_zalloc(sizeof(EC_SM2_DATA)));
    if (!ctx || !a || !b || !gx || !gy || data == nullptr) {
        OPENSSL_free(data);
        return nullptr;
    }
    data->EC_p = BN_bin2bn(EC_SM2_p, 32, nullptr);
    data->EC_n = BN_bin2bn(EC_SM2_n, 32, nullptr);
    if (data->EC_p != nullptr) {
        // A bare GF(p) curve: no generator or order is recorded in it.
        data->EC_Group = EC_GROUP_new_curve_GFp(data->EC_p, a.get(), b.get(), ctx.get());
    }
    if (data->EC_Group != nullptr) {
        data->BASE_POINT = EC_POINT_new(data->EC_Group);
    }
    if (data->EC_n == nullptr || data->BASE_POINT == nullptr ||
        EC_POINT_set_affine_coordinates(data->EC_Group, data->BASE_POINT, gx.get(), gy.get(), ctx.get()) != 1) {
        ec_sm2_data_free(data);
        return nullptr;
    }
    return data;
}

void* ec_sm2_data_dup(void* p)
{
    // The data is the same for every key.
    return p != nullptr ? ec_sm2_data_new() : nullptr;
}

void ec_sm2_data_free(void* p)
{
    auto* data = static_cast<EC_SM2_DATA*>(p);
    if (data == nullptr) {
        return;
    }
    BN_free(data->EC_p);
    BN_free(data->EC_n);
    EC_POINT_free(data->BASE_POINT);
    EC_GROUP_clear_free(data->EC_Group);
    OPENSSL_free(data);
}

EC_SM2_DATA* ec_sm2_check(EC_KEY* key)
{
    const int index = sm2_data_index();
    if (key == nullptr || index < 0) {
        return nullptr;
    }
    if (auto* data = static_cast<EC_SM2_DATA*>(EC_KEY_get_ex_data(key, index))) {
        return data;
    }
    EC_SM2_DATA* data = ec_sm2_data_new();
    if (data == nullptr) {
        return nullptr;
    }
    if (EC_KEY_set_ex_data(key, index, data) != 1) {
        ec_sm2_data_free(data);
        return nullptr;
    }
    return data;
}

int Md_bn2bin(const BIGNUM* b, unsigned char* array, int size)
{
    if (array == nullptr || size < 0) {
        return 0;
    }
    memset(array, 0, static_cast<size_t>(size));
    if (b == nullptr) {
        return 0;
    }
    const int len = BN_num_bytes(b);
    if (len > size) {
        return len;
    }
    return BN_bn2bin(b, array + (size - len));
}

int IsArrayZero(const unsigned char* array, size_t len)
{
    // Accumulate instead of returning early: the array is key stream.
    unsigned char acc = 0;
    for (size_t i = 0; i < len; ++i) {
        acc |= array[i];
    }
    return acc == 0 ? 1 : 0;
}

// GB/T 32918.4-2016, 5.4.3: K = Hash(Z || ct) || Hash(Z || ct+1) || ...,
// ct a 32-bit big-endian counter starting at 1, truncated to byteLen bytes.
int KDF(const unsigned char* Z, size_t zLen, unsigned long byteLen, unsigned char* K, const EVP_MD* md)
{
    if (md == nullptr || (K == nullptr && byteLen > 0) || (Z == nullptr && zLen > 0)) {
        return 0;
    }
    const int mdSize = EVP_MD_get_size(md);
    if (mdSize <= 0 || mdSize > EVP_MAX_MD_SIZE) {
        return 0;
    }
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) {
        return 0;
    }
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned long done = 0;
    uint32_t counter = 1;
    while (done < byteLen) {
        const unsigned char ct[4] = {static_cast<unsigned char>(counter >> 24), static_cast<unsigned char>(counter >> 16),
                                     static_cast<unsigned char>(counter >> 8), static_cast<unsigned char>(counter)};
        const unsigned long want = byteLen - done;
        unsigned char* dst = want >= static_cast<unsigned long>(mdSize) ? K + done : block;
        if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(ctx.get(), Z, zLen) != 1 ||
            EVP_DigestUpdate(ctx.get(), ct, sizeof ct) != 1 || EVP_DigestFinal_ex(ctx.get(), dst, nullptr) != 1) {
            OPENSSL_cleanse(block, sizeof block);
            return 0;
        }
        if (dst == block) {
            memcpy(K + done, block, want);
            done = byteLen;
        } else {
            done += static_cast<unsigned long>(mdSize);
        }
        ++counter;
    }
    OPENSSL_cleanse(block, sizeof block);
    return 1;
}

}  // namespace sm
