// Which library files the service agrees to load: a scratch tree with
// owners and modes set per case.
#include "SMProviderManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

class TrustedPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vaultline-trust-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        ASSERT_EQ(chmod(m_root.c_str(), 0755), 0);
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string Dir(const std::string& rel, mode_t mode, uid_t owner = 0) {
        std::string d = m_root + "/" + rel;
        fs::create_directories(d);
        EXPECT_EQ(chown(d.c_str(), owner, 0), 0);
        EXPECT_EQ(chmod(d.c_str(), mode), 0);  // after chown, which drops the sticky bit on some systems
        return d;
    }
    std::string File(const std::string& rel, mode_t mode, uid_t owner = 0) {
        std::string f = m_root + "/" + rel;
        std::ofstream(f) << "not really a library";
        EXPECT_EQ(chown(f.c_str(), owner, 0), 0);
        EXPECT_EQ(chmod(f.c_str(), mode), 0);
        return f;
    }

    std::string m_root;
};

TEST_F(TrustedPathTest, OwnersModesAndLinks) {
    ASSERT_EQ(geteuid(), 0u) << "the owner cases need root";
    Dir("ok", 0755);
    const std::string good = File("ok/lib.so", 0755);
    File("ok/nobody.so", 0755, kNobody);
    File("ok/group-w.so", 0775);
    File("ok/other-w.so", 0757);
    Dir("nobodydir", 0755, kNobody);
    File("nobodydir/lib.so", 0755);
    Dir("groupdir", 0775);
    File("groupdir/lib.so", 0755);
    Dir("worlddir", 0777);
    File("worlddir/lib.so", 0755);
    Dir("sticky", 01777);
    File("sticky/lib.so", 0755);
    Dir("ok/inner", 0755);
    Dir("worlddir/deeper", 0755);
    File("worlddir/deeper/lib.so", 0755);
    fs::create_symlink(m_root + "/worlddir/lib.so", m_root + "/ok/to-untrusted.so");
    fs::create_symlink(good, m_root + "/worlddir/to-trusted.so");
    fs::create_symlink(m_root + "/worlddir", m_root + "/ok/linkdir");

    struct Case {
        std::string rel;
        bool trusted;
    } cases[] = {
        {"ok/lib.so", true},
        {"ok/../ok/lib.so", true},
        {"sticky/lib.so", true},               // /tmp-like: others may write, not replace
        {"worlddir/to-trusted.so", true},      // the link resolves into a trusted place
        {"ok/missing.so", false},
        {"ok", false},                         // a directory, not a file
        {"ok/nobody.so", false},
        {"ok/group-w.so", false},
        {"ok/other-w.so", false},
        {"nobodydir/lib.so", false},
        {"groupdir/lib.so", false},
        {"worlddir/lib.so", false},
        {"worlddir/deeper/lib.so", false},     // an untrusted directory anywhere above
        {"ok/to-untrusted.so", false},
        {"ok/linkdir/lib.so", false},          // a trusted-looking path through a link
    };
    for (const Case& c : cases) {
        std::string why, real = "untouched";
        EXPECT_EQ(IsTrustedLibraryPath(m_root + "/" + c.rel, &why, &real), c.trusted) << c.rel << ": " << why;
        EXPECT_EQ(why.empty(), c.trusted) << c.rel;
        // What gets loaded is the resolved file, not a link to it.
        EXPECT_EQ(real, c.trusted ? fs::canonical(m_root + "/" + c.rel).string() : "untouched") << c.rel;
    }
    EXPECT_FALSE(IsTrustedLibraryPath("", nullptr));
}

}  // namespace
