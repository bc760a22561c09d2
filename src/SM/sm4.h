#pragma once
// SM4 block cipher (GB/T 32907-2016) over a caller-owned key schedule, and
// its four crypto-library cipher methods.

// The library's evp.h defines EVP_sm4_cfb as a macro for EVP_sm4_cfb128.
// Including it here keeps that renaming identical in every unit that sees
// the declaration below, so sm::EVP_sm4_cfb always names one function.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

namespace sm {

using UINT8 = std::uint8_t;
using UINT32 = std::uint32_t;

constexpr std::size_t SM4_BLOCK_SIZE = 16;
constexpr std::size_t SM4_KEY_LENGTH = 16;

struct SM4_KEY {
    UINT32 RK_ADDR[32];  // round keys rk0..rk31 in encryption order
};
static_assert(sizeof(SM4_KEY) == 128, "SM4_KEY is 32 round keys");

// Reads the 16-byte key big-endian and runs the key schedule; returns 0.
int SM4InitKey(const UINT8* pEK, SM4_KEY* key);
// GB/T 32907-2016, 7.3: key schedule from the four key words MK0..MK3.
void SMS4ExternKey(UINT32* MK, SM4_KEY* key);
// One 16-byte block; pIn and pOut may be the same buffer.
void SM4EncryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key);
void SM4DecryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key);
// buff ^= chain over 16 bytes.
void SM4Xor(UINT8* buff, const UINT8* chain);
// Reverses the bytes of each of the first min(nLen / 4, 63) 32-bit words.
void ChangeEndian(UINT8* pBuf, UINT8 nLen);

// Many independent blocks at once (ECB), by the fastest code this CPU runs.
// in and out may be the same buffer.
void SM4EncryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key);
void SM4DecryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key);
// CBC decryption of whole blocks, iv updated to the last cipher block. in and
// out may be the same buffer.
void SM4CbcDecryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key, UINT8* iv);

// The cipher methods. They live in this namespace so they never collide with
// the library's own functions of the same names.
const EVP_CIPHER* EVP_sm4_ecb();
const EVP_CIPHER* EVP_sm4_cbc();
const EVP_CIPHER* EVP_sm4_cfb();
const EVP_CIPHER* EVP_sm4_ofb();

// The methods' cipher functions, with the library's signatures: whole
// 16-byte blocks only, a trailing partial block is left untouched; return 1.
int sm4_init_key(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int enc);
int sm4_ecb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, std::size_t inl);
int sm4_cbc_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, std::size_t inl);
int sm4_cfb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, std::size_t inl);
int sm4_ofb_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, std::size_t inl);

// The cipher written step by step after GB/T 32907-2016: S-box per byte,
// T and T' computed on every call. Kept as the reference the fast paths are
// tested against.
namespace ref {
void SMS4ExternKey(UINT32* MK, SM4_KEY* key);
void SM4EncryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key);
void SM4DecryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key);
}  // namespace ref

// The interchangeable multi-block implementations, exposed so that each can
// be tested against the reference whichever one this CPU would pick.
namespace sm4impl {
enum class Path { Table, Avx2Gfni, Avx512Gfni };
bool available(Path p);
// Best available path; the one the functions above use.
Path best();
// Runs the 32 rounds with rk in the given order (reversed rk decrypts) on
// each of the blocks. Requires available(p).
void crypt_blocks(Path p, const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks);
}  // namespace sm4impl

}  // namespace sm
