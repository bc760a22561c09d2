#pragma once
// SM3 cryptographic hash (GB/T 32905-2016) over a caller-owned context.

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

namespace sm {

constexpr std::size_t SM3_DIGEST_LENGTH = 32;
constexpr std::size_t SM3_BLOCK_SIZE = 64;

struct SM3_CTX {
    std::uint32_t Regs[8];    // chaining value A..H
    std::uint32_t BitLen[2];  // message length in bits: [0] low word, [1] high word
    std::uint32_t W[68];      // message expansion; W[0..15] also buffer the block being filled (big-endian words)
    std::uint32_t WDot[64];   // W'[j] = W[j] ^ W[j + 4]
};
static_assert(sizeof(SM3_CTX) == 568, "SM3_CTX is 142 32-bit words");

// All return 1 on success and 0 when a required argument is absent.
int SM3_Init(SM3_CTX* s);
int SM3_Update(SM3_CTX* s, const void* data, std::size_t len);
// Writes the 32-byte digest. The context is not reset afterwards.
int SM3_Final(SM3_CTX* s, unsigned char* hash);
// One-shot digest of d[0..n) into md; returns md.
unsigned char* SM3(const unsigned char* d, std::size_t n, unsigned char* md);

// SM3 as a digest method for the crypto library's generic digest calls
// (EVP_DigestInit_ex and friends). Built once; the library owns nothing.
// It lives in this namespace so it never collides with the library's own
// EVP_sm3.
const EVP_MD* EVP_sm3();

// The same operations written step by step after GB/T 32905-2016: one byte at
// a time, the full W/W' expansion stored in the context, one generic round.
// Kept as the readable reference that the fast form above is tested against.
namespace ref {
int SM3_Init(SM3_CTX* s);
int SM3_Update(SM3_CTX* s, const void* data, std::size_t len);
int SM3_Final(SM3_CTX* s, unsigned char* hash);
unsigned char* SM3(const unsigned char* d, std::size_t n, unsigned char* md);
}  // namespace ref

}  // namespace sm
