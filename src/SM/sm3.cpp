// SM3 cryptographic hash, GB/T 32905-2016.
//
// Two forms share the context layout. The reference form (namespace ref)
// follows the standard step by step: it absorbs one byte at a time, stores
// the whole expansion W[0..67] and W'[0..63] in the context and runs one
// generic round 64 times. The fast form, used by SM3_Init/Update/Final,
// compresses whole 64-byte blocks straight from the input, expands the
// message inside the rounds, unrolls them in groups of four with the roles
// of the registers rotating, reads the rotated constants T_j <<< j from a
// table, and runs a BMI2 build of itself where the CPU has BMI2.

#include "SM/sm3.h"

#include <cstring>

namespace sm {

namespace {

// GB/T 32905-2016, 4.1: initial value IV.
constexpr std::uint32_t IV[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                                 0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

// GB/T 32905-2016, 4.2: constants T_j.
constexpr std::uint32_t T_LOW = 0x79cc4519;   // 0 <= j <= 15
constexpr std::uint32_t T_HIGH = 0x7a879d8a;  // 16 <= j <= 63

constexpr unsigned char PAD = 0x80;
constexpr unsigned char ZERO = 0x00;

constexpr std::uint32_t ROL(std::uint32_t a, unsigned char k)
{
    k &= 31;
    return k == 0 ? a : static_cast<std::uint32_t>((a << k) | (a >> (32 - k)));
}

struct TTable {
    std::uint32_t t[64];
};

constexpr TTable makeT()
{
    TTable r{};
    for (int j = 0; j < 64; ++j) {
        r.t[j] = j < 16 ? T_LOW : T_HIGH;
    }
    return r;
}

// T_j rotated left by j mod 32, as the compression function uses it.
constexpr TTable makeRotatedT()
{
    TTable r{};
    for (int j = 0; j < 64; ++j) {
        r.t[j] = ROL(j < 16 ? T_LOW : T_HIGH, static_cast<unsigned char>(j));
    }
    return r;
}

constexpr TTable T = makeT();
constexpr TTable TROT = makeRotatedT();

// GB/T 32905-2016, 4.4: permutations P0 and P1.
constexpr std::uint32_t P0(std::uint32_t x) { return x ^ ROL(x, 9) ^ ROL(x, 17); }
constexpr std::uint32_t P1(std::uint32_t x) { return x ^ ROL(x, 15) ^ ROL(x, 23); }

inline std::uint32_t load_be32(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void store_be32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void write_digest(const SM3_CTX* s, unsigned char* hash)
{
    for (int i = 0; i < 8; ++i) {
        store_be32(hash + 4 * i, s->Regs[i]);
    }
}

// ---- fast form ----

// One compression (GB/T 32905-2016, 5.3) of the block whose first 16
// message words are in w[0..15]. The expansion W[16..67] is computed just
// ahead of the round that first needs it, so it fills the gaps left by the
// rounds' long dependency chain instead of running as a separate pass.
__attribute__((always_inline)) inline void compress_body(std::uint32_t* regs, std::uint32_t* w)
{
    std::uint32_t A = regs[0], B = regs[1], C = regs[2], D = regs[3];
    std::uint32_t E = regs[4], F = regs[5], G = regs[6], H = regs[7];

    // Round j uses W[j] and W[j + 4]; from j = 12 on, W[j + 4] is new.
    // Instead of shifting eight registers each round, the roles rotate:
    // the new A lands in D's variable and the new E in H's. The E chain
    // (E -> SS1 -> TT2 -> P0 -> next E) is the longest path through a round,
    // so every sum adds the value that arrives last as its final step.
    // Rounds 0-15 are unrolled, rounds 16-63 loop over a body of sixteen.
    // Fully unrolled, the 64 rounds are over 10 KiB of code per copy; one
    // such build ran three times slower than another with the same object
    // code, only linked at a different place.
#define SM3_EXPAND(j) (P1(w[(j) - 16] ^ w[(j) - 9] ^ ROL(w[(j) - 3], 15)) ^ ROL(w[(j) - 13], 7) ^ w[(j) - 6])
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, FF, GG, EXPAND)                       \
    do {                                                                           \
        if (EXPAND) {                                                              \
            w[(j) + 4] = SM3_EXPAND((j) + 4);                                      \
        }                                                                          \
        const std::uint32_t a12 = ROL(A, 12);                                      \
        const std::uint32_t ss1 = ROL((a12 + TROT.t[j]) + E, 7);                   \
        const std::uint32_t ss2 = ss1 ^ a12;                                       \
        const std::uint32_t tt1 = (FF(A, B, C) + D + (w[j] ^ w[(j) + 4])) + ss2;   \
        const std::uint32_t tt2 = (GG(E, F, G) + H + w[j]) + ss1;                  \
        B = ROL(B, 9);                                                             \
        F = ROL(F, 19);                                                            \
        D = tt1;                                                                   \
        H = P0(tt2);                                                               \
    } while (0)
#define SM3_FF0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_GG0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define SM3_GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))
#define SM3_ROUND4(j, FF, GG, EXPAND)                              \
    SM3_ROUND(A, B, C, D, E, F, G, H, (j), FF, GG, EXPAND);        \
    SM3_ROUND(D, A, B, C, H, E, F, G, (j) + 1, FF, GG, EXPAND);    \
    SM3_ROUND(C, D, A, B, G, H, E, F, (j) + 2, FF, GG, EXPAND);    \
    SM3_ROUND(B, C, D, A, F, G, H, E, (j) + 3, FF, GG, EXPAND)

    SM3_ROUND4(0, SM3_FF0, SM3_GG0, false);
    SM3_ROUND4(4, SM3_FF0, SM3_GG0, false);
    SM3_ROUND4(8, SM3_FF0, SM3_GG0, false);
    SM3_ROUND4(12, SM3_FF0, SM3_GG0, true);
    for (int j = 16; j < 64; j += 16) {
        SM3_ROUND4(j, SM3_FF1, SM3_GG1, true);
        SM3_ROUND4(j + 4, SM3_FF1, SM3_GG1, true);
        SM3_ROUND4(j + 8, SM3_FF1, SM3_GG1, true);
        SM3_ROUND4(j + 12, SM3_FF1, SM3_GG1, true);
    }
#undef SM3_ROUND4
#undef SM3_GG1
#undef SM3_FF1
#undef SM3_GG0
#undef SM3_FF0
#undef SM3_ROUND
#undef SM3_EXPAND

    regs[0] ^= A;
    regs[1] ^= B;
    regs[2] ^= C;
    regs[3] ^= D;
    regs[4] ^= E;
    regs[5] ^= F;
    regs[6] ^= G;
    regs[7] ^= H;
}

// The same compression twice: portable, and with BMI2, whose rorx rotates
// into a new register and saves the copy that every rotation of a value
// still needed elsewhere costs otherwise. The rounds issue more
// instructions per cycle than their dependencies would allow, so fewer
// instructions is faster.
void compress_portable(std::uint32_t* regs, std::uint32_t* w) { compress_body(regs, w); }

__attribute__((target("bmi2"))) void compress_bmi2(std::uint32_t* regs, std::uint32_t* w)
{
    compress_body(regs, w);
}

using CompressFn = void (*)(std::uint32_t*, std::uint32_t*);

CompressFn compress_fn()
{
    static const CompressFn fn = __builtin_cpu_supports("bmi2") ? compress_bmi2 : compress_portable;
    return fn;
}

void compress_blocks(std::uint32_t* regs, const unsigned char* p, std::size_t blocks)
{
    const CompressFn compress = compress_fn();
    std::uint32_t w[68];
    for (; blocks > 0; --blocks, p += SM3_BLOCK_SIZE) {
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be32(p + 4 * i);
        }
        compress(regs, w);
    }
}

void compress_buffered(SM3_CTX* s)
{
    std::uint32_t w[68];
    std::memcpy(w, s->W, 16 * sizeof(std::uint32_t));
    compress_fn()(s->Regs, w);
}

// Puts byte b at position pos (0..63) of the buffered block. The first byte
// of a word overwrites whatever an earlier block left there.
inline void put_byte(SM3_CTX* s, unsigned pos, unsigned char b)
{
    const unsigned shift = 24 - 8 * (pos & 3);
    if ((pos & 3) == 0) {
        s->W[pos >> 2] = std::uint32_t{b} << 24;
    } else {
        s->W[pos >> 2] |= std::uint32_t{b} << shift;
    }
}

inline void add_bits(SM3_CTX* s, std::size_t bytes)
{
    const std::uint64_t total =
        ((std::uint64_t{s->BitLen[1]} << 32) | s->BitLen[0]) + (static_cast<std::uint64_t>(bytes) << 3);
    s->BitLen[0] = static_cast<std::uint32_t>(total);
    s->BitLen[1] = static_cast<std::uint32_t>(total >> 32);
}

// ---- reference form ----

// GB/T 32905-2016, 5.3.2 (expansion) and 5.3.3 (compression function) on the
// block in s->W[0..15].
void SM3_Transform(SM3_CTX* s)
{
    std::uint32_t* W = s->W;
    for (int j = 16; j <= 67; ++j) {
        W[j] = P1(W[j - 16] ^ W[j - 9] ^ ROL(W[j - 3], 15)) ^ ROL(W[j - 13], 7) ^ W[j - 6];
    }
    for (int j = 0; j <= 63; ++j) {
        s->WDot[j] = W[j] ^ W[j + 4];
    }
    std::uint32_t A = s->Regs[0], B = s->Regs[1], C = s->Regs[2], D = s->Regs[3];
    std::uint32_t E = s->Regs[4], F = s->Regs[5], G = s->Regs[6], H = s->Regs[7];
    for (int j = 0; j <= 63; ++j) {
        const std::uint32_t SS1 = ROL(ROL(A, 12) + E + ROL(T.t[j], static_cast<unsigned char>(j % 32)), 7);
        const std::uint32_t SS2 = SS1 ^ ROL(A, 12);
        const std::uint32_t FF = j <= 15 ? (A ^ B ^ C) : ((A & B) | (A & C) | (B & C));
        const std::uint32_t GG = j <= 15 ? (E ^ F ^ G) : ((E & F) | (~E & G));
        const std::uint32_t TT1 = FF + D + SS2 + s->WDot[j];
        const std::uint32_t TT2 = GG + H + SS1 + W[j];
        D = C;
        C = ROL(B, 9);
        B = A;
        A = TT1;
        H = G;
        G = ROL(F, 19);
        F = E;
        E = P0(TT2);
    }
    s->Regs[0] ^= A;
    s->Regs[1] ^= B;
    s->Regs[2] ^= C;
    s->Regs[3] ^= D;
    s->Regs[4] ^= E;
    s->Regs[5] ^= F;
    s->Regs[6] ^= G;
    s->Regs[7] ^= H;
}

void absorb_byte_ref(SM3_CTX* s, unsigned char b)
{
    put_byte(s, (s->BitLen[0] / 8) % 64, b);
    s->BitLen[0] += 8;
    if (s->BitLen[0] == 0) {
        ++s->BitLen[1];
    }
    if (s->BitLen[0] % 512 == 0) {
        SM3_Transform(s);
    }
}

}  // namespace

int SM3_Init(SM3_CTX* s)
{
    if (s == nullptr) {
        return 0;
    }
    std::memset(s, 0, sizeof(*s));
    std::memcpy(s->Regs, IV, sizeof(IV));
    return 1;
}

int SM3_Update(SM3_CTX* s, const void* data, std::size_t len)
{
    if (s == nullptr || (data == nullptr && len != 0)) {
        return 0;
    }
    if (len == 0) {
        return 1;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    unsigned pos = (s->BitLen[0] >> 3) & 63;
    add_bits(s, len);
    if (pos != 0) {
        while (len > 0 && pos < 64) {
            put_byte(s, pos++, *p++);
            --len;
        }
        if (pos < 64) {
            return 1;
        }
        compress_buffered(s);
    }
    const std::size_t blocks = len / SM3_BLOCK_SIZE;
    compress_blocks(s->Regs, p, blocks);
    p += blocks * SM3_BLOCK_SIZE;
    len -= blocks * SM3_BLOCK_SIZE;
    for (pos = 0; len > 0; --len) {
        put_byte(s, pos++, *p++);
    }
    return 1;
}

int SM3_Final(SM3_CTX* s, unsigned char* hash)
{
    if (s == nullptr || hash == nullptr) {
        return 0;
    }
    // GB/T 32905-2016, 5.2: append 1, then k zero bits with l + 1 + k = 448
    // mod 512, then the 64-bit length l.
    const std::uint32_t lo = s->BitLen[0];
    const std::uint32_t hi = s->BitLen[1];
    const unsigned pos = (lo >> 3) & 63;
    put_byte(s, pos, PAD);
    // put_byte starts each word afresh, so the rest of the word holding the
    // 0x80 is already zero; only the whole words after it need clearing.
    unsigned word = (pos >> 2) + 1;
    if (pos >= 56) {
        std::memset(s->W + word, ZERO, (16 - word) * sizeof(std::uint32_t));
        compress_buffered(s);
        word = 0;
    }
    std::memset(s->W + word, ZERO, (14 - word) * sizeof(std::uint32_t));
    // The counter ends where the byte-wise padding would leave it.
    add_bits(s, ((448 - (lo % 512) + 511) % 512 + 1) / 8);
    s->W[14] = hi;
    s->W[15] = lo;
    compress_buffered(s);
    write_digest(s, hash);
    return 1;
}

unsigned char* SM3(const unsigned char* d, std::size_t n, unsigned char* md)
{
    SM3_CTX c;
    SM3_Init(&c);
    SM3_Update(&c, d, n);
    SM3_Final(&c, md);
    return md;
}

namespace ref {

int SM3_Init(SM3_CTX* s)
{
    if (s == nullptr) {
        return 0;
    }
    std::memset(s->BitLen, 0, sizeof(s->BitLen));
    std::memset(s->W, 0, sizeof(s->W));
    std::memset(s->WDot, 0, sizeof(s->WDot));
    std::memcpy(s->Regs, IV, sizeof(IV));
    return 1;
}

int SM3_Update(SM3_CTX* s, const void* data, std::size_t len)
{
    if (s == nullptr || (data == nullptr && len != 0)) {
        return 0;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        absorb_byte_ref(s, p[i]);
    }
    return 1;
}

int SM3_Final(SM3_CTX* s, unsigned char* hash)
{
    if (s == nullptr || hash == nullptr) {
        return 0;
    }
    const std::uint32_t lo = s->BitLen[0];
    const std::uint32_t hi = s->BitLen[1];
    absorb_byte_ref(s, PAD);
    while (s->BitLen[0] % 512 != 448) {
        absorb_byte_ref(s, ZERO);
    }
    s->W[14] = hi;
    s->W[15] = lo;
    SM3_Transform(s);
    write_digest(s, hash);
    return 1;
}

unsigned char* SM3(const unsigned char* d, std::size_t n, unsigned char* md)
{
    SM3_CTX c;
    ref::SM3_Init(&c);
    ref::SM3_Update(&c, d, n);
    ref::SM3_Final(&c, md);
    return md;
}

}  // namespace ref

}  // namespace sm
