// The query rule between a certificate summary and a page's query, and the
// splitter the certificate import uses.
#include "struct.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

certificate_info_t Summary() {
    certificate_info_t s;
    s.sn = "0A1B2C";
    s.CN = "Zhang San";
    s.C = "CN";
    s.E = "zs@example.cn";
    s.O = "Vaultline";
    s.OU = "Enrolment";
    return s;
}

TEST(CertificateQuery, Matching) {
    struct Case {
        const char* what;
        std::string certificate_info_t::*field;
        std::string value;
        bool matches;
    } cases[] = {
        {"empty query", nullptr, "", true},
        {"CN ignoring case", &certificate_info_t::CN, "zhang SAN", true},
        {"CN prefix", &certificate_info_t::CN, "Zhang", false},
        {"CN longer", &certificate_info_t::CN, "Zhang San Jr", false},
        {"C", &certificate_info_t::C, "cn", true},
        {"C differs", &certificate_info_t::C, "US", false},
        {"E", &certificate_info_t::E, "ZS@EXAMPLE.CN", true},
        {"O differs", &certificate_info_t::O, "Other", false},
        {"OU", &certificate_info_t::OU, "enrolment", true},
        {"OU differs", &certificate_info_t::OU, "Enrol", false},
        {"sn exact", &certificate_info_t::sn, "0A1B2C", true},
        {"sn lower case, extra zeros", &certificate_info_t::sn, "000a1b2c", true},
        {"sn without its zero", &certificate_info_t::sn, "A1B2C", true},
        {"sn differs", &certificate_info_t::sn, "0A1B2D", false},
        {"sn with a trailing zero", &certificate_info_t::sn, "0A1B2C0", false},
        {"subject never filled", &certificate_info_t::subject, "CN=Zhang San", false},
        {"PUB ignored", &certificate_info_t::PUB, "anything", true},
    };
    const certificate_info_t cert = Summary();
    for (const Case& c : cases) {
        certificate_info_t q;
        if (c.field != nullptr) q.*c.field = c.value;
        EXPECT_EQ(cert.match(&q), c.matches) << c.what;
    }
    EXPECT_FALSE(cert.match(nullptr));

    // Every non-empty field must hold, not just one of them.
    certificate_info_t both;
    both.CN = "zhang san";
    both.O = "Other";
    EXPECT_FALSE(cert.match(&both));
    both.O = "vaultline";
    EXPECT_TRUE(cert.match(&both));

    // An all-zero serial only equals another all-zero serial.
    certificate_info_t zero;
    zero.sn = "00";
    EXPECT_FALSE(cert.match(&zero));
    certificate_info_t zeroCert;
    zeroCert.sn = "0";
    EXPECT_TRUE(zeroCert.match(&zero));
}

TEST(Split, PiecesIncludingEmptyOnes) {
    struct Case {
        std::string text;
        std::string delim;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a b c", " ", {"a", "b", "c"}},
        {"a  b", " ", {"a", "", "b"}},
        {"abc", " ", {"abc"}},
        {"", " ", {""}},
        {" a ", " ", {"", "a", ""}},
        {"a,b;c", ",;", {"a", "b", "c"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> v{"kept"};
        split(c.text, c.delim, v);
        std::vector<std::string> want{"kept"};
        want.insert(want.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(v, want) << "'" << c.text << "'";

        certlist l;
        split(c.text, c.delim, l);
        EXPECT_EQ(std::vector<std::string>(l.begin(), l.end()), c.pieces) << "'" << c.text << "'";
    }
}

}  // namespace
