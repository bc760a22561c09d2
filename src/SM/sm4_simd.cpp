// SM4 on many independent blocks at once with GFNI.
//
// The SM4 S-box is affine-equivalent to inversion in GF(2^8): S(x) =
// A * inv(A * x + c) + c, with inversion modulo x^8+x^7+x^6+x^5+x^4+x^2+1
// and A a circulant matrix (a published property of the SM4 S-box). GFNI
// inverts modulo the other polynomial x^8+x^4+x^3+x+1, so a field isomorphism M carries one into the other:
// S(x) = (A M^-1) * inv'((M A) * x + M c) + c, which is two instructions
// per 64 bytes. Nothing here is copied from a table: A, c and M are found by
// search at first use and the result is checked against the S-box on all
// 256 inputs; if the check failed the kernels would report themselves
// unusable and the table code would run instead.
//
// Data layout: each 32-bit lane holds one word of one block, so a round
// treats 16 (AVX-512) or 8 (AVX2) blocks with a handful of instructions.

#include "SM/sm4_internal.h"

#include <immintrin.h>

#include <cstring>

namespace sm {
namespace sm4detail {

namespace {

// ---- derivation of the affine maps ----

// An 8x8 matrix over GF(2) as rows: bit i of (m * x) is the parity of
// row[i] & x.
struct Mat {
    UINT8 row[8];
};

unsigned apply(const Mat& m, unsigned x)
{
    unsigned y = 0;
    for (int i = 0; i < 8; ++i) {
        y |= static_cast<unsigned>(__builtin_parity(m.row[i] & x)) << i;
    }
    return y;
}

// Matrix whose columns are f(e_0) .. f(e_7).
template <class F>
Mat from_columns(F f)
{
    Mat m{};
    for (int col = 0; col < 8; ++col) {
        const unsigned image = f(1u << col);
        for (int i = 0; i < 8; ++i) {
            m.row[i] = static_cast<UINT8>(m.row[i] | (((image >> i) & 1u) << col));
        }
    }
    return m;
}

unsigned gf_mul(unsigned a, unsigned b, unsigned poly)
{
    unsigned r = 0;
    while (b != 0) {
        if (b & 1) {
            r ^= a;
        }
        b >>= 1;
        a <<= 1;
        if (a & 0x100) {
            a ^= poly;
        }
    }
    return r;
}

void inverse_table(unsigned poly, UINT8* inv)
{
    inv[0] = 0;
    for (unsigned a = 1; a < 256; ++a) {
        for (unsigned b = 1; b < 256; ++b) {
            if (gf_mul(a, b, poly) == 1) {
                inv[a] = static_cast<UINT8>(b);
                break;
            }
        }
    }
}

constexpr unsigned kSm4Poly = 0x1f5;  // x^8+x^7+x^6+x^5+x^4+x^2+1
constexpr unsigned kGfniPoly = 0x11b; // x^8+x^4+x^3+x+1

// GFNI's matrix operand: the row for output bit i sits in byte 7 - i.
std::uint64_t gfni_operand(const Mat& m)
{
    std::uint64_t q = 0;
    for (int i = 0; i < 8; ++i) {
        q |= std::uint64_t{m.row[i]} << (8 * (7 - i));
    }
    return q;
}

struct Gfni {
    bool ok = false;
    std::uint64_t pre = 0;   // M A
    std::uint64_t post = 0;  // A M^-1
    UINT8 in_mask = 0;       // d with (M A) d = M c, folded into the round keys
    UINT8 out_const = 0;     // c
};

// Finds a circulant A (each row the one before rotated left by one) and a
// constant c with S(x) = A * inv(A * x + c) + c for all 256 x.
bool find_circulant_affine(const UINT8* inv_sm4, Mat& a, unsigned& c)
{
    for (unsigned gen = 0; gen < 256; ++gen) {
        for (int i = 0; i < 8; ++i) {
            a.row[i] = static_cast<UINT8>(((gen << i) | (gen >> (8 - i))) & 0xff);
        }
        for (c = 0; c < 256; ++c) {
            unsigned x = 0;
            while (x < 256 && (apply(a, inv_sm4[apply(a, x) ^ c]) ^ c) == SM4_S[x]) {
                ++x;
            }
            if (x == 256) {
                return true;
            }
        }
    }
    return false;
}

Gfni derive()
{
    Gfni g;
    UINT8 inv_sm4[256];
    UINT8 inv_gfni[256];
    inverse_table(kSm4Poly, inv_sm4);
    inverse_table(kGfniPoly, inv_gfni);

    Mat a{};
    unsigned c = 0;
    if (!find_circulant_affine(inv_sm4, a, c)) {
        return g;
    }

    // M maps x^i to beta^i, beta a root of the SM4 polynomial in GFNI's field.
    unsigned beta = 0;
    for (unsigned b = 2; b < 256 && beta == 0; ++b) {
        unsigned value = 0;
        unsigned power = 1;
        for (int i = 0; i <= 8; ++i) {
            if ((kSm4Poly >> i) & 1u) {
                value ^= power;
            }
            power = gf_mul(power, b, kGfniPoly);
        }
        if (value == 0) {
            beta = b;
        }
    }
    if (beta == 0) {
        return g;
    }
    unsigned powers[8];
    powers[0] = 1;
    for (int i = 1; i < 8; ++i) {
        powers[i] = gf_mul(powers[i - 1], beta, kGfniPoly);
    }
    const Mat m = from_columns([&](unsigned e) { return powers[__builtin_ctz(e)]; });
    UINT8 m_inv_table[256];
    for (unsigned y = 0; y < 256; ++y) {
        m_inv_table[apply(m, y)] = static_cast<UINT8>(y);
    }
    const Mat m_inv = from_columns([&](unsigned e) { return m_inv_table[e]; });
    const Mat pre = from_columns([&](unsigned e) { return apply(m, apply(a, e)); });
    const Mat post = from_columns([&](unsigned e) { return apply(a, apply(m_inv, e)); });
    const unsigned pre_const = apply(m, c);
    unsigned d = 0;
    while (d < 256 && apply(pre, d) != pre_const) {
        ++d;
    }
    if (d == 256) {
        return g;
    }
    for (unsigned x = 0; x < 256; ++x) {
        if ((apply(post, inv_gfni[apply(pre, x ^ d)]) ^ c) != SM4_S[x]) {
            return g;
        }
    }
    g.pre = gfni_operand(pre);
    g.post = gfni_operand(post);
    g.in_mask = static_cast<UINT8>(d);
    g.out_const = static_cast<UINT8>(c);
    g.ok = true;
    return g;
}

const Gfni& gfni()
{
    static const Gfni g = derive();
    return g;
}

constexpr UINT32 rol(UINT32 x, unsigned k) { return (x << k) | (x >> (32 - k)); }

// Per-call constants: round keys with the input mask folded in, and L of
// the broadcast output constant, which the rounds add after L.
struct Prepared {
    UINT32 rk[32];
    UINT32 l_const;
};

Prepared prepare(const UINT32* rk)
{
    const Gfni& g = gfni();
    const UINT32 mask = 0x01010101u * g.in_mask;
    Prepared p;
    for (int i = 0; i < 32; ++i) {
        p.rk[i] = rk[i] ^ mask;
    }
    const UINT32 b = 0x01010101u * g.out_const;
    p.l_const = b ^ rol(b, 2) ^ rol(b, 10) ^ rol(b, 18) ^ rol(b, 24);
    return p;
}

// ---- AVX-512: 16 blocks ----

// GCC 12's AVX-512 intrinsics start from _mm512_undefined_epi32(), which its
// own -Wuninitialized then reports inside every inlined call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"

#define SM4_AVX512 __attribute__((target("avx512f,avx512bw,gfni")))

SM4_AVX512 inline void transpose4_512(__m512i& a, __m512i& b, __m512i& c, __m512i& d)
{
    const __m512i t0 = _mm512_unpacklo_epi32(a, b);
    const __m512i t1 = _mm512_unpackhi_epi32(a, b);
    const __m512i t2 = _mm512_unpacklo_epi32(c, d);
    const __m512i t3 = _mm512_unpackhi_epi32(c, d);
    a = _mm512_unpacklo_epi64(t0, t2);
    b = _mm512_unpackhi_epi64(t0, t2);
    c = _mm512_unpacklo_epi64(t1, t3);
    d = _mm512_unpackhi_epi64(t1, t3);
}

SM4_AVX512 void crypt16_avx512(const Prepared& p, const UINT8* in, UINT8* out)
{
    const Gfni& g = gfni();
    const __m512i bswap = _mm512_set4_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203);
    const __m512i pre = _mm512_set1_epi64(static_cast<long long>(g.pre));
    const __m512i post = _mm512_set1_epi64(static_cast<long long>(g.post));
    const __m512i lc = _mm512_set1_epi32(static_cast<int>(p.l_const));
    __m512i x0 = _mm512_shuffle_epi8(_mm512_loadu_si512(in), bswap);
    __m512i x1 = _mm512_shuffle_epi8(_mm512_loadu_si512(in + 64), bswap);
    __m512i x2 = _mm512_shuffle_epi8(_mm512_loadu_si512(in + 128), bswap);
    __m512i x3 = _mm512_shuffle_epi8(_mm512_loadu_si512(in + 192), bswap);
    transpose4_512(x0, x1, x2, x3);

    // x0 ^= L(S(x1 ^ x2 ^ x3 ^ rk)); 0x96 is the three-way XOR.
#define SM4_ROUND512(x0, x1, x2, x3, k)                                                               \
    do {                                                                                              \
        __m512i t = _mm512_ternarylogic_epi32(x1, x2, x3, 0x96);                                      \
        t = _mm512_xor_si512(t, _mm512_set1_epi32(static_cast<int>(k)));                              \
        t = _mm512_gf2p8affine_epi64_epi8(t, pre, 0);                                                 \
        t = _mm512_gf2p8affineinv_epi64_epi8(t, post, 0);                                             \
        const __m512i u = _mm512_ternarylogic_epi32(t, _mm512_rol_epi32(t, 2), _mm512_rol_epi32(t, 10), 0x96); \
        const __m512i v = _mm512_ternarylogic_epi32(x0, _mm512_rol_epi32(t, 18), _mm512_rol_epi32(t, 24), 0x96); \
        x0 = _mm512_ternarylogic_epi32(u, v, lc, 0x96);                                               \
    } while (0)

    for (int i = 0; i < 32; i += 4) {
        SM4_ROUND512(x0, x1, x2, x3, p.rk[i]);
        SM4_ROUND512(x1, x2, x3, x0, p.rk[i + 1]);
        SM4_ROUND512(x2, x3, x0, x1, p.rk[i + 2]);
        SM4_ROUND512(x3, x0, x1, x2, p.rk[i + 3]);
    }
#undef SM4_ROUND512

    // Output X35, X34, X33, X32.
    transpose4_512(x3, x2, x1, x0);
    _mm512_storeu_si512(out, _mm512_shuffle_epi8(x3, bswap));
    _mm512_storeu_si512(out + 64, _mm512_shuffle_epi8(x2, bswap));
    _mm512_storeu_si512(out + 128, _mm512_shuffle_epi8(x1, bswap));
    _mm512_storeu_si512(out + 192, _mm512_shuffle_epi8(x0, bswap));
}

#pragma GCC diagnostic pop

// ---- AVX2: 8 blocks ----

#define SM4_AVX2 __attribute__((target("avx2,gfni")))

SM4_AVX2 inline void transpose4_256(__m256i& a, __m256i& b, __m256i& c, __m256i& d)
{
    const __m256i t0 = _mm256_unpacklo_epi32(a, b);
    const __m256i t1 = _mm256_unpackhi_epi32(a, b);
    const __m256i t2 = _mm256_unpacklo_epi32(c, d);
    const __m256i t3 = _mm256_unpackhi_epi32(c, d);
    a = _mm256_unpacklo_epi64(t0, t2);
    b = _mm256_unpackhi_epi64(t0, t2);
    c = _mm256_unpacklo_epi64(t1, t3);
    d = _mm256_unpackhi_epi64(t1, t3);
}

template <int K>
SM4_AVX2 inline __m256i rol256(__m256i x)
{
    return _mm256_or_si256(_mm256_slli_epi32(x, K), _mm256_srli_epi32(x, 32 - K));
}

SM4_AVX2 void crypt8_avx2(const Prepared& p, const UINT8* in, UINT8* out)
{
    const Gfni& g = gfni();
    const __m256i bswap = _mm256_set_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203, 0x0c0d0e0f, 0x08090a0b,
                                           0x04050607, 0x00010203);
    // Rotating a word by 24 moves whole bytes: one shuffle.
    const __m256i rol24 = _mm256_set_epi32(0x0c0f0e0d, 0x080b0a09, 0x04070605, 0x00030201, 0x0c0f0e0d, 0x080b0a09,
                                           0x04070605, 0x00030201);
    const __m256i pre = _mm256_set1_epi64x(static_cast<long long>(g.pre));
    const __m256i post = _mm256_set1_epi64x(static_cast<long long>(g.post));
    const __m256i lc = _mm256_set1_epi32(static_cast<int>(p.l_const));
    const __m256i* src = reinterpret_cast<const __m256i*>(in);
    __m256i x0 = _mm256_shuffle_epi8(_mm256_loadu_si256(src), bswap);
    __m256i x1 = _mm256_shuffle_epi8(_mm256_loadu_si256(src + 1), bswap);
    __m256i x2 = _mm256_shuffle_epi8(_mm256_loadu_si256(src + 2), bswap);
    __m256i x3 = _mm256_shuffle_epi8(_mm256_loadu_si256(src + 3), bswap);
    transpose4_256(x0, x1, x2, x3);

#define SM4_ROUND256(x0, x1, x2, x3, k)                                                              \
    do {                                                                                             \
        __m256i t = _mm256_xor_si256(_mm256_xor_si256(x1, x2), x3);                                  \
        t = _mm256_xor_si256(t, _mm256_set1_epi32(static_cast<int>(k)));                             \
        t = _mm256_gf2p8affine_epi64_epi8(t, pre, 0);                                                \
        t = _mm256_gf2p8affineinv_epi64_epi8(t, post, 0);                                            \
        const __m256i u = _mm256_xor_si256(_mm256_xor_si256(t, rol256<2>(t)), rol256<10>(t));        \
        const __m256i v = _mm256_xor_si256(rol256<18>(t), _mm256_shuffle_epi8(t, rol24));            \
        x0 = _mm256_xor_si256(_mm256_xor_si256(x0, lc), _mm256_xor_si256(u, v));                     \
    } while (0)

    for (int i = 0; i < 32; i += 4) {
        SM4_ROUND256(x0, x1, x2, x3, p.rk[i]);
        SM4_ROUND256(x1, x2, x3, x0, p.rk[i + 1]);
        SM4_ROUND256(x2, x3, x0, x1, p.rk[i + 2]);
        SM4_ROUND256(x3, x0, x1, x2, p.rk[i + 3]);
    }
#undef SM4_ROUND256

    transpose4_256(x3, x2, x1, x0);
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(dst, _mm256_shuffle_epi8(x3, bswap));
    _mm256_storeu_si256(dst + 1, _mm256_shuffle_epi8(x2, bswap));
    _mm256_storeu_si256(dst + 2, _mm256_shuffle_epi8(x1, bswap));
    _mm256_storeu_si256(dst + 3, _mm256_shuffle_epi8(x0, bswap));
}

// Whole groups straight from the buffers, the remainder through scratch.
template <std::size_t Group, class Fn>
void run_groups(const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks, Fn fn)
{
    const Prepared p = prepare(rk);
    for (; blocks >= Group; blocks -= Group, in += 16 * Group, out += 16 * Group) {
        fn(p, in, out);
    }
    if (blocks > 0) {
        UINT8 scratch[16 * Group] = {};
        std::memcpy(scratch, in, 16 * blocks);
        fn(p, scratch, scratch);
        std::memcpy(out, scratch, 16 * blocks);
    }
}

}  // namespace

bool avx512_gfni_usable()
{
    static const bool usable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("gfni") && gfni().ok;
    return usable;
}

bool avx2_gfni_usable()
{
    static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("gfni") && gfni().ok;
    return usable;
}

void crypt_blocks_avx512_gfni(const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks)
{
    run_groups<16>(rk, in, out, blocks, crypt16_avx512);
}

void crypt_blocks_avx2_gfni(const UINT32* rk, const UINT8* in, UINT8* out, std::size_t blocks)
{
    run_groups<8>(rk, in, out, blocks, crypt8_avx2);
}

}  // namespace sm4detail
}  // namespace sm
