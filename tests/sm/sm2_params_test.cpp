#include "SM/sm2.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <memory>

namespace {

// The recommended curve as OpenSSL 3.0.19 knows it (NID_sm2) must equal ours.
TEST(Sm2Params, MatchTheLibrarysCurve)
{
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> g(EC_GROUP_new_by_curve_name(NID_sm2), &EC_GROUP_free);
    ASSERT_TRUE(g);
    BIGNUM* p = BN_new();
    BIGNUM* a = BN_new();
    BIGNUM* b = BN_new();
    BIGNUM* x = BN_new();
    BIGNUM* y = BN_new();
    ASSERT_EQ(EC_GROUP_get_curve(g.get(), p, a, b, nullptr), 1);
    ASSERT_EQ(EC_POINT_get_affine_coordinates(g.get(), EC_GROUP_get0_generator(g.get()), x, y, nullptr), 1);
    const struct {
        const BIGNUM* v;
        const unsigned char* ours;
    } rows[] = {{p, sm::EC_SM2_p}, {a, sm::EC_SM2_a}, {b, sm::EC_SM2_b}, {EC_GROUP_get0_order(g.get()), sm::EC_SM2_n},
                {x, sm::EC_SM2_Gx}, {y, sm::EC_SM2_Gy}};
    for (const auto& r : rows) {
        unsigned char buf[32];
        ASSERT_EQ(BN_bn2binpad(r.v, buf, 32), 32);
        EXPECT_EQ(0, memcmp(buf, r.ours, 32));
    }
    // Prime order: the public-key check relies on it to skip computing [n]P.
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(g.get())));
    for (BIGNUM* bn : {p, a, b, x, y}) {
        BN_free(bn);
    }
}

}  // namespace
