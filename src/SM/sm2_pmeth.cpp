// The SM2 key-operation method: the library's generic EVP_PKEY_sign, verify,
// encrypt and decrypt calls on an SM2 key, run by the SM2 core.

#include "SM/sm2_lib.h"

#include "SM/sm2.h"
#include "SM/sm3.h"
#include "SM/sm_oid.h"
#include "SM/sm2_util.h"

#include <memory>
#include <new>

namespace sm {

using detail::BnPtr;
using detail::LibFree;

namespace {

using EcKeyPtr = std::unique_ptr<EC_KEY, LibFree<EC_KEY, EC_KEY_free>>;

constexpr size_t kCoordLen = 32;

// A new reference to the context key's EC_KEY, null when there is none.
EcKeyPtr ctx_key(EVP_PKEY_CTX* ctx)
{
    EVP_PKEY* pkey = ctx != nullptr ? EVP_PKEY_CTX_get0_pkey(ctx) : nullptr;
    return EcKeyPtr(pkey != nullptr ? EVP_PKEY_get1_EC_KEY(pkey) : nullptr);
}

EC_SM2_PKEY_CTX* ctx_data(EVP_PKEY_CTX* ctx)
{
    return static_cast<EC_SM2_PKEY_CTX*>(EVP_PKEY_CTX_get_data(ctx));
}

const char* id_of(const EC_SM2_PKEY_CTX* data)
{
    return data->id ? data->id->c_str() : pkey_sm2_get_default_id();
}

}  // namespace

const char* pkey_sm2_get_default_id()
{
    return nullptr;
}

const EVP_MD* pkey_sm2_get_default_md()
{
    return EVP_sm3();
}

int pkey_sm2_init(EVP_PKEY_CTX* ctx)
{
    if (ctx == nullptr) {
        return 0;
    }
    if (ctx_data(ctx) != nullptr) {
        return 1;
    }
    auto* data = new (std::nothrow) EC_SM2_PKEY_CTX{std::nullopt, pkey_sm2_get_default_md()};
    if (data == nullptr || data->md == nullptr) {
        delete data;
        return 0;
    }
    EVP_PKEY_CTX_set_data(ctx, data);
    return 1;
}

void pkey_sm2_cleanup(EVP_PKEY_CTX* ctx)
{
    if (ctx == nullptr) {
        return;
    }
    delete ctx_data(ctx);
    EVP_PKEY_CTX_set_data(ctx, nullptr);
}

int pkey_sm2_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src)
{
    // The library does not run init on the copy: the data is made here.
    const auto* from = static_cast<const EC_SM2_PKEY_CTX*>(EVP_PKEY_CTX_get_data(src));
    if (dst == nullptr || from == nullptr) {
        return 0;
    }
    EC_SM2_PKEY_CTX* data = nullptr;
    try {
        data = new EC_SM2_PKEY_CTX(*from);
    } catch (const std::bad_alloc&) {
        return 0;  // nothing may escape into the library
    }
    delete ctx_data(dst);
    EVP_PKEY_CTX_set_data(dst, data);
    return 1;
}

int pkey_sm2_ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2)
{
    EC_SM2_PKEY_CTX* data = ctx_data(ctx);
    if (data == nullptr) {
        return 0;
    }
    switch (type) {
    case EVP_PKEY_CTRL_MD:
        if (p2 == nullptr) {
            return 0;
        }
        data->md = static_cast<const EVP_MD*>(p2);
        return 1;
    case EVP_PKEY_CTRL_GET_MD:
        if (p2 == nullptr) {
            return 0;
        }
        *static_cast<const EVP_MD**>(p2) = data->md;
        return 1;
    case EVP_PKEY_CTRL_SET1_ID:
        if (p2 == nullptr) {
            data->id.reset();
            return 1;
        }
        if (p1 < 0 || static_cast<size_t>(p1) > SM2_MAX_ID_LEN) {
            return 0;
        }
        try {
            data->id = std::string(static_cast<const char*>(p2), static_cast<size_t>(p1));
        } catch (const std::bad_alloc&) {
            return 0;
        }
        return 1;
    case EVP_PKEY_CTRL_DIGESTINIT:
        // EVP_DigestSignInit/EVP_DigestVerifyInit announce the digest context.
        return 1;
    default:
        return -2;
    }
}

int pkey_sm2_encrypt_init(EVP_PKEY_CTX* ctx)
{
    EcKeyPtr key = ctx_key(ctx);
    return key && EC_KEY_get0_public_key(key.get()) != nullptr && EC_SM2_check_key(key.get()) == 1 ? 1 : 0;
}

int pkey_sm2_decrypt_init(EVP_PKEY_CTX* ctx)
{
    EcKeyPtr key = ctx_key(ctx);
    return key && EC_KEY_get0_private_key(key.get()) != nullptr ? 1 : 0;
}

int pkey_sm2_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs, size_t tbslen)
{
    EC_SM2_PKEY_CTX* data = ctx_data(ctx);
    EcKeyPtr key = ctx_key(ctx);
    if (data == nullptr || !key || siglen == nullptr) {
        return 0;
    }
    // A length query: EVP_DigestSignFinal asks with no data at all.
    if (sig == nullptr) {
        *siglen = SM2_RAW_SIG_LEN;
        return 1;
    }
    if (tbs == nullptr && tbslen != 0) {
        return 0;
    }
    if (*siglen < SM2_RAW_SIG_LEN) {
        *siglen = SM2_RAW_SIG_LEN;
        return 0;
    }
    BnPtr r(BN_new());
    BnPtr s(BN_new());
    if (!r || !s) {
        return 0;
    }
    EC_SM2_SIG rs{r.get(), s.get()};
    const int rc = EC_SM2_sign(key.get(), id_of(data), tbs, tbslen, &rs, data->md);
    if (rc <= 0) {
        return rc;
    }
    // r || s, each big-endian and left-padded to 32 bytes.
    if (BN_bn2binpad(r.get(), sig, kCoordLen) != static_cast<int>(kCoordLen) ||
        BN_bn2binpad(s.get(), sig + kCoordLen, kCoordLen) != static_cast<int>(kCoordLen)) {
        return 0;
    }
    *siglen = SM2_RAW_SIG_LEN;
    return 1;
}

int pkey_sm2_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs,
                    size_t tbslen)
{
    EC_SM2_PKEY_CTX* data = ctx_data(ctx);
    EcKeyPtr key = ctx_key(ctx);
    if (data == nullptr || !key || sig == nullptr || siglen < SM2_RAW_SIG_LEN || (tbs == nullptr && tbslen != 0)) {
        return 0;
    }
    BnPtr r(BN_bin2bn(sig, kCoordLen, nullptr));
    BnPtr s(BN_bin2bn(sig + kCoordLen, kCoordLen, nullptr));
    if (!r || !s) {
        return 0;
    }
    const EC_SM2_SIG rs{r.get(), s.get()};
    return EC_SM2_verify(key.get(), id_of(data), tbs, tbslen, &rs, data->md);
}

namespace {

using CoreCipher = size_t (*)(EC_KEY*, const unsigned char*, size_t, unsigned char*, const EVP_MD*);

// Encryption and decryption share their shape: a length query, a check of
// the caller's buffer against it, then the core call.
int run_cipher(CoreCipher core, EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
               size_t inlen)
{
    EC_SM2_PKEY_CTX* data = ctx_data(ctx);
    EcKeyPtr key = ctx_key(ctx);
    if (data == nullptr || !key || outlen == nullptr || (in == nullptr && inlen != 0)) {
        return 0;
    }
    const size_t needed = core(key.get(), in, inlen, nullptr, data->md);
    if (out == nullptr) {
        *outlen = needed;
        return 1;
    }
    if (*outlen < needed) {
        return 0;
    }
    // A core failure (empty message, cipher text that does not check) is a
    // length of 0 with result 1.
    *outlen = core(key.get(), in, inlen, out, data->md);
    return 1;
}

}  // namespace

int pkey_sm2_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen)
{
    return run_cipher(EC_SM2_encrypt, ctx, out, outlen, in, inlen);
}

int pkey_sm2_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen)
{
    return run_cipher(EC_SM2_decrypt, ctx, out, outlen, in, inlen);
}

EVP_PKEY_METHOD* sm2_pmeth_new(int id)
{
    if (id == 0) {
        id = sm_library_nid(NID_internal_sm2);
    }
    if (id <= 0) {
        return nullptr;
    }
    EVP_PKEY_METHOD* pmeth = EVP_PKEY_meth_new(id, 0);
    if (pmeth == nullptr) {
        return nullptr;
    }
    EVP_PKEY_meth_set_init(pmeth, pkey_sm2_init);
    EVP_PKEY_meth_set_cleanup(pmeth, pkey_sm2_cleanup);
    // copy and ctrl: EVP_DigestSign/EVP_DigestVerify set the digest through
    // ctrl and sign on a copy of the context.
    EVP_PKEY_meth_set_copy(pmeth, pkey_sm2_copy);
    EVP_PKEY_meth_set_ctrl(pmeth, pkey_sm2_ctrl, nullptr);
    EVP_PKEY_meth_set_encrypt(pmeth, pkey_sm2_encrypt_init, pkey_sm2_encrypt);
    EVP_PKEY_meth_set_decrypt(pmeth, pkey_sm2_decrypt_init, pkey_sm2_decrypt);
    EVP_PKEY_meth_set_sign(pmeth, pkey_sm2_decrypt_init, pkey_sm2_sign);
    EVP_PKEY_meth_set_verify(pmeth, pkey_sm2_encrypt_init, pkey_sm2_verify);
    return pmeth;
}

}  // namespace sm
