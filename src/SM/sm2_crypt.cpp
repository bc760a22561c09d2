// SM2 public-key encryption and decryption (GB/T 32918.4-2016), cipher text
// C1 || C3 || C2.

#include "SM/sm2.h"
#include "SM/sm2_internal.h"
#include "SM/sm2_util.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>
#include <vector>

namespace sm {

using detail::digest_size;
using detail::draw_k;
using detail::kC1Len;
using detail::MdCtxPtr;
using detail::mul_base;
using detail::MUL_OK;
using detail::mul_point;
using detail::point_is_valid;
using detail::public_point_bytes;
using detail::SecretBnPtr;
using detail::Wipe;

// ---- Encryption (GB/T 32918.4-2016, 6.1) ----------------------------------

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

}  // namespace sm
