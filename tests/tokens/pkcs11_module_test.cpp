// Loading a module, slots, sessions and certificate listing; and a module
// that reports more than the caller allocated.
#include "pkcs11_fixture.h"

#include <set>

namespace p11test {
namespace {

TEST(Pkcs11Load, RefusesWhatIsNotAWorkingModule) {
    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"missing file", "/nonexistent/libmodule.so"},
        {"no C_GetFunctionList", P11_NO_LIST_LIB},
        {"C_GetFunctionList fails", P11_FAILING_LIST_LIB},
    };
    for (const auto& c : cases) {
        p11::Pkcs11Dll dll;
        EXPECT_FALSE(dll.Load(c.path)) << c.what;
        EXPECT_FALSE(dll.m_bLoaded) << c.what;
        EXPECT_EQ(dll.m_p11Funcs, nullptr) << c.what;
        // Nothing may be called through a list that was never obtained.
        EXPECT_EQ(dll.Initialize(), CKR_FUNCTION_FAILED) << c.what;
        std::vector<p11::Slot*> slots;
        EXPECT_EQ(dll.GetSlotList(slots), CKR_FUNCTION_FAILED) << c.what;
        EXPECT_TRUE(slots.empty()) << c.what;
    }
    CK_SLOT_INFO info;
    EXPECT_EQ(p11::Slot(1, nullptr).GetSlotInfo(info), ~static_cast<CK_RV>(0));
}

using ModuleTest = TokenTest;

TEST_P(ModuleTest, ListsEveryTokenSlotInTheModulesOrder) {
    InitToken("L2");
    ASSERT_TRUE(m_dll.Load(ModulePath()));
    ASSERT_EQ(m_dll.Initialize(), CKR_OK);
    // A second initialisation is the module's matter, passed on unchanged.
    EXPECT_EQ(m_dll.Initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    ASSERT_EQ(m_dll.GetSlotList(m_slots), CKR_OK);

    CK_SLOT_ID ids[16];
    CK_ULONG n = 16;
    ASSERT_EQ(F()->C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
    ASSERT_EQ(m_slots.size(), n);
    std::vector<std::string> labels;
    for (CK_ULONG i = 0; i < n; ++i) {
        EXPECT_EQ(m_slots[i]->m_slotID, ids[i]);
        EXPECT_EQ(m_slots[i]->m_dll, &m_dll);
        labels.push_back(Label(ids[i]));
        CK_SLOT_INFO info;
        ASSERT_EQ(m_slots[i]->GetSlotInfo(info), CKR_OK);
        EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);
    }
    // Both initialised tokens, and SoftHSM2's free slot with no label yet.
    EXPECT_EQ(std::set<std::string>(labels.begin(), labels.end()), (std::set<std::string>{"L1", "L2", ""}));

    CK_SLOT_INFO info;
    EXPECT_EQ(p11::Slot(0xdead, &m_dll).GetSlotInfo(info), CKR_SLOT_ID_INVALID);

    // Appends: what the caller already holds stays.
    std::vector<p11::Slot*> more{m_slots[0]};
    ASSERT_EQ(m_dll.GetSlotList(more), CKR_OK);
    EXPECT_EQ(more.size(), n + 1);
    for (size_t i = 1; i < more.size(); ++i) delete more[i];
}

TEST_P(ModuleTest, OpensAReadWriteSessionWithoutLoggingIn) {
    Open();
    CK_SESSION_INFO info;
    ASSERT_EQ(F()->C_GetSessionInfo(S(), &info), CKR_OK);
    EXPECT_EQ(info.slotID, m_slot->m_slotID);
    EXPECT_TRUE(info.flags & CKF_RW_SESSION);
    // Only the forwarding module, standing in for a vendor PIN dialog, logs in.
    EXPECT_EQ(info.state, Forwarded() ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION);

    EXPECT_EQ(m_slot->OpenSession(nullptr), CKR_ARGUMENTS_BAD);
    p11::Session* none = nullptr;
    EXPECT_EQ(p11::Slot(0xdead, &m_dll).OpenSession(&none), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(none, nullptr);
}

TEST_P(ModuleTest, ListsNoneOneAndSeveralCertificates) {
    Open();
    Owned<EVP_PKEY> k(EVP_EC_gen("P-256"));
    std::set<std::string> stored;
    for (int wanted : {0, 1, 3}) {
        while (static_cast<int>(stored.size()) < wanted) {
            std::string der = Issue(k.get(), "cert " + std::to_string(stored.size()));
            PutCert(der, "id");
            stored.insert(der);
        }
        std::vector<p11::Cert*> certs;
        ASSERT_EQ(m_session->GetAllCert(certs), CKR_OK);
        std::set<std::string> seen;
        for (p11::Cert* c : certs) {
            EXPECT_EQ(c->m_session, m_session);
            EXPECT_EQ(c->m_key, nullptr);
            seen.insert(c->toDer());
            delete c;
        }
        EXPECT_EQ(certs.size(), stored.size());
        EXPECT_EQ(seen, stored);
    }
    // Keys are not certificates.
    MakeRsa("k");
    std::vector<p11::Cert*> certs;
    ASSERT_EQ(m_session->GetAllCert(certs), CKR_OK);
    EXPECT_EQ(certs.size(), 3u);
    for (p11::Cert* c : certs) delete c;

    p11::Session closed(0xdead, &m_dll);
    EXPECT_EQ(closed.GetAllCert(certs), CKR_SESSION_HANDLE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(Route, ModuleTest, ::testing::Values(Route::Direct, Route::Forward), RouteName);

// The forwarding module, when told to lie, reports on every filling call
// more than the caller allocated (and writes nothing beyond it).
using LyingModuleTest = TokenTest;

TEST_P(LyingModuleTest, ReportedLengthsNeverReachPastTheBuffers) {
    Open();
    KeyPair k = MakeRsa("pair", 1024, true);
    std::unique_ptr<p11::Cert> cert = CertFor(k, "pair");
    std::vector<p11::Slot*> honest;
    ASSERT_EQ(m_dll.GetSlotList(honest), CKR_OK);
    for (p11::Slot* s : honest) delete s;

    setenv("P11FORWARD_LIE", "1", 1);

    std::vector<p11::Slot*> slots;
    EXPECT_EQ(m_dll.GetSlotList(slots), CKR_OK);
    EXPECT_EQ(slots.size(), honest.size());
    for (p11::Slot* s : slots) delete s;

    std::string id = "unchanged", subject = "unchanged", value = "unchanged";
    EXPECT_EQ(cert->GetAttribute(id, subject, value), CKR_GENERAL_ERROR);
    EXPECT_EQ(id + subject + value, "unchangedunchangedunchanged");
    EXPECT_EQ(cert->toDer(), "");
    EXPECT_NE(cert->GetKey(), CKR_OK);
    EXPECT_EQ(cert->m_key, nullptr);

    p11::Key key(&m_dll, m_session, k.pub, k.priv);
    EXPECT_EQ(Owned<EVP_PKEY>(key.GetEvpKey()), nullptr);
    std::string out = "unchanged";
    EXPECT_EQ(key.Sign("data", out, CKM_SHA256), CKR_GENERAL_ERROR);
    EXPECT_EQ(key.Encrypt("data", out), CKR_GENERAL_ERROR);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(key.Sign("data"), "");

    // The same calls answered honestly succeed: the refusals above came from
    // the lengths alone.
    unsetenv("P11FORWARD_LIE");
    EXPECT_EQ(cert->GetAttribute(id, subject, value), CKR_OK);
    EXPECT_EQ(id, "pair");
    EXPECT_EQ(key.Sign("data", out, CKM_SHA256), CKR_OK);
    EXPECT_EQ(out.size(), 128u);
}

INSTANTIATE_TEST_SUITE_P(Route, LyingModuleTest, ::testing::Values(Route::Forward), RouteName);

}  // namespace
}  // namespace p11test
