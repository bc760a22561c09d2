// SM4 block cipher, GB/T 32907-2016.
//
// The reference form (namespace ref) computes T and T' from the S-box byte
// by byte, as the standard writes them. The fast single-block form merges
// the S-box and the linear transform L into four 256-entry word tables.
// Many independent blocks (ECB, CBC decryption) go to a SIMD kernel when the
// CPU has one (sm4_simd.cpp), otherwise through the tables.

#include "SM/sm4.h"
#include "SM/sm4_internal.h"

#include <cstring>
#include <initializer_list>

namespace sm {


namespace {

using sm4detail::SM4_S;

// GB/T 32907-2016, 7.3: system parameters FK.
constexpr UINT32 FK[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

// GB/T 32907-2016, 7.3: fixed parameters CK; byte j of CK_i is (4i + j) * 7
// mod 256.
struct CkTable {
    UINT32 ck[32];
};
constexpr CkTable makeCK()
{
    CkTable t{};
    for (unsigned i = 0; i < 32; ++i) {
        UINT32 w = 0;
        for (unsigned j = 0; j < 4; ++j) {
            w = (w << 8) | (((4 * i + j) * 7) & 0xff);
        }
        t.ck[i] = w;
    }
    return t;
}
constexpr CkTable CK = makeCK();

constexpr UINT32 rol(UINT32 x, unsigned k) { return (x << k) | (x >> (32 - k)); }

inline UINT32 load_be32(const UINT8* p)
{
    return (UINT32{p[0]} << 24) | (UINT32{p[1]} << 16) | (UINT32{p[2]} << 8) | UINT32{p[3]};
}

inline void store_be32(UINT8* p, UINT32 v)
{
    p[0] = static_cast<UINT8>(v >> 24);
    p[1] = static_cast<UINT8>(v >> 16);
    p[2] = static_cast<UINT8>(v >> 8);
    p[3] = static_cast<UINT8>(v);
}

// ---- reference form ----

// GB/T 32907-2016, 6.2 a): the non-linear transform tau, S-box per byte.
UINT32 tau(UINT32 a)
{
    return (UINT32{SM4_S[a >> 24]} << 24) | (UINT32{SM4_S[(a >> 16) & 0xff]} << 16) |
           (UINT32{SM4_S[(a >> 8) & 0xff]} << 8) | UINT32{SM4_S[a & 0xff]};
}

// GB/T 32907-2016, 6.2: T = L(tau(.)), L(B) = B ^ B<<<2 ^ B<<<10 ^ B<<<18 ^ B<<<24.
UINT32 SM4_T(UINT32 a)
{
    const UINT32 b = tau(a);
    return b ^ rol(b, 2) ^ rol(b, 10) ^ rol(b, 18) ^ rol(b, 24);
}

// GB/T 32907-2016, 7.3: T' = L'(tau(.)), L'(B) = B ^ B<<<13 ^ B<<<23.
UINT32 SM4_T2(UINT32 a)
{
    const UINT32 b = tau(a);
    return b ^ rol(b, 13) ^ rol(b, 23);
}

// GB/T 32907-2016, 6.1: round function F.
UINT32 SM4_F(UINT32 x0, UINT32 x1, UINT32 x2, UINT32 x3, UINT32 rk)
{
    return x0 ^ SM4_T(x1 ^ x2 ^ x3 ^ rk);
}

// GB/T 32907-2016, 7.1: 32 rounds then the reverse transform R.
void crypt_ref(const UINT8* in, UINT8* out, const UINT32* rk, bool decrypt)
{
    UINT32 x[36];
    for (int i = 0; i < 4; ++i) {
        x[i] = load_be32(in + 4 * i);
    }
    for (int i = 0; i < 32; ++i) {
        x[i + 4] = SM4_F(x[i], x[i + 1], x[i + 2], x[i + 3], rk[decrypt ? 31 - i : i]);
    }
    for (int i = 0; i < 4; ++i) {
        store_be32(out + 4 * i, x[35 - i]);
    }
}

// ---- table form ----

// T folded into four tables: TT[k][b] = L(S(b) << (24 - 8k)).
struct TTables {
    UINT32 t[4][256];
};
constexpr TTables makeTT()
{
    TTables r{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned k = 0; k < 4; ++k) {
            const UINT32 s = UINT32{SM4_S[b]} << (24 - 8 * k);
            r.t[k][b] = s ^ rol(s, 2) ^ rol(s, 10) ^ rol(s, 18) ^ rol(s, 24);
        }
    }
    return r;
}

constexpr TTables TT = makeTT();

inline UINT32 T_table(UINT32 a)
{
    return TT.t[0][a >> 24] ^ TT.t[1][(a >> 16) & 0xff] ^ TT.t[2][(a >> 8) & 0xff] ^ TT.t[3][a & 0xff];
}

// Four rounds per step; rk already in the order the rounds use it.
inline void crypt_table(const UINT8* in, UINT8* out, const UINT32* rk)
{
    UINT32 x0 = load_be32(in), x1 = load_be32(in + 4), x2 = load_be32(in + 8), x3 = load_be32(in + 12);
    for (int i = 0; i < 32; i += 4) {
        x0 ^= T_table(x1 ^ x2 ^ x3 ^ rk[i]);
        x1 ^= T_table(x2 ^ x3 ^ x0 ^ rk[i + 1]);
        x2 ^= T_table(x3 ^ x0 ^ x1 ^ rk[i + 2]);
        x3 ^= T_table(x0 ^ x1 ^ x2 ^ rk[i + 3]);
    }
    store_be32(out, x3);
    store_be32(out + 4, x2);
    store_be32(out + 8, x1);
    store_be32(out + 12, x0);
}

void crypt_blocks_table(const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks)
{
    for (std::size_t i = 0; i < blocks; ++i) {
        crypt_table(in + 16 * i, out + 16 * i, rk);
    }
}

// dst = a ^ b over one block, eight bytes at a time.
inline void xor16(UINT8* dst, const UINT8* a, const UINT8* b)
{
    std::uint64_t x[2], y[2];
    std::memcpy(x, a, 16);
    std::memcpy(y, b, 16);
    x[0] ^= y[0];
    x[1] ^= y[1];
    std::memcpy(dst, x, 16);
}

struct Reversed {
    UINT32 rk[32];
    explicit Reversed(const SM4_KEY* key)
    {
        for (int i = 0; i < 32; ++i) {
            rk[i] = key->RK_ADDR[31 - i];
        }
    }
};

// Below this many blocks a SIMD kernel costs more than it saves.
constexpr std::size_t kSimdMinBlocks = 4;

using Kernel = void (*)(const UINT32*, const UINT8*, UINT8*, std::size_t);

Kernel kernel_for(sm4impl::Path p)
{
    switch (p) {
    case sm4impl::Path::Avx512Gfni:
        return sm4detail::crypt_blocks_avx512_gfni;
    case sm4impl::Path::Avx2Gfni:
        return sm4detail::crypt_blocks_avx2_gfni;
    case sm4impl::Path::Table:
        break;
    }
    return crypt_blocks_table;
}

Kernel best_kernel()
{
    static const Kernel k = kernel_for(sm4impl::best());
    return k;
}

void crypt_many(const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks)
{
    if (blocks < kSimdMinBlocks) {
        crypt_blocks_table(rk, in, out, blocks);
    } else {
        best_kernel()(rk, in, out, blocks);
    }
}

}  // namespace

namespace ref {

void SMS4ExternKey(UINT32* MK, SM4_KEY* key)
{
    UINT32 k[36];
    for (int i = 0; i < 4; ++i) {
        k[i] = MK[i] ^ FK[i];
    }
    for (int i = 0; i < 32; ++i) {
        k[i + 4] = k[i] ^ SM4_T2(k[i + 1] ^ k[i + 2] ^ k[i + 3] ^ CK.ck[i]);
        key->RK_ADDR[i] = k[i + 4];
    }
}

void SM4EncryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key)
{
    crypt_ref(pIn, pOut, key->RK_ADDR, false);
}

void SM4DecryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key)
{
    crypt_ref(pIn, pOut, key->RK_ADDR, true);
}

}  // namespace ref

// The schedule runs once per key; the per-byte form is fast enough.
void SMS4ExternKey(UINT32* MK, SM4_KEY* key)
{
    ref::SMS4ExternKey(MK, key);
}

int SM4InitKey(const UINT8* pEK, SM4_KEY* key)
{
    UINT32 mk[4];
    for (int i = 0; i < 4; ++i) {
        mk[i] = load_be32(pEK + 4 * i);
    }
    SMS4ExternKey(mk, key);
    return 0;
}

void SM4EncryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key)
{
    crypt_table(pIn, pOut, key->RK_ADDR);
}

void SM4DecryptBlock(const UINT8* pIn, UINT8* pOut, const SM4_KEY* key)
{
    const Reversed r(key);
    crypt_table(pIn, pOut, r.rk);
}

void SM4Xor(UINT8* buff, const UINT8* chain)
{
    for (int i = 0; i < 16; ++i) {
        buff[i] ^= chain[i];
    }
}

void ChangeEndian(UINT8* pBuf, UINT8 nLen)
{
    for (unsigned w = 0; w < nLen / 4u; ++w) {
        UINT8* p = pBuf + 4 * w;
        UINT8 t = p[0];
        p[0] = p[3];
        p[3] = t;
        t = p[1];
        p[1] = p[2];
        p[2] = t;
    }
}

void SM4EncryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key)
{
    crypt_many(key->RK_ADDR, in, out, blocks);
}

void SM4DecryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key)
{
    const Reversed r(key);
    crypt_many(r.rk, in, out, blocks);
}

void SM4CbcDecryptBlocks(const UINT8* in, UINT8* out, std::size_t blocks, const SM4_KEY* key, UINT8* iv)
{
    const Reversed r(key);
    // P_i = D(C_i) ^ C_(i-1). Decrypt a chunk into scratch, then chain from
    // the last block down so that, when out is in, no cipher block is
    // overwritten before it has served as the chaining value of its successor.
    constexpr std::size_t kChunk = 32;
    UINT8 plain[kChunk * 16];
    while (blocks > 0) {
        const std::size_t n = blocks < kChunk ? blocks : kChunk;
        crypt_many(r.rk, in, plain, n);
        UINT8 next_iv[16];
        std::memcpy(next_iv, in + 16 * (n - 1), 16);
        for (std::size_t j = n; j-- > 1;) {
            xor16(out + 16 * j, plain + 16 * j, in + 16 * (j - 1));
        }
        xor16(out, plain, iv);
        std::memcpy(iv, next_iv, 16);
        in += 16 * n;
        out += 16 * n;
        blocks -= n;
    }
}

namespace sm4impl {

bool available(Path p)
{
    switch (p) {
    case Path::Avx512Gfni:
        return sm4detail::avx512_gfni_usable();
    case Path::Avx2Gfni:
        return sm4detail::avx2_gfni_usable();
    case Path::Table:
        return true;
    }
    return false;
}

Path best()
{
    for (const Path p : {Path::Avx512Gfni, Path::Avx2Gfni}) {
        if (available(p)) {
            return p;
        }
    }
    return Path::Table;
}

void crypt_blocks(Path p, const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks)
{
    kernel_for(p)(rk, in, out, blocks);
}

}  // namespace sm4impl

}  // namespace sm
