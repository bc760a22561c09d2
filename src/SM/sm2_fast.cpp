// Dedicated SM2 arithmetic: Montgomery field arithmetic on 4x64-bit limbs,
// Jacobian formulas for a = -3, a fixed-base table for G and signed
// fixed windows for any other point.
//
// Secret scalars (k, d) are handled in constant time: the windows are
// recoded to signed digits without branches, every table is read in full and
// the wanted entry picked with masks, and the point at infinity is chosen by
// masks as well. The one branch that depends on the values is the doubling
// fallback of the addition formulas, taken only when both summands are the
// same point, which for a uniformly drawn scalar happens with probability
// about 2^-250.

#include "SM/sm2.h"
#include "SM/sm2_field.h"
#include "SM/sm2_internal.h"

#include <openssl/crypto.h>

#include <cstring>

namespace sm {
namespace fast {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

// p, little-endian limbs
constexpr Fe kP = {{0xffffffffffffffffULL, 0xffffffff00000000ULL, 0xffffffffffffffffULL, 0xfffffffeffffffffULL}};
// R^2 mod p, to enter Montgomery form
constexpr Fe kR2 = {{0x0000000200000003ULL, 0x00000002ffffffffULL, 0x0000000100000001ULL, 0x0000000400000002ULL}};
// R mod p: 1 in Montgomery form
constexpr Fe kOne = {{0x0000000000000001ULL, 0x00000000ffffffffULL, 0x0000000000000000ULL, 0x0000000100000000ULL}};
constexpr Fe kZero = {{0, 0, 0, 0}};

// All ones when x is zero, else zero.
inline u64 zero_mask(u64 x)
{
    return ((x | (0 - x)) >> 63) - 1;
}

inline u64 fe_zero_mask(const Fe& a)
{
    return zero_mask(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}

inline void fe_select(Fe& r, u64 mask, const Fe& a, const Fe& b)
{
    for (int i = 0; i < 4; ++i) {
        r.v[i] = (a.v[i] & mask) | (b.v[i] & ~mask);
    }
}

// r = t - p when t (with the extra top word hi) is at least p, else t.
__attribute__((always_inline)) inline void reduce_once(Fe& r, u64 t0, u64 t1, u64 t2, u64 t3, u64 hi)
{
    u128 d = static_cast<u128>(t0) - kP.v[0];
    const u64 s0 = static_cast<u64>(d);
    d = static_cast<u128>(t1) - kP.v[1] - static_cast<u64>(d >> 127);
    const u64 s1 = static_cast<u64>(d);
    d = static_cast<u128>(t2) - kP.v[2] - static_cast<u64>(d >> 127);
    const u64 s2 = static_cast<u64>(d);
    d = static_cast<u128>(t3) - kP.v[3] - static_cast<u64>(d >> 127);
    const u64 s3 = static_cast<u64>(d);
    const u64 borrow = static_cast<u64>((static_cast<u128>(hi) - static_cast<u64>(d >> 127)) >> 127);
    const u64 keep = 0 - borrow;  // all ones: t < p, keep t
    r.v[0] = (t0 & keep) | (s0 & ~keep);
    r.v[1] = (t1 & keep) | (s1 & ~keep);
    r.v[2] = (t2 & keep) | (s2 & ~keep);
    r.v[3] = (t3 & keep) | (s3 & ~keep);
}

// Montgomery product a*b/R mod p (CIOS). -p^-1 mod 2^64 is 1 for this p, so
// the reduction multiplier of each round is the low word itself.
__attribute__((always_inline)) inline void mont_mul(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0;
    for (int i = 0; i < 4; ++i) {
        const u64 bi = b.v[i];
        u128 acc = static_cast<u128>(a.v[0]) * bi + t0;
        t0 = static_cast<u64>(acc);
        acc = static_cast<u128>(a.v[1]) * bi + t1 + static_cast<u64>(acc >> 64);
        t1 = static_cast<u64>(acc);
        acc = static_cast<u128>(a.v[2]) * bi + t2 + static_cast<u64>(acc >> 64);
        t2 = static_cast<u64>(acc);
        acc = static_cast<u128>(a.v[3]) * bi + t3 + static_cast<u64>(acc >> 64);
        t3 = static_cast<u64>(acc);
        acc = static_cast<u128>(t4) + static_cast<u64>(acc >> 64);
        t4 = static_cast<u64>(acc);
        const u64 t5 = static_cast<u64>(acc >> 64);

        const u64 m = t0;
        acc = static_cast<u128>(m) * kP.v[0] + t0;
        acc = static_cast<u128>(m) * kP.v[1] + t1 + static_cast<u64>(acc >> 64);
        t0 = static_cast<u64>(acc);
        acc = static_cast<u128>(m) * kP.v[2] + t2 + static_cast<u64>(acc >> 64);
        t1 = static_cast<u64>(acc);
        acc = static_cast<u128>(m) * kP.v[3] + t3 + static_cast<u64>(acc >> 64);
        t2 = static_cast<u64>(acc);
        acc = static_cast<u128>(t4) + static_cast<u64>(acc >> 64);
        t3 = static_cast<u64>(acc);
        t4 = t5 + static_cast<u64>(acc >> 64);
    }
    reduce_once(r, t0, t1, t2, t3, t4);
}

__attribute__((always_inline)) inline void f_add(Fe& r, const Fe& a, const Fe& b)
{
    u128 s = static_cast<u128>(a.v[0]) + b.v[0];
    const u64 t0 = static_cast<u64>(s);
    s = static_cast<u128>(a.v[1]) + b.v[1] + static_cast<u64>(s >> 64);
    const u64 t1 = static_cast<u64>(s);
    s = static_cast<u128>(a.v[2]) + b.v[2] + static_cast<u64>(s >> 64);
    const u64 t2 = static_cast<u64>(s);
    s = static_cast<u128>(a.v[3]) + b.v[3] + static_cast<u64>(s >> 64);
    const u64 t3 = static_cast<u64>(s);
    reduce_once(r, t0, t1, t2, t3, static_cast<u64>(s >> 64));
}

__attribute__((always_inline)) inline void f_sub(Fe& r, const Fe& a, const Fe& b)
{
    u128 d = static_cast<u128>(a.v[0]) - b.v[0];
    u64 t0 = static_cast<u64>(d);
    d = static_cast<u128>(a.v[1]) - b.v[1] - static_cast<u64>(d >> 127);
    u64 t1 = static_cast<u64>(d);
    d = static_cast<u128>(a.v[2]) - b.v[2] - static_cast<u64>(d >> 127);
    u64 t2 = static_cast<u64>(d);
    d = static_cast<u128>(a.v[3]) - b.v[3] - static_cast<u64>(d >> 127);
    u64 t3 = static_cast<u64>(d);
    // On borrow add p back.
    const u64 mask = 0 - static_cast<u64>(d >> 127);
    u128 s = static_cast<u128>(t0) + (kP.v[0] & mask);
    t0 = static_cast<u64>(s);
    s = static_cast<u128>(t1) + (kP.v[1] & mask) + static_cast<u64>(s >> 64);
    t1 = static_cast<u64>(s);
    s = static_cast<u128>(t2) + (kP.v[2] & mask) + static_cast<u64>(s >> 64);
    t2 = static_cast<u64>(s);
    s = static_cast<u128>(t3) + (kP.v[3] & mask) + static_cast<u64>(s >> 64);
    t3 = static_cast<u64>(s);
    r.v[0] = t0;
    r.v[1] = t1;
    r.v[2] = t2;
    r.v[3] = t3;
}

__attribute__((always_inline)) inline void f_mul(Fe& r, const Fe& a, const Fe& b)
{
    mont_mul(r, a, b);
}

__attribute__((always_inline)) inline void f_sqr(Fe& r, const Fe& a)
{
    mont_mul(r, a, a);
}

// Doubling without a multiplication.
__attribute__((always_inline)) inline void fe_dbl(Fe& r, const Fe& a)
{
    f_add(r, a, a);
}

}  // namespace

bool fe_from_bytes(Fe& r, const unsigned char in[32])
{
    Fe a;
    for (int i = 0; i < 4; ++i) {
        u64 w = 0;
        for (int j = 0; j < 8; ++j) {
            w = (w << 8) | in[(3 - i) * 8 + j];
        }
        a.v[i] = w;
    }
    // a < p, compared from the top limb down (inputs are public coordinates)
    bool below = false;
    for (int i = 3; i >= 0; --i) {
        if (a.v[i] != kP.v[i]) {
            below = a.v[i] < kP.v[i];
            break;
        }
    }
    if (!below) {
        r = kZero;
        return false;
    }
    mont_mul(r, a, kR2);
    return true;
}

void fe_to_bytes(unsigned char out[32], const Fe& a)
{
    static constexpr Fe kPlainOne = {{1, 0, 0, 0}};
    Fe n;
    mont_mul(n, a, kPlainOne);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) {
            out[(3 - i) * 8 + j] = static_cast<unsigned char>(n.v[i] >> (56 - 8 * j));
        }
    }
}

void fe_add(Fe& r, const Fe& a, const Fe& b)
{
    f_add(r, a, b);
}

void fe_sub(Fe& r, const Fe& a, const Fe& b)
{
    f_sub(r, a, b);
}

void fe_mul(Fe& r, const Fe& a, const Fe& b)
{
    mont_mul(r, a, b);
}

void fe_sqr(Fe& r, const Fe& a)
{
    mont_mul(r, a, a);
}

namespace {
void sqr_n(Fe& r, const Fe& a, int n)
{
    r = a;
    for (int i = 0; i < n; ++i) {
        mont_mul(r, r, r);
    }
}
}  // namespace

void fe_inv(Fe& r, const Fe& a)
{
    // Fermat: a^(p-2). In 32-bit words p - 2 is FFFFFFFE FFFFFFFF FFFFFFFF
    // FFFFFFFF FFFFFFFF 00000000 FFFFFFFF FFFFFFFD; xk below is a^(2^k - 1).
    Fe x2, x3, x6, x12, x15, x30, x31, x32, t;
    mont_mul(t, a, a);
    mont_mul(x2, t, a);
    mont_mul(t, x2, x2);
    mont_mul(x3, t, a);
    sqr_n(t, x3, 3);
    mont_mul(x6, t, x3);
    sqr_n(t, x6, 6);
    mont_mul(x12, t, x6);
    sqr_n(t, x12, 3);
    mont_mul(x15, t, x3);
    sqr_n(t, x15, 15);
    mont_mul(x30, t, x15);
    mont_mul(t, x30, x30);
    mont_mul(x31, t, a);
    mont_mul(t, x31, x31);
    mont_mul(x32, t, a);

    Fe acc;
    mont_mul(acc, x31, x31);  // 31 ones, then a zero
    for (int i = 0; i < 4; ++i) {  // 128 ones
        sqr_n(acc, acc, 32);
        mont_mul(acc, acc, x32);
    }
    sqr_n(acc, acc, 32);  // 32 zeros
    sqr_n(acc, acc, 32);  // 32 ones
    mont_mul(acc, acc, x32);
    sqr_n(acc, acc, 30);  // 30 ones, then 0, 1
    mont_mul(acc, acc, x30);
    sqr_n(acc, acc, 2);
    mont_mul(r, acc, a);
}

// ---- Points ------------------------------------------------------------------

// dbl-2001-b (a = -3): delta = Z^2, gamma = Y^2, beta = X*gamma,
// alpha = 3(X - delta)(X + delta), X3 = alpha^2 - 8 beta,
// Z3 = (Y + Z)^2 - gamma - delta, Y3 = alpha(4 beta - X3) - 8 gamma^2.
// The point at infinity (Z = 0) stays there.
void point_double(JPoint& r, const JPoint& a)
{
    Fe delta, gamma, beta, alpha, t1, t2;
    f_sqr(delta, a.Z);
    f_sqr(gamma, a.Y);
    f_mul(beta, a.X, gamma);
    f_sub(t1, a.X, delta);
    f_add(t2, a.X, delta);
    f_mul(alpha, t1, t2);
    f_add(t1, alpha, alpha);
    f_add(alpha, t1, alpha);
    Fe z3;
    f_add(t1, a.Y, a.Z);
    f_sqr(t1, t1);
    f_sub(t1, t1, gamma);
    f_sub(z3, t1, delta);
    Fe x3, beta4, beta8;
    fe_dbl(beta4, beta);
    fe_dbl(beta4, beta4);
    fe_dbl(beta8, beta4);
    f_sqr(x3, alpha);
    f_sub(x3, x3, beta8);
    Fe y3;
    f_sub(t1, beta4, x3);
    f_mul(y3, alpha, t1);
    f_sqr(t2, gamma);
    fe_dbl(t2, t2);
    fe_dbl(t2, t2);
    fe_dbl(t2, t2);
    f_sub(y3, y3, t2);
    r.X = x3;
    r.Y = y3;
    r.Z = z3;
}

namespace {

inline void point_select(JPoint& r, u64 mask, const JPoint& a, const JPoint& b)
{
    fe_select(r.X, mask, a.X, b.X);
    fe_select(r.Y, mask, a.Y, b.Y);
    fe_select(r.Z, mask, a.Z, b.Z);
}

// a + b for Jacobian a and affine b; bInfinity (a mask) says that b stands
// for the point at infinity. madd-2007-bl.
void point_add_mixed(JPoint& r, const JPoint& a, const APoint& b, u64 bInfinity)
{
    Fe z1z1, u2, s2, h, hh, i, j, rr, v;
    f_sqr(z1z1, a.Z);
    f_mul(u2, b.x, z1z1);
    f_mul(s2, b.y, a.Z);
    f_mul(s2, s2, z1z1);
    f_sub(h, u2, a.X);
    f_sub(rr, s2, a.Y);
    const u64 aInfinity = fe_zero_mask(a.Z);
    if ((fe_zero_mask(h) & fe_zero_mask(rr) & ~aInfinity & ~bInfinity) != 0) {
        point_double(r, a);  // a == b
        return;
    }
    fe_dbl(rr, rr);
    f_sqr(hh, h);
    fe_dbl(i, hh);
    fe_dbl(i, i);
    f_mul(j, h, i);
    f_mul(v, a.X, i);
    JPoint out;
    f_sqr(out.X, rr);
    f_sub(out.X, out.X, j);
    f_sub(out.X, out.X, v);
    f_sub(out.X, out.X, v);
    Fe t;
    f_sub(t, v, out.X);
    f_mul(out.Y, rr, t);
    f_mul(t, a.Y, j);
    fe_dbl(t, t);
    f_sub(out.Y, out.Y, t);
    f_add(t, a.Z, h);
    f_sqr(t, t);
    f_sub(t, t, z1z1);
    f_sub(out.Z, t, hh);
    const JPoint bj = {b.x, b.y, kOne};
    point_select(out, aInfinity, bj, out);
    point_select(r, bInfinity, a, out);
}

}  // namespace

// add-2007-bl.
void point_add(JPoint& r, const JPoint& a, const JPoint& b)
{
    Fe z1z1, z2z2, u1, u2, s1, s2, h, i, j, rr, v, t;
    f_sqr(z1z1, a.Z);
    f_sqr(z2z2, b.Z);
    f_mul(u1, a.X, z2z2);
    f_mul(u2, b.X, z1z1);
    f_mul(s1, a.Y, b.Z);
    f_mul(s1, s1, z2z2);
    f_mul(s2, b.Y, a.Z);
    f_mul(s2, s2, z1z1);
    f_sub(h, u2, u1);
    f_sub(rr, s2, s1);
    const u64 aInfinity = fe_zero_mask(a.Z);
    const u64 bInfinity = fe_zero_mask(b.Z);
    if ((fe_zero_mask(h) & fe_zero_mask(rr) & ~aInfinity & ~bInfinity) != 0) {
        point_double(r, a);  // a == b
        return;
    }
    fe_dbl(rr, rr);
    fe_dbl(i, h);
    f_sqr(i, i);
    f_mul(j, h, i);
    f_mul(v, u1, i);
    JPoint out;
    f_sqr(out.X, rr);
    f_sub(out.X, out.X, j);
    f_sub(out.X, out.X, v);
    f_sub(out.X, out.X, v);
    f_sub(t, v, out.X);
    f_mul(out.Y, rr, t);
    f_mul(t, s1, j);
    fe_dbl(t, t);
    f_sub(out.Y, out.Y, t);
    f_add(t, a.Z, b.Z);
    f_sqr(t, t);
    f_sub(t, t, z1z1);
    f_sub(t, t, z2z2);
    f_mul(out.Z, t, h);
    point_select(out, aInfinity, b, out);
    point_select(r, bInfinity, a, out);
}

bool point_to_affine(APoint& r, const JPoint& a)
{
    if (fe_zero_mask(a.Z) != 0) {
        return false;
    }
    Fe zi, zi2, zi3;
    fe_inv(zi, a.Z);
    f_sqr(zi2, zi);
    f_mul(zi3, zi2, zi);
    f_mul(r.x, a.X, zi2);
    f_mul(r.y, a.Y, zi3);
    return true;
}

void point_from_affine(JPoint& r, const APoint& a)
{
    r.X = a.x;
    r.Y = a.y;
    r.Z = kOne;
}

namespace {

// ---- Scalars -------------------------------------------------------------------

// 32 big-endian bytes to little-endian limbs, one zero limb above so that the
// top windows can read past bit 255.
void scalar_from_bytes(u64 k[5], const unsigned char in[32])
{
    for (int i = 0; i < 4; ++i) {
        u64 w = 0;
        for (int j = 0; j < 8; ++j) {
            w = (w << 8) | in[(3 - i) * 8 + j];
        }
        k[i] = w;
    }
    k[4] = 0;
}

// Bits [start, start + width) of k, bit -1 reading as 0. The position is
// public; only the value read is secret.
inline unsigned window_bits(const u64 k[5], int start, int width)
{
    const u64 mask = (u64{1} << width) - 1;
    if (start < 0) {
        return static_cast<unsigned>((k[0] << 1) & mask);
    }
    const int limb = start / 64;
    const int off = start % 64;
    u64 w = k[limb] >> off;
    if (off + width > 64) {
        w |= k[limb + 1] << (64 - off);
    }
    return static_cast<unsigned>(w & mask);
}

// Signed window digit from w + 1 bits b[w-1..0] b[-1]:
// d = (b[w-1..0] + b[-1]) - 2^w * b[w], in [-2^(w-1), 2^(w-1)], so that
// sum d_i 2^(w i) equals the scalar. Returns |d| and a mask for d < 0.
inline unsigned signed_digit(unsigned bits, int w, u64& negMask)
{
    const unsigned sign = bits >> w;
    const unsigned half = (bits + 1) >> 1;
    const unsigned smask = 0u - sign;
    negMask = 0 - static_cast<u64>(sign);
    return (half & ~smask) | (((1u << w) - half) & smask);
}

inline u64 eq_mask(unsigned a, unsigned b)
{
    return zero_mask(static_cast<u64>(a ^ b));
}

// ---- Fixed base G --------------------------------------------------------------

constexpr int kBaseW = 6;
constexpr int kBaseWindows = 43;  // 6 * 43 = 258 bits cover a 256-bit scalar
constexpr int kBaseEntries = 1 << (kBaseW - 1);

// e[i][j] = (j + 1) * 2^(6 i) * G, affine.
struct BaseTable {
    APoint e[kBaseWindows][kBaseEntries];
};

void build_base_table(BaseTable& t)
{
    APoint g;
    fe_from_bytes(g.x, EC_SM2_Gx);
    fe_from_bytes(g.y, EC_SM2_Gy);
    JPoint base;
    point_from_affine(base, g);
    for (int i = 0; i < kBaseWindows; ++i) {
        JPoint row[kBaseEntries];
        row[0] = base;
        point_double(row[1], base);
        for (int j = 2; j < kBaseEntries; ++j) {
            point_add(row[j], row[j - 1], base);
        }
        // One inversion per row (Montgomery's trick): prefix[j] = Z0 * ... * Zj.
        Fe prefix[kBaseEntries];
        prefix[0] = row[0].Z;
        for (int j = 1; j < kBaseEntries; ++j) {
            f_mul(prefix[j], prefix[j - 1], row[j].Z);
        }
        Fe inv;
        fe_inv(inv, prefix[kBaseEntries - 1]);
        for (int j = kBaseEntries - 1; j >= 0; --j) {
            Fe zi = inv;
            if (j > 0) {
                f_mul(zi, inv, prefix[j - 1]);
                f_mul(inv, inv, row[j].Z);
            }
            Fe zi2, zi3;
            f_sqr(zi2, zi);
            f_mul(zi3, zi2, zi);
            f_mul(t.e[i][j].x, row[j].X, zi2);
            f_mul(t.e[i][j].y, row[j].Y, zi3);
        }
        // next base: 2^6 * base = 2 * (32 * base)
        point_double(base, row[kBaseEntries - 1]);
    }
}

const BaseTable& base_table()
{
    static BaseTable table;
    static const bool built = (build_base_table(table), true);
    (void)built;
    return table;
}

// Reads every entry; keeps the one numbered idx (1-based), zero for idx 0.
void lookup_affine(APoint& r, const APoint* entries, int count, unsigned idx)
{
    APoint out = {kZero, kZero};
    for (int j = 0; j < count; ++j) {
        const u64 m = eq_mask(static_cast<unsigned>(j + 1), idx);
        for (int l = 0; l < 4; ++l) {
            out.x.v[l] |= entries[j].x.v[l] & m;
            out.y.v[l] |= entries[j].y.v[l] & m;
        }
    }
    r = out;
}

void lookup_jacobian(JPoint& r, const JPoint* entries, int count, unsigned idx)
{
    JPoint out = {kZero, kZero, kZero};
    for (int j = 0; j < count; ++j) {
        const u64 m = eq_mask(static_cast<unsigned>(j + 1), idx);
        for (int l = 0; l < 4; ++l) {
            out.X.v[l] |= entries[j].X.v[l] & m;
            out.Y.v[l] |= entries[j].Y.v[l] & m;
            out.Z.v[l] |= entries[j].Z.v[l] & m;
        }
    }
    r = out;
}

inline void fe_cond_negate(Fe& y, u64 mask)
{
    Fe neg;
    f_sub(neg, kZero, y);
    fe_select(y, mask, neg, y);
}

void mul_base_jacobian(JPoint& r, const u64 k[5])
{
    const BaseTable& table = base_table();
    JPoint acc = {kZero, kZero, kZero};
    for (int i = 0; i < kBaseWindows; ++i) {
        u64 neg;
        const unsigned mag = signed_digit(window_bits(k, kBaseW * i - 1, kBaseW + 1), kBaseW, neg);
        APoint t;
        lookup_affine(t, table.e[i], kBaseEntries, mag);
        fe_cond_negate(t.y, neg);
        point_add_mixed(acc, acc, t, eq_mask(mag, 0));
    }
    r = acc;
    OPENSSL_cleanse(&acc, sizeof acc);
}

// ---- Variable base -------------------------------------------------------------

constexpr int kVarW = 5;
constexpr int kVarWindows = 52;  // 5 * 52 = 260 bits
constexpr int kVarEntries = 1 << (kVarW - 1);

void mul_point_jacobian(JPoint& r, const u64 k[5], const APoint& p)
{
    // tbl[j] = (j + 1) * P
    JPoint tbl[kVarEntries];
    point_from_affine(tbl[0], p);
    point_double(tbl[1], tbl[0]);
    for (int j = 2; j < kVarEntries; ++j) {
        point_add_mixed(tbl[j], tbl[j - 1], p, 0);
    }
    JPoint acc = {kZero, kZero, kZero};
    for (int i = kVarWindows - 1; i >= 0; --i) {
        if (i != kVarWindows - 1) {
            for (int d = 0; d < kVarW; ++d) {
                point_double(acc, acc);
            }
        }
        u64 neg;
        const unsigned mag = signed_digit(window_bits(k, kVarW * i - 1, kVarW + 1), kVarW, neg);
        JPoint t;
        lookup_jacobian(t, tbl, kVarEntries, mag);
        fe_cond_negate(t.Y, neg);
        point_add(acc, acc, t);
    }
    r = acc;
    OPENSSL_cleanse(&acc, sizeof acc);
    OPENSSL_cleanse(tbl, sizeof tbl);
}

bool affine_from_bytes(APoint& r, const unsigned char P[SM2_POINT_BYTES])
{
    return fe_from_bytes(r.x, P) && fe_from_bytes(r.y, P + 32);
}

bool to_bytes(const JPoint& p, unsigned char out[SM2_POINT_BYTES])
{
    APoint a;
    if (!point_to_affine(a, p)) {
        return false;
    }
    fe_to_bytes(out, a.x);
    fe_to_bytes(out + 32, a.y);
    return true;
}

}  // namespace

bool point_is_valid(const unsigned char P[SM2_POINT_BYTES])
{
    static const Fe b = [] {
        Fe v;
        fe_from_bytes(v, EC_SM2_b);
        return v;
    }();
    APoint a;
    if (!affine_from_bytes(a, P)) {
        return false;
    }
    // y^2 = x^3 - 3x + b
    Fe lhs, rhs, t;
    f_sqr(lhs, a.y);
    f_sqr(rhs, a.x);
    f_mul(rhs, rhs, a.x);
    f_add(t, a.x, a.x);
    f_add(t, t, a.x);
    f_sub(rhs, rhs, t);
    f_add(rhs, rhs, b);
    f_sub(t, lhs, rhs);
    return fe_zero_mask(t) != 0;
}

bool mul_base(const unsigned char k[SM2_SCALAR_BYTES], unsigned char out[SM2_POINT_BYTES])
{
    u64 s[5];
    scalar_from_bytes(s, k);
    JPoint r;
    mul_base_jacobian(r, s);
    OPENSSL_cleanse(s, sizeof s);
    return to_bytes(r, out);
}

bool mul_base_pair(const unsigned char k1[SM2_SCALAR_BYTES], const unsigned char k2[SM2_SCALAR_BYTES],
                   unsigned char out1[SM2_POINT_BYTES], unsigned char out2[SM2_POINT_BYTES])
{
    u64 s[5];
    JPoint r1, r2;
    scalar_from_bytes(s, k1);
    mul_base_jacobian(r1, s);
    scalar_from_bytes(s, k2);
    mul_base_jacobian(r2, s);
    OPENSSL_cleanse(s, sizeof s);
    if (fe_zero_mask(r1.Z) != 0 || fe_zero_mask(r2.Z) != 0) {
        return to_bytes(r1, out1) && to_bytes(r2, out2);
    }
    // One inversion for both: 1/Z1 = Z2/(Z1 Z2), 1/Z2 = Z1/(Z1 Z2).
    Fe both, inv, zi1, zi2;
    f_mul(both, r1.Z, r2.Z);
    fe_inv(inv, both);
    f_mul(zi1, inv, r2.Z);
    f_mul(zi2, inv, r1.Z);
    const JPoint* pts[2] = {&r1, &r2};
    const Fe* zis[2] = {&zi1, &zi2};
    unsigned char* outs[2] = {out1, out2};
    for (int i = 0; i < 2; ++i) {
        Fe zi2sq, zi3, x, y;
        f_sqr(zi2sq, *zis[i]);
        f_mul(zi3, zi2sq, *zis[i]);
        f_mul(x, pts[i]->X, zi2sq);
        f_mul(y, pts[i]->Y, zi3);
        fe_to_bytes(outs[i], x);
        fe_to_bytes(outs[i] + 32, y);
    }
    OPENSSL_cleanse(&r1, sizeof r1);
    OPENSSL_cleanse(&r2, sizeof r2);
    return true;
}

bool mul_point(const unsigned char k[SM2_SCALAR_BYTES], const unsigned char P[SM2_POINT_BYTES],
               unsigned char out[SM2_POINT_BYTES])
{
    APoint p;
    if (!affine_from_bytes(p, P)) {
        return false;
    }
    u64 s[5];
    scalar_from_bytes(s, k);
    JPoint r;
    mul_point_jacobian(r, s, p);
    OPENSSL_cleanse(s, sizeof s);
    return to_bytes(r, out);
}

bool mul_double(const unsigned char s[SM2_SCALAR_BYTES], const unsigned char t[SM2_SCALAR_BYTES],
                const unsigned char P[SM2_POINT_BYTES], unsigned char out[SM2_POINT_BYTES])
{
    APoint p;
    if (!affine_from_bytes(p, P)) {
        return false;
    }
    u64 sl[5], tl[5];
    scalar_from_bytes(sl, s);
    scalar_from_bytes(tl, t);
    JPoint sG, tP, r;
    mul_base_jacobian(sG, sl);
    mul_point_jacobian(tP, tl, p);
    point_add(r, sG, tP);
    return to_bytes(r, out);
}

}  // namespace fast
}  // namespace sm
