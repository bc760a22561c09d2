// Arithmetic modulo the SM2 group order n on 4x64-bit limbs in Montgomery
// form, constant time in every operand: the signature's
// s = (1 + d)^-1 (k - r d) mod n handles the private key and the nonce.

#include "SM/sm2_field.h"

#include <openssl/crypto.h>

namespace sm {
namespace fast {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

// n, little-endian limbs
constexpr u64 kN[4] = {0x53bbf40939d54123ULL, 0x7203df6b21c6052bULL, 0xffffffffffffffffULL, 0xfffffffeffffffffULL};
// -n^-1 mod 2^64
constexpr u64 kN0 = 0x327f9e8872350975ULL;
// R^2 mod n
constexpr Sc kR2 = {{0x901192af7c114f20ULL, 0x3464504ade6fa2faULL, 0x620fc84c3affe0d4ULL, 0x1eb5e412a22b3d3bULL}};
// R mod n: 1 in Montgomery form
constexpr Sc kOne = {{0xac440bf6c62abeddULL, 0x8dfc2094de39fad4ULL, 0x0000000000000000ULL, 0x0000000100000000ULL}};

// r = t - n when t (with the extra top word hi) is at least n, else t.
inline void sub_n_if_needed(Sc& r, const u64 t[4], u64 hi)
{
    u64 s[4];
    u64 borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 d = static_cast<u128>(t[i]) - kN[i] - borrow;
        s[i] = static_cast<u64>(d);
        borrow = static_cast<u64>(d >> 127);
    }
    borrow = static_cast<u64>((static_cast<u128>(hi) - borrow) >> 127);
    const u64 keep = 0 - borrow;  // all ones: t < n
    for (int i = 0; i < 4; ++i) {
        r.v[i] = (t[i] & keep) | (s[i] & ~keep);
    }
}

// Montgomery product a*b/R mod n (CIOS) for a, b < n.
void mont_mul_n(Sc& r, const Sc& a, const Sc& b)
{
    u64 t[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        u64 c = 0;
        for (int j = 0; j < 4; ++j) {
            const u128 acc = static_cast<u128>(a.v[j]) * b.v[i] + t[j] + c;
            t[j] = static_cast<u64>(acc);
            c = static_cast<u64>(acc >> 64);
        }
        const u128 top = static_cast<u128>(t[4]) + c;
        t[4] = static_cast<u64>(top);
        const u64 t5 = static_cast<u64>(top >> 64);

        const u64 m = t[0] * kN0;
        u128 acc = static_cast<u128>(m) * kN[0] + t[0];
        c = static_cast<u64>(acc >> 64);
        for (int j = 1; j < 4; ++j) {
            acc = static_cast<u128>(m) * kN[j] + t[j] + c;
            t[j - 1] = static_cast<u64>(acc);
            c = static_cast<u64>(acc >> 64);
        }
        acc = static_cast<u128>(t[4]) + c;
        t[3] = static_cast<u64>(acc);
        t[4] = t5 + static_cast<u64>(acc >> 64);
    }
    sub_n_if_needed(r, t, t[4]);
}

}  // namespace

void sc_from_bytes(Sc& r, const unsigned char in[32])
{
    u64 a[4];
    for (int i = 0; i < 4; ++i) {
        u64 w = 0;
        for (int j = 0; j < 8; ++j) {
            w = (w << 8) | in[(3 - i) * 8 + j];
        }
        a[i] = w;
    }
    // Any 256-bit value is below 2n: one subtraction reduces it.
    Sc reduced;
    sub_n_if_needed(reduced, a, 0);
    mont_mul_n(r, reduced, kR2);
    OPENSSL_cleanse(a, sizeof a);
    OPENSSL_cleanse(&reduced, sizeof reduced);
}

void sc_to_bytes(unsigned char out[32], const Sc& a)
{
    static constexpr Sc kPlainOne = {{1, 0, 0, 0}};
    Sc n;
    mont_mul_n(n, a, kPlainOne);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) {
            out[(3 - i) * 8 + j] = static_cast<unsigned char>(n.v[i] >> (56 - 8 * j));
        }
    }
    OPENSSL_cleanse(&n, sizeof n);
}

void sc_one(Sc& r)
{
    r = kOne;
}

void sc_add(Sc& r, const Sc& a, const Sc& b)
{
    u64 t[4];
    u64 c = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 s = static_cast<u128>(a.v[i]) + b.v[i] + c;
        t[i] = static_cast<u64>(s);
        c = static_cast<u64>(s >> 64);
    }
    sub_n_if_needed(r, t, c);
}

void sc_sub(Sc& r, const Sc& a, const Sc& b)
{
    u64 t[4];
    u64 borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 d = static_cast<u128>(a.v[i]) - b.v[i] - borrow;
        t[i] = static_cast<u64>(d);
        borrow = static_cast<u64>(d >> 127);
    }
    // On borrow add n back.
    const u64 mask = 0 - borrow;
    u64 c = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 s = static_cast<u128>(t[i]) + (kN[i] & mask) + c;
        r.v[i] = static_cast<u64>(s);
        c = static_cast<u64>(s >> 64);
    }
}

void sc_mul(Sc& r, const Sc& a, const Sc& b)
{
    mont_mul_n(r, a, b);
}

void sc_inv(Sc& r, const Sc& a)
{
    // Fermat: a^(n-2), fixed 4-bit windows over the public exponent.
    static constexpr u64 kExp[4] = {0x53bbf40939d54121ULL, 0x7203df6b21c6052bULL, 0xffffffffffffffffULL,
                                    0xfffffffeffffffffULL};
    Sc pow[16];
    pow[0] = kOne;
    pow[1] = a;
    for (int i = 2; i < 16; ++i) {
        mont_mul_n(pow[i], pow[i - 1], a);
    }
    Sc acc = kOne;
    for (int bit = 252; bit >= 0; bit -= 4) {
        for (int i = 0; i < 4 && bit != 252; ++i) {
            mont_mul_n(acc, acc, acc);
        }
        mont_mul_n(acc, acc, pow[(kExp[bit / 64] >> (bit % 64)) & 15]);
    }
    r = acc;
    OPENSSL_cleanse(pow, sizeof pow);
    OPENSSL_cleanse(&acc, sizeof acc);
}

bool sc_is_zero(const Sc& a)
{
    return (a.v[0] | a.v[1] | a.v[2] | a.v[3]) == 0;
}

}  // namespace fast
}  // namespace sm
