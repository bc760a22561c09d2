#include "SM/sm_oid.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string dotted(const ASN1_OBJECT* o)
{
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, o, 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

const char* shortName(const ASN1_OBJECT* o)
{
    const char* sn = OBJ_nid2sn(OBJ_obj2nid(o));
    return sn ? sn : "";
}

// Identifiers from GM/T 0006 and GM/T 0010. The short names are ours except
// where OpenSSL 3.0.19 already had the identifier: it keeps its own object
// ("SM2", "SM3", "SM2-SM3"), which our registration adopts.
struct Row {
    int internal;
    const int* stat;
    const char* oid;
    const char* sn;
    bool translates;
};
const Row kRows[] = {
    {958, &sm::internalsm2oid, "1.2.156.10197.1.301", "SM2", true},
    {959, &sm::internalsm3oid, "1.2.156.10197.1.401", "SM3", true},
    {960, &sm::internalsm4oid, "1.2.156.10197.1.104", "SM4", true},
    {961, &sm::internalsm2dataoid, "1.2.156.10197.6.1.4.2.1", "SM2P7DATA", true},
    {962, &sm::internalsm2signedoid, "1.2.156.10197.6.1.4.2.2", "SM2P7SIGNED", true},
    {963, &sm::internalsm2envoid, "1.2.156.10197.6.1.4.2.3", "SM2P7ENVDATA", true},
    {964, &sm::internalsm2signenvoid, "1.2.156.10197.6.1.4.2.4", "SM2P7SIGNENVDATA", true},
    {965, &sm::internalsm2digestoid, "1.2.156.10197.6.1.4.2.5", "SM2P7DIGEST", true},
    {966, &sm::internalsm2encoid, "1.2.156.10197.6.1.4.2.6", "SM2P7ENCRYPTED", true},
    {967, &sm::internalsm2_1oid, "1.2.156.10197.1.301.1", "SM2-1", true},
    {968, &sm::internalsm2sm3, "1.2.156.10197.1.301.3", "SM2SM3", false},
    {969, &sm::internalsm2sm3sign, "1.2.156.10197.1.501", "SM2-SM3", false},
};

TEST(SmOid, EveryRowRegistersWithItsIdentifierAndTranslatesBack)
{
    sm::initsm2internalnid();
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.internal);
        ASSERT_NE(*r.stat, -1);
        EXPECT_EQ(sm::sm_library_nid(r.internal), *r.stat);
        const ASN1_OBJECT* o = sm::SM2_OBJ_nid2obj(r.internal);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(OBJ_obj2nid(o), *r.stat);
        EXPECT_EQ(dotted(o), r.oid);
        EXPECT_STREQ(shortName(o), r.sn);
        EXPECT_EQ(sm::translateinternalnid(*r.stat), r.translates ? r.internal : -1);
    }
    // Where the library already knew the identifier, its number is reused
    // rather than a second object with the same identifier being created.
    EXPECT_EQ(sm::internalsm2oid, NID_sm2);
    EXPECT_EQ(sm::internalsm3oid, NID_sm3);
    EXPECT_EQ(sm::internalsm2sm3sign, NID_SM2_with_SM3);
    // The created ones are distinct new numbers.
    for (const Row& a : kRows) {
        for (const Row& b : kRows) {
            if (a.internal != b.internal) {
                EXPECT_NE(*a.stat, *b.stat) << a.internal << " " << b.internal;
            }
        }
    }
    // Whether registration leaves the error queue clean is checked in the
    // fresh-process tests below: here other tests may have registered first.
}

TEST(SmOid, SecondRegistrationCreatesNothing)
{
    sm::initsm2internalnid();
    int before[12];
    for (size_t i = 0; i < 12; ++i) {
        before[i] = *kRows[i].stat;
    }
    const int nextNid = OBJ_new_nid(0);
    sm::initsm2internalnid();
    EXPECT_EQ(OBJ_new_nid(0), nextNid);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(*kRows[i].stat, before[i]);
    }
}

TEST(SmOid, NumbersOutsideTheTable)
{
    sm::initsm2internalnid();
    // translateinternalnid takes library numbers only: neither the internal
    // numbers themselves (unless the library happened to hand one out) nor
    // unregistered markers match.
    for (int v : {-1, 0, NID_sha256, 100000}) {
        EXPECT_EQ(sm::translateinternalnid(v), -1) << v;
    }
    for (int v : {-1, 0, 957, 970, NID_sm2}) {
        EXPECT_EQ(sm::sm_library_nid(v), -1) << v;
    }
    // Outside 958-969 the number is the library's own.
    const ASN1_OBJECT* sha = sm::SM2_OBJ_nid2obj(NID_sha256);
    ASSERT_NE(sha, nullptr);
    EXPECT_EQ(dotted(sha), "2.16.840.1.101.3.4.2.1");

    ERR_clear_error();
    EXPECT_EQ(sm::SM2_OBJ_nid2obj(100000), nullptr);
    EXPECT_NE(ERR_peek_error(), 0u) << "an unknown number must leave an error";
    ERR_clear_error();
}

// The following run in a freshly started copy of the test binary (threadsafe
// death-test style re-executes it), so no registration has happened there.
// The child reports a mismatch on stderr and with a non-zero exit status.
#define CHILD_CHECK(cond)                                        \
    do {                                                         \
        if (!(cond)) {                                           \
            std::fprintf(stderr, "failed: %s\n", #cond);         \
            std::exit(1);                                        \
        }                                                        \
    } while (0)

void lookupBeforeRegistration()
{
    CHILD_CHECK(sm::internalsm2sm3 == -1 && sm::internalsm2sm3sign == -1);
    // The -1 held by unregistered rows is no library number.
    CHILD_CHECK(sm::translateinternalnid(-1) == -1);
    const ASN1_OBJECT* a = sm::SM2_OBJ_nid2obj(968);
    const ASN1_OBJECT* b = sm::SM2_OBJ_nid2obj(969);
    CHILD_CHECK(a != nullptr && b != nullptr);
    CHILD_CHECK(dotted(a) == "1.2.156.10197.1.301.3");
    CHILD_CHECK(std::strcmp(shortName(a), "SM2SM3") == 0);
    CHILD_CHECK(dotted(b) == "1.2.156.10197.1.501");
    CHILD_CHECK(OBJ_obj2nid(b) == NID_SM2_with_SM3);
    // Only the rows asked for were registered.
    CHILD_CHECK(sm::internalsm2signedoid == -1);
    const int sm2sm3 = sm::internalsm2sm3;
    sm::initsm2internalnid();
    CHILD_CHECK(sm::internalsm2sm3 == sm2sm3);
    CHILD_CHECK(sm::internalsm2signedoid != -1 && sm::internalsm2signedoid != sm2sm3);
    CHILD_CHECK(sm::translateinternalnid(sm2sm3) == -1);
    CHILD_CHECK(ERR_peek_error() == 0);
    std::exit(0);
}

void nameAlreadyTakenByAnotherIdentifier()
{
    // Someone else took our short name for a different identifier first.
    const int foreign = OBJ_create("1.3.6.1.4.1.99999.1", "SM2P7DATA", "foreign data");
    CHILD_CHECK(foreign != NID_undef);
    sm::initsm2internalnid();
    CHILD_CHECK(sm::internalsm2dataoid != -1 && sm::internalsm2dataoid != foreign);
    const ASN1_OBJECT* o = sm::SM2_OBJ_nid2obj(961);
    CHILD_CHECK(o != nullptr && dotted(o) == "1.2.156.10197.6.1.4.2.1");
    CHILD_CHECK(sm::translateinternalnid(sm::internalsm2dataoid) == 961);
    // Decoding the identifier finds our object, not the foreign one.
    ASN1_OBJECT* parsed = OBJ_txt2obj("1.2.156.10197.6.1.4.2.1", 1);
    CHILD_CHECK(parsed != nullptr && OBJ_obj2nid(parsed) == sm::internalsm2dataoid);
    ASN1_OBJECT_free(parsed);
    CHILD_CHECK(ERR_peek_error() == 0);
    std::exit(0);
}

TEST(SmOidFreshProcess, LookupBeforeRegistration)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(lookupBeforeRegistration(), testing::ExitedWithCode(0), "");
}

TEST(SmOidFreshProcess, NameAlreadyTakenByAnotherIdentifier)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(nameAlreadyTakenByAnotherIdentifier(), testing::ExitedWithCode(0), "");
}

}  // namespace
