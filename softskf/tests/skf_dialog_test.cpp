// The PIN dialog a vendor library shows by itself, answered here by the dialog
// PIN: on an application handle that is not logged in, an operation that needs
// the login first verifies it exactly as SKF_VerifyPIN would.
#include "skf_fixture.h"

#include <functional>
#include <optional>

namespace softskf::testing {
namespace {

class DialogTest : public SkfTest {
protected:
    static constexpr const char* kWrong = "999999";

    ULONG RetriesLeft(HAPPLICATION app) {
        ULONG max = 0, remain = 99;
        BOOL isDefault = FALSE;
        EXPECT_EQ(skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &isDefault), SAR_OK);
        return remain;
    }
    HCONTAINER Open(HAPPLICATION app, const std::string& name) {
        HCONTAINER h = nullptr;
        EXPECT_EQ(skf.SKF_OpenContainer(app, Str(name), &h), SAR_OK);
        return h;
    }
    void SetDialog(const std::string& pin) { store.SetDialogPin(kDev, kApp, pin); }
    // Keys, certificates and container names: what a refused operation must leave alone.
    std::string Contents() {
        std::string out;
        State state = store.Read();
        for (const Container& c : state.GetApplication(kDev, kApp).containers) {
            out += c.name + "|" + c.signKeyPem + "|" + c.encKeyPem + "|" +
                   std::string(c.signCert.begin(), c.signCert.end()) + "|" +
                   std::string(c.encCert.begin(), c.encCert.end()) + "\n";
        }
        return out;
    }
    // Whether the handle is logged in, told by signing with the dialog switched
    // off: only a login of the handle itself can make that succeed.
    bool LoggedIn(HAPPLICATION app, const std::string& sm2Container) {
        const char* saved = std::getenv("SOFTSKF_DIALOG_PIN");
        const std::optional<std::string> env = saved ? std::optional<std::string>(saved) : std::nullopt;
        ::setenv("SOFTSKF_DIALOG_PIN", "", 1);
        HCONTAINER c = Open(app, sm2Container);
        BYTE digest[32] = {7};
        ECCSIGNATUREBLOB sig{};
        const ULONG status = skf.SKF_ECCSignData(c, digest, sizeof digest, &sig);
        skf.SKF_CloseContainer(c);
        env ? ::setenv("SOFTSKF_DIALOG_PIN", env->c_str(), 1) : ::unsetenv("SOFTSKF_DIALOG_PIN");
        EXPECT_TRUE(status == SAR_OK || status == SAR_USER_NOT_LOGGED_IN) << std::hex << status;
        return status == SAR_OK;
    }
};

TEST_F(DialogTest, KeyGenerationAndSigningLadderDownToTheLock) {
    Session s = Sm2Session();  // logged in: makes the key the fresh handle will use
    HAPPLICATION app = OpenApp(s.dev);
    HCONTAINER cont = Open(app, "sm2");
    const std::string before = Contents();
    BYTE digest[32] = {1, 2, 3};
    ECCSIGNATUREBLOB sig{};
    ECCPUBLICKEYBLOB pub{};

    // No dialog: refused as before, and no retry is spent.
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    EXPECT_EQ(skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    EXPECT_EQ(RetriesLeft(app), kRetries);

    // A wrong dialog PIN: each operation fails as SKF_VerifyPIN would and
    // costs one retry, until the try that reaches zero locks the PIN.
    SetDialog(kWrong);
    for (ULONG left = kRetries - 1;; --left) {
        SCOPED_TRACE(left);
        const ULONG expected = left == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
        const ULONG status = left % 2 ? skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub)
                                      : skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig);
        EXPECT_EQ(status, expected);
        EXPECT_EQ(RetriesLeft(app), left);
        if (left == 0) break;
    }
    EXPECT_EQ(Contents(), before) << "a failed dialog generated a key";
    EXPECT_TRUE(std::all_of(sig.r, sig.r + 64, [](BYTE b) { return b == 0; })) << "a failed dialog signed";

    // Locked: putting the right PIN into the dialog does not open it, on this
    // handle or a new one, and neither does SKF_VerifyPIN.
    SetDialog(kPin);
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub), static_cast<ULONG>(SAR_PIN_LOCKED));
    EXPECT_EQ(skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_PIN_LOCKED));
    HAPPLICATION other = OpenApp(s.dev);
    HCONTAINER otherCont = Open(other, "sm2");
    EXPECT_EQ(skf.SKF_ECCSignData(otherCont, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_PIN_LOCKED));
    ULONG retry = 9;
    EXPECT_EQ(skf.SKF_VerifyPIN(other, USER_TYPE, Str(kPin), &retry), static_cast<ULONG>(SAR_PIN_LOCKED));
    EXPECT_EQ(RetriesLeft(app), 0u);
    EXPECT_EQ(Contents(), before);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(DialogTest, RightDialogPinRestoresTheCounterAndLogsTheHandleIn) {
    Session s = Sm2Session();
    ULONG retry = 0;
    ASSERT_EQ(skf.SKF_VerifyPIN(OpenApp(s.dev), USER_TYPE, Str("000000"), &retry),
              static_cast<ULONG>(SAR_PIN_INCORRECT));
    SetDialog(kPin);

    HAPPLICATION app = OpenApp(s.dev);
    HCONTAINER cont = Open(app, "sm2");
    const Bytes digest(32, 0x5A);
    ECCSIGNATUREBLOB sig{};
    ASSERT_EQ(skf.SKF_ECCSignData(cont, const_cast<BYTE*>(digest.data()), 32, &sig), SAR_OK);
    EXPECT_TRUE(VerifySm2Digest(StoredPublicKey("sm2", KeyUsage::Sign).get(), sig, digest));
    EXPECT_EQ(RetriesLeft(app), kRetries) << "a correct PIN restores the counter";
    EXPECT_TRUE(LoggedIn(app, "sm2"));
    EXPECT_FALSE(LoggedIn(OpenApp(s.dev), "sm2")) << "the login belongs to the handle the dialog ran on";

    // A logged-in handle is not asked again: a wrong answer now costs nothing.
    SetDialog(kWrong);
    ECCPUBLICKEYBLOB pub{};
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub), SAR_OK);
    EXPECT_EQ(RetriesLeft(app), kRetries);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(DialogTest, EnvironmentAnswersForEveryApplicationOrSwitchesTheDialogOff) {
    Session s = Sm2Session();
    const std::string tooLong(kMaxPinLen + 1, '1');
    struct Case {
        const char* stored;  // "" : no dialog PIN in the store
        const char* env;     // nullptr: SOFTSKF_DIALOG_PIN unset
        ULONG status;
        ULONG retriesAfter;
    };
    const Case cases[] = {
        {"", nullptr, SAR_USER_NOT_LOGGED_IN, kRetries},
        {"", kPin, SAR_OK, kRetries},
        {kPin, "", SAR_USER_NOT_LOGGED_IN, kRetries},
        {kWrong, "", SAR_USER_NOT_LOGGED_IN, kRetries},
        {kPin, kWrong, SAR_PIN_INCORRECT, kRetries - 1},
        {kWrong, kPin, SAR_OK, kRetries},
        // Refused before it is tried, as SKF_VerifyPIN refuses it: no retry spent.
        {kPin, tooLong.c_str(), SAR_PIN_LEN_RANGE, kRetries},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("stored '") + c.stored + "' env " + (c.env ? "'" + std::string(c.env) + "'" : "unset"));
        Login(s.app);  // counter back to full
        SetDialog(c.stored);
        c.env ? ::setenv("SOFTSKF_DIALOG_PIN", c.env, 1) : ::unsetenv("SOFTSKF_DIALOG_PIN");
        HAPPLICATION app = OpenApp(s.dev);
        HCONTAINER cont = Open(app, "sm2");
        BYTE digest[32] = {4};
        ECCSIGNATUREBLOB sig{};
        EXPECT_EQ(skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig), c.status);
        EXPECT_EQ(RetriesLeft(app), c.retriesAfter);
        EXPECT_EQ(LoggedIn(app, "sm2"), c.status == SAR_OK);
        skf.SKF_CloseApplication(app);
    }
    skf.SKF_DisConnectDev(s.dev);
}

// Each operation that needs the login answers the dialog, wrongly (refused,
// one retry, nothing done) and rightly (done, handle logged in); the others
// never spend a retry on it.
TEST_F(DialogTest, EveryOperationThatNeedsTheLoginAndNoOther) {
    Session s = Sm2Session();
    HCONTAINER rsa = NewContainer(s.app, "rsa");
    RSAPUBLICKEYBLOB rsaPub{};
    ASSERT_EQ(skf.SKF_GenRSAKeyPair(rsa, 1024, &rsaPub), SAR_OK);
    auto finishedHash = [&](ULONG alg) {
        HANDLE h = nullptr;
        EXPECT_EQ(skf.SKF_DigestInit(s.dev, alg, nullptr, nullptr, 0, &h), SAR_OK);
        BYTE data[3] = {'a', 'b', 'c'};
        BYTE out[64];
        ULONG len = sizeof out;
        EXPECT_EQ(skf.SKF_Digest(h, data, sizeof data, out, &len), SAR_OK);
        return h;
    };
    // Well-formed enough to pass the argument checks; the contents are junk.
    std::vector<std::uint8_t> envelopeBytes(sizeof(ENVELOPEDKEYBLOB) + 16, 0x11);
    auto* envelope = reinterpret_cast<ENVELOPEDKEYBLOB*>(envelopeBytes.data());
    envelope->Version = 1;
    envelope->ulSymmAlgID = SGD_SM4_ECB;
    envelope->ulBits = 256;
    envelope->ECCCipherBlob.CipherLen = 16;
    Bytes wrapped(128, 0x22), rsaCipher(1168, 0x33);

    struct Op {
        const char* name;
        std::function<ULONG(HAPPLICATION, HCONTAINER sm2, HCONTAINER rsa)> call;
        ULONG whenLoggedIn;
    };
    const Op needLogin[] = {
        {"GenECCKeyPair", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             ECCPUBLICKEYBLOB pub{};
             return skf.SKF_GenECCKeyPair(c, SGD_SM2_1, &pub);
         }, SAR_OK},
        {"GenRSAKeyPair", [&](HAPPLICATION, HCONTAINER, HCONTAINER r) {
             RSAPUBLICKEYBLOB pub{};
             return skf.SKF_GenRSAKeyPair(r, 1024, &pub);
         }, SAR_OK},
        {"ECCSignData", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             BYTE msg[5] = {1, 2, 3, 4, 5};
             ECCSIGNATUREBLOB sig{};
             return skf.SKF_ECCSignData(c, msg, sizeof msg, &sig);
         }, SAR_OK},
        {"RSASignData", [&](HAPPLICATION, HCONTAINER, HCONTAINER r) {
             BYTE msg[5] = {1, 2, 3, 4, 5};
             BYTE sig[256];
             ULONG len = sizeof sig;
             return skf.SKF_RSASignData(r, msg, sizeof msg, sig, &len);
         }, SAR_OK},
        {"ECCSignHash", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             ECCSIGNATUREBLOB sig{};
             return skf.SKF_ECCSignHash(c, TRUE, finishedHash(SGD_SM3), &sig);
         }, SAR_OK},
        {"RSASignHash", [&](HAPPLICATION, HCONTAINER, HCONTAINER r) {
             BYTE sig[256];
             DWORD len = sizeof sig;
             return skf.SKF_RSASignHash(r, TRUE, finishedHash(SGD_SHA256), sig, &len);
         }, SAR_OK},
        {"ImportECCKeyPair", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             return skf.SKF_ImportECCKeyPair(c, envelope);
         }, SAR_INDATAERR},
        {"ImportRSAKeyPair", [&](HAPPLICATION, HCONTAINER, HCONTAINER r) {
             return skf.SKF_ImportRSAKeyPair(r, SGD_SM4_ECB, wrapped.data(), static_cast<ULONG>(wrapped.size()),
                                             rsaCipher.data(), static_cast<ULONG>(rsaCipher.size()));
         }, SAR_INDATAERR},
        {"DeleteContainer", [&](HAPPLICATION a, HCONTAINER, HCONTAINER) {
             return skf.SKF_DeleteContainer(a, Str("victim"));
         }, SAR_OK},
    };
    const Bytes cert = [&] {
        ossl::Pkey issuer(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
        return MakeCertificate(StoredPublicKey("sm2", KeyUsage::Sign).get(), issuer.get());
    }();
    const Op noLogin[] = {
        {"CreateContainer", [&](HAPPLICATION a, HCONTAINER, HCONTAINER) {
             HCONTAINER c = nullptr;
             return skf.SKF_CreateContainer(a, Str("fresh"), &c);
         }, SAR_OK},
        {"EnumContainer", [&](HAPPLICATION a, HCONTAINER, HCONTAINER) {
             ULONG size = 0;
             return skf.SKF_EnumContainer(a, nullptr, &size);
         }, SAR_OK},
        {"GetContainerType", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             ULONG type = 0;
             return skf.SKF_GetContainerType(c, &type);
         }, SAR_OK},
        {"ExportPublicKey", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             ECCPUBLICKEYBLOB pub{};
             ULONG len = sizeof pub;
             return skf.SKF_ExportPublicKey(c, TRUE, reinterpret_cast<BYTE*>(&pub), &len);
         }, SAR_OK},
        {"ImportCertificate", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             return skf.SKF_ImportCertificate(c, TRUE, const_cast<BYTE*>(cert.data()),
                                              static_cast<ULONG>(cert.size()));
         }, SAR_OK},
        {"ExportCertificate", [&](HAPPLICATION, HCONTAINER c, HCONTAINER) {
             ULONG len = 0;
             return skf.SKF_ExportCertificate(c, TRUE, nullptr, &len);
         }, SAR_OK},
    };

    SetDialog(kWrong);
    {
        HAPPLICATION app = OpenApp(s.dev);
        HCONTAINER sm2 = Open(app, "sm2"), r = Open(app, "rsa");
        for (const Op& op : noLogin) {
            SCOPED_TRACE(op.name);
            EXPECT_EQ(op.call(app, sm2, r), op.whenLoggedIn);
            EXPECT_EQ(RetriesLeft(app), kRetries);
        }
        EXPECT_FALSE(LoggedIn(app, "sm2"));
    }

    for (const Op& op : needLogin) {
        SCOPED_TRACE(op.name);
        Login(s.app);
        if (store.Read().GetApplication(kDev, kApp).FindContainer("victim") == nullptr) {
            store.CreateContainer(kDev, kApp, "victim");
        }
        SetDialog(kWrong);
        HAPPLICATION app = OpenApp(s.dev);
        HCONTAINER sm2 = Open(app, "sm2"), r = Open(app, "rsa");
        const std::string before = Contents();
        EXPECT_EQ(op.call(app, sm2, r), static_cast<ULONG>(SAR_PIN_INCORRECT));
        EXPECT_EQ(RetriesLeft(app), kRetries - 1);
        EXPECT_EQ(Contents(), before);
        EXPECT_FALSE(LoggedIn(app, "sm2"));

        SetDialog(kPin);
        EXPECT_EQ(op.call(app, sm2, r), op.whenLoggedIn);
        EXPECT_EQ(RetriesLeft(app), kRetries);
        EXPECT_TRUE(LoggedIn(app, "sm2"));
        skf.SKF_CloseApplication(app);
    }
    EXPECT_EQ(store.Read().GetApplication(kDev, kApp).FindContainer("victim"), nullptr);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(DialogTest, ChangingTheUserPinCarriesADialogPinThatWasIt) {
    Session s = Sm2Session();
    SetDialog(kPin);
    ULONG retry = 0;
    ASSERT_EQ(skf.SKF_ChangePIN(s.app, USER_TYPE, Str(kPin), Str("654321"), &retry), SAR_OK);
    EXPECT_EQ(store.Read().GetApplication(kDev, kApp).dialogPin, "654321");
    HAPPLICATION app = OpenApp(s.dev);
    HCONTAINER cont = Open(app, "sm2");
    BYTE digest[32] = {9};
    ECCSIGNATUREBLOB sig{};
    EXPECT_EQ(skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig), SAR_OK);

    // A dialog PIN that was not the user PIN stays what it was, and so does
    // the dialog through the administrator PIN's change.
    SetDialog(kWrong);
    ASSERT_EQ(skf.SKF_ChangePIN(s.app, USER_TYPE, Str("654321"), Str("111111"), &retry), SAR_OK);
    EXPECT_EQ(store.Read().GetApplication(kDev, kApp).dialogPin, kWrong);
    SetDialog(kSoPin);
    ASSERT_EQ(skf.SKF_ChangePIN(s.app, ADMIN_TYPE, Str(kSoPin), Str("admin-2"), &retry), SAR_OK);
    EXPECT_EQ(store.Read().GetApplication(kDev, kApp).dialogPin, kSoPin);
    skf.SKF_DisConnectDev(s.dev);
}

}  // namespace
}  // namespace softskf::testing
