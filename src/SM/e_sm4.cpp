// SM4 as crypto-library cipher methods (EVP_CIPHER) in ECB, CBC, CFB and OFB
// mode. Methods built with EVP_CIPHER_meth_new have no provider behind them,
// so the library's generic layer buffers partial blocks, applies its block
// padding, keeps the working IV, and calls these functions with whole
// blocks on a data area of sizeof(SM4_KEY) bytes.

#include "SM/sm4.h"
#include "SM/sm_oid.h"

#include <algorithm>
#include <memory>

namespace sm {

namespace {

SM4_KEY* key_of(EVP_CIPHER_CTX* ctx)
{
    return static_cast<SM4_KEY*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

using CipherPtr = std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_meth_free)>;

CipherPtr build(int mode, int iv_length, int (*do_cipher)(EVP_CIPHER_CTX*, unsigned char*, const unsigned char*, size_t))
{
    // The system calls SM4 960 (1.2.156.10197.1.104); the library only knows
    // that identifier once it has been registered, under a number of its own.
    CipherPtr c(EVP_CIPHER_meth_new(sm_library_nid(NID_internal_sm4), static_cast<int>(SM4_BLOCK_SIZE),
                                    static_cast<int>(SM4_KEY_LENGTH)),
                &EVP_CIPHER_meth_free);
    if (!c || EVP_CIPHER_meth_set_iv_length(c.get(), iv_length) != 1 || EVP_CIPHER_meth_set_flags(c.get(), mode) != 1 ||
        EVP_CIPHER_meth_set_init(c.get(), sm4_init_key) != 1 || EVP_CIPHER_meth_set_do_cipher(c.get(), do_cipher) != 1 ||
        EVP_CIPHER_meth_set_impl_ctx_size(c.get(), sizeof(SM4_KEY)) != 1 ||
        EVP_CIPHER_meth_set_set_asn1_params(c.get(), EVP_CIPHER_set_asn1_iv) != 1 ||
        EVP_CIPHER_meth_set_get_asn1_params(c.get(), EVP_CIPHER_get_asn1_iv) != 1) {
        return CipherPtr(nullptr, &EVP_CIPHER_meth_free);
    }
    return c;
}

}  // namespace

int sm4_init_key(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char*, int)
{
    // One schedule serves both directions; decryption reads it backwards.
    if (key != nullptr) {
        SM4InitKey(key, key_of(ctx));
    }
    return 1;
}

int sm4_ecb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t inl)
{
    const std::size_t blocks = inl / SM4_BLOCK_SIZE;
    if (EVP_CIPHER_CTX_is_encrypting(ctx)) {
        SM4EncryptBlocks(in, out, blocks, key_of(ctx));
    } else {
        SM4DecryptBlocks(in, out, blocks, key_of(ctx));
    }
    return 1;
}

int sm4_cbc_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t inl)
{
    const SM4_KEY* key = key_of(ctx);
    unsigned char* iv = EVP_CIPHER_CTX_iv_noconst(ctx);
    std::size_t blocks = inl / SM4_BLOCK_SIZE;
    if (!EVP_CIPHER_CTX_is_encrypting(ctx)) {
        SM4CbcDecryptBlocks(in, out, blocks, key, iv);
        return 1;
    }
    // C_i = E(P_i ^ C_(i-1)): inherently one block after another.
    for (; blocks > 0; --blocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        unsigned char x[SM4_BLOCK_SIZE];
        for (std::size_t i = 0; i < SM4_BLOCK_SIZE; ++i) {
            x[i] = static_cast<unsigned char>(in[i] ^ iv[i]);
        }
        SM4EncryptBlock(x, out, key);
        std::copy(out, out + SM4_BLOCK_SIZE, iv);
    }
    return 1;
}

// Full-block CFB: C_i = E(C_(i-1)) ^ P_i, in both directions the feedback is
// the cipher block.
int sm4_cfb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t inl)
{
    const SM4_KEY* key = key_of(ctx);
    unsigned char* iv = EVP_CIPHER_CTX_iv_noconst(ctx);
    const bool enc = EVP_CIPHER_CTX_is_encrypting(ctx) != 0;
    for (std::size_t blocks = inl / SM4_BLOCK_SIZE; blocks > 0;
         --blocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        unsigned char stream[SM4_BLOCK_SIZE];
        SM4EncryptBlock(iv, stream, key);
        if (!enc) {
            std::copy(in, in + SM4_BLOCK_SIZE, iv);  // before out may overwrite in
        }
        for (std::size_t i = 0; i < SM4_BLOCK_SIZE; ++i) {
            out[i] = static_cast<unsigned char>(stream[i] ^ in[i]);
        }
        if (enc) {
            std::copy(out, out + SM4_BLOCK_SIZE, iv);
        }
    }
    return 1;
}

// OFB: the key stream is the IV encrypted again and again.
int sm4_ofb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t inl)
{
    const SM4_KEY* key = key_of(ctx);
    unsigned char* iv = EVP_CIPHER_CTX_iv_noconst(ctx);
    for (std::size_t blocks = inl / SM4_BLOCK_SIZE; blocks > 0;
         --blocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        SM4EncryptBlock(iv, iv, key);
        for (std::size_t i = 0; i < SM4_BLOCK_SIZE; ++i) {
            out[i] = static_cast<unsigned char>(iv[i] ^ in[i]);
        }
    }
    return 1;
}

// Each method is built on first use (thread-safe static initialisation) and
// kept for the life of the process, as the library's own tables are.
const EVP_CIPHER* EVP_sm4_ecb()
{
    static const CipherPtr c = build(EVP_CIPH_ECB_MODE, 0, sm4_ecb_cipher);
    return c.get();
}

const EVP_CIPHER* EVP_sm4_cbc()
{
    static const CipherPtr c = build(EVP_CIPH_CBC_MODE, 16, sm4_cbc_cipher);
    return c.get();
}

const EVP_CIPHER* EVP_sm4_cfb()
{
    static const CipherPtr c = build(EVP_CIPH_CFB_MODE, 16, sm4_cfb_cipher);
    return c.get();
}

const EVP_CIPHER* EVP_sm4_ofb()
{
    static const CipherPtr c = build(EVP_CIPH_OFB_MODE, 16, sm4_ofb_cipher);
    return c.get();
}

}  // namespace sm
