#pragma once
// Dedicated arithmetic for the SM2 curve: field elements mod
// p = 2^256 - 2^224 - 2^96 + 2^64 - 1 in Montgomery form (R = 2^256) on four
// 64-bit limbs, Jacobian points for a = -3, and scalars mod n. Internal to the SM layer;
// exposed here so that tests can hold every operation against the crypto
// library's BIGNUM/EC_POINT arithmetic.

#include <cstdint>

namespace sm {
namespace fast {

// Field element, little-endian limbs, always fully reduced (< p), in
// Montgomery form unless a function says otherwise.
struct Fe {
    uint64_t v[4];
};

// Jacobian point (X/Z^2, Y/Z^3); Z = 0 is the point at infinity.
struct JPoint {
    Fe X, Y, Z;
};

// Affine point in Montgomery form.
struct APoint {
    Fe x, y;
};

// Big-endian 32 bytes to a field element in Montgomery form; false (and a
// zero result) when the value is not below p.
bool fe_from_bytes(Fe& r, const unsigned char in[32]);
void fe_to_bytes(unsigned char out[32], const Fe& a);

void fe_add(Fe& r, const Fe& a, const Fe& b);
void fe_sub(Fe& r, const Fe& a, const Fe& b);
void fe_mul(Fe& r, const Fe& a, const Fe& b);
void fe_sqr(Fe& r, const Fe& a);
// a^(p-2); zero for zero.
void fe_inv(Fe& r, const Fe& a);

void point_double(JPoint& r, const JPoint& a);
// Any inputs, infinity and equal or opposite points included.
void point_add(JPoint& r, const JPoint& a, const JPoint& b);
// false for the point at infinity.
bool point_to_affine(APoint& r, const JPoint& a);
void point_from_affine(JPoint& r, const APoint& a);

// Scalars modulo the group order n in Montgomery form, always < n; constant
// time in their values (sm2_scalar.cpp).
struct Sc {
    uint64_t v[4];
};

// Any 32-byte big-endian value, reduced mod n.
void sc_from_bytes(Sc& r, const unsigned char in[32]);
void sc_to_bytes(unsigned char out[32], const Sc& a);
void sc_one(Sc& r);
void sc_add(Sc& r, const Sc& a, const Sc& b);
void sc_sub(Sc& r, const Sc& a, const Sc& b);
void sc_mul(Sc& r, const Sc& a, const Sc& b);
// a^(n-2); zero for zero.
void sc_inv(Sc& r, const Sc& a);
bool sc_is_zero(const Sc& a);

}  // namespace fast
}  // namespace sm
