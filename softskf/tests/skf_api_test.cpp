// Argument, handle and state ladders of the exported functions.
#include "skf_fixture.h"

#include <cstring>

namespace softskf::testing {
namespace {

std::vector<std::string> SplitList(const std::vector<char>& buf, ULONG size) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < size && buf[pos] != '\0') {
        const std::string name(&buf[pos]);
        out.push_back(name);
        pos += name.size() + 1;
    }
    return out;
}

using ApiTest = SkfTest;

TEST_F(ApiTest, NameListsSizeQueryShortBufferAndContents) {
    store.CreateDevice("dev1", "", "");
    ULONG size = 0;
    EXPECT_EQ(skf.SKF_EnumDev(TRUE, nullptr, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_EnumDev(TRUE, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 11u);  // "dev0\0dev1\0\0"

    std::vector<char> buf(size + 4, 'x');
    ULONG small = size - 1;
    EXPECT_EQ(skf.SKF_EnumDev(TRUE, buf.data(), &small), static_cast<ULONG>(SAR_BUFFER_TOO_SMALL));
    EXPECT_EQ(small, size);
    EXPECT_EQ(buf[0], 'x') << "nothing written into a short buffer";

    ULONG big = static_cast<ULONG>(buf.size());
    ASSERT_EQ(skf.SKF_EnumDev(TRUE, buf.data(), &big), SAR_OK);
    EXPECT_EQ(big, size);
    EXPECT_EQ(std::string(buf.data(), size), std::string("dev0\0dev1\0\0", 11));
    EXPECT_EQ(SplitList(buf, size), (std::vector<std::string>{"dev0", "dev1"}));

    // An application without containers: an empty list is two zeros.
    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    ASSERT_EQ(skf.SKF_EnumContainer(app, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 2u);
    NewContainer(app, "c1");
    NewContainer(app, "c2");
    ULONG len = 0;
    ASSERT_EQ(skf.SKF_EnumContainer(app, nullptr, &len), SAR_OK);
    std::vector<char> names(len);
    ASSERT_EQ(skf.SKF_EnumContainer(app, names.data(), &len), SAR_OK);
    EXPECT_EQ(SplitList(names, len), (std::vector<std::string>{"c1", "c2"}));
    ASSERT_EQ(skf.SKF_EnumApplication(dev, nullptr, &len), SAR_OK);
    names.assign(len, 0);
    ASSERT_EQ(skf.SKF_EnumApplication(dev, names.data(), &len), SAR_OK);
    EXPECT_EQ(SplitList(names, len), std::vector<std::string>{kApp});
    EXPECT_EQ(skf.SKF_DisConnectDev(dev), SAR_OK);
}

TEST_F(ApiTest, HandlesAreCheckedByKindAndOpenState) {
    const ULONG kInvalid = SAR_INVALIDHANDLEERR;
    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    HCONTAINER cont = NewContainer(app, "c");
    HANDLE hash = nullptr;
    ASSERT_EQ(skf.SKF_DigestInit(dev, SGD_SHA256, nullptr, nullptr, 0, &hash), SAR_OK);

    ULONG size = 0;
    ULONG type = 0;
    HAPPLICATION a2 = nullptr;
    HCONTAINER c2 = nullptr;
    // Every kind passed where another is expected, plus null and never-issued values.
    for (HANDLE wrong : {static_cast<HANDLE>(nullptr), Bogus(), app, cont, hash}) {
        EXPECT_EQ(skf.SKF_OpenApplication(wrong, Str(kApp), &a2), kInvalid);
        EXPECT_EQ(skf.SKF_EnumApplication(wrong, nullptr, &size), kInvalid);
        EXPECT_EQ(skf.SKF_DisConnectDev(wrong), kInvalid);
    }
    for (HANDLE wrong : {static_cast<HANDLE>(nullptr), Bogus(), dev, cont, hash}) {
        EXPECT_EQ(skf.SKF_OpenContainer(wrong, Str("c"), &c2), kInvalid);
        EXPECT_EQ(skf.SKF_EnumContainer(wrong, nullptr, &size), kInvalid);
        EXPECT_EQ(skf.SKF_CloseApplication(wrong), kInvalid);
    }
    for (HANDLE wrong : {static_cast<HANDLE>(nullptr), Bogus(), dev, app, hash}) {
        EXPECT_EQ(skf.SKF_GetContainerType(wrong, &type), kInvalid);
        EXPECT_EQ(skf.SKF_CloseContainer(wrong), kInvalid);
    }
    for (HANDLE wrong : {static_cast<HANDLE>(nullptr), Bogus(), dev, app, cont}) {
        EXPECT_EQ(skf.SKF_CloseHandle(wrong), kInvalid);
    }

    // Closing the device closes everything opened through it; values are never reused.
    ASSERT_EQ(skf.SKF_DisConnectDev(dev), SAR_OK);
    EXPECT_EQ(skf.SKF_DisConnectDev(dev), kInvalid);
    EXPECT_EQ(skf.SKF_EnumContainer(app, nullptr, &size), kInvalid);
    EXPECT_EQ(skf.SKF_GetContainerType(cont, &type), kInvalid);
    EXPECT_EQ(skf.SKF_CloseHandle(hash), kInvalid);
    DEVHANDLE again = Connect();
    EXPECT_GT(reinterpret_cast<std::uintptr_t>(again), reinterpret_cast<std::uintptr_t>(hash));

    // Closing the application closes its containers but not the device.
    HAPPLICATION app2 = OpenApp(again);
    HCONTAINER cont2 = nullptr;
    ASSERT_EQ(skf.SKF_OpenContainer(app2, Str("c"), &cont2), SAR_OK);
    ASSERT_EQ(skf.SKF_CloseApplication(app2), SAR_OK);
    EXPECT_EQ(skf.SKF_GetContainerType(cont2, &type), kInvalid);
    EXPECT_EQ(skf.SKF_EnumApplication(again, nullptr, &size), SAR_OK);
    EXPECT_EQ(skf.SKF_DisConnectDev(again), SAR_OK);
}

TEST_F(ApiTest, OpeningLadders) {
    DEVHANDLE dev = nullptr;
    EXPECT_EQ(skf.SKF_ConnectDev(nullptr, &dev), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ConnectDev(Str(kDev), nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ConnectDev(Str(""), &dev), static_cast<ULONG>(SAR_NAMELENERR));
    EXPECT_EQ(skf.SKF_ConnectDev(Str("nodev"), &dev), static_cast<ULONG>(SAR_DEVICE_REMOVED));
    EXPECT_EQ(dev, nullptr);
    dev = Connect();

    HAPPLICATION app = nullptr;
    EXPECT_EQ(skf.SKF_OpenApplication(dev, nullptr, &app), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_OpenApplication(dev, Str(kApp), nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_OpenApplication(dev, Str("noapp"), &app),
              static_cast<ULONG>(SAR_APPLICATION_NOT_EXISTS));
    app = OpenApp(dev);

    HCONTAINER cont = nullptr;
    const std::string tooLong(kMaxNameLen + 1, 'n');
    EXPECT_EQ(skf.SKF_CreateContainer(app, nullptr, &cont), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str("c"), nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str(tooLong), &cont), static_cast<ULONG>(SAR_NAMELENERR));
    EXPECT_EQ(skf.SKF_OpenContainer(app, Str("c"), &cont), static_cast<ULONG>(SAR_FILE_NOT_EXIST));
    cont = NewContainer(app, "c");
    EXPECT_EQ(skf.SKF_CreateContainer(app, Str("c"), &cont), static_cast<ULONG>(SAR_FILE_ALREADY_EXIST));

    ULONG type = 99;
    EXPECT_EQ(skf.SKF_GetContainerType(cont, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_GetContainerType(cont, &type), SAR_OK);
    EXPECT_EQ(type, 0u);

    // Deleting needs the user PIN; afterwards the open handle finds nothing.
    EXPECT_EQ(skf.SKF_DeleteContainer(app, Str("c")), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    Login(app);
    EXPECT_EQ(skf.SKF_DeleteContainer(app, Str("zz")), static_cast<ULONG>(SAR_FILE_NOT_EXIST));
    ASSERT_EQ(skf.SKF_DeleteContainer(app, Str("c")), SAR_OK);
    EXPECT_EQ(skf.SKF_GetContainerType(cont, &type), static_cast<ULONG>(SAR_FILE_NOT_EXIST));
    EXPECT_TRUE(store.ListContainers(kDev, kApp).empty());

    // Applications made through the library.
    HAPPLICATION made = nullptr;
    EXPECT_EQ(skf.SKF_CreateApplication(dev, Str(kApp), Str("so"), 3, Str("u"), 3, SECURE_USER_ACCOUNT, &made),
              static_cast<ULONG>(SAR_APPLICATION_EXISTS));
    EXPECT_EQ(skf.SKF_CreateApplication(dev, Str("a2"), Str("so"), 0, Str("u"), 3, SECURE_USER_ACCOUNT, &made),
              static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_CreateApplication(dev, Str("a2"), Str("so"), 3, Str("u"), 4, SECURE_USER_ACCOUNT, &made),
              SAR_OK);
    EXPECT_EQ(store.Read().GetApplication(kDev, "a2").userMaxRetries, 4u);
    ASSERT_EQ(skf.SKF_DeleteApplication(dev, Str("a2")), SAR_OK);
    EXPECT_EQ(skf.SKF_DeleteApplication(dev, Str("a2")), static_cast<ULONG>(SAR_APPLICATION_NOT_EXISTS));
    EXPECT_EQ(store.ListApplications(kDev), std::vector<std::string>{kApp});
    skf.SKF_DisConnectDev(dev);
}

TEST_F(ApiTest, DeviceInfoAndRandom) {
    DEVHANDLE dev = Connect();
    DEVINFO info;
    std::memset(&info, 0xAA, sizeof info);
    EXPECT_EQ(skf.SKF_GetDevInfo(dev, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_GetDevInfo(dev, &info), SAR_OK);
    EXPECT_EQ(std::string(info.Label, strnlen(info.Label, sizeof info.Label)), "Test token");
    EXPECT_EQ(std::string(info.SerialNumber, strnlen(info.SerialNumber, sizeof info.SerialNumber)),
              "SN-0001");
    EXPECT_TRUE(info.AlgAsymCap & SGD_SM2_1);
    EXPECT_EQ(info.Reserved[63], 0);

    BYTE a[32] = {};
    BYTE b[32] = {};
    EXPECT_EQ(skf.SKF_GenRandom(dev, nullptr, 32), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_GenRandom(dev, a, sizeof a), SAR_OK);
    ASSERT_EQ(skf.SKF_GenRandom(dev, b, sizeof b), SAR_OK);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    skf.SKF_DisConnectDev(dev);
}

TEST_F(ApiTest, PinRetriesFallLockAndPersist) {
    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    ULONG retry = 77;
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, nullptr, &retry), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_VerifyPIN(dev, USER_TYPE, Str(kPin), &retry), static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    EXPECT_EQ(skf.SKF_VerifyPIN(app, 7, Str(kPin), &retry), static_cast<ULONG>(SAR_USER_TYPE_INVALID));
    EXPECT_EQ(retry, 77u) << "refused calls write nothing";

    // A wrong PIN costs one retry each time, and the count is stored.
    for (ULONG left = kRetries - 1; left >= 2; --left) {
        EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str("000000"), &retry), static_cast<ULONG>(SAR_PIN_INCORRECT));
        EXPECT_EQ(retry, left);
        EXPECT_EQ(store.Read().GetApplication(kDev, kApp).userRetriesLeft, left);
    }
    // A correct PIN restores the count.
    ASSERT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), &retry), SAR_OK);
    EXPECT_EQ(retry, kRetries);
    ULONG max = 0, remain = 0;
    BOOL isDefault = FALSE;
    ASSERT_EQ(skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &isDefault), SAR_OK);
    EXPECT_EQ(max, kRetries);
    EXPECT_EQ(remain, kRetries);
    EXPECT_EQ(isDefault, TRUE);

    // Locking: the last wrong try locks, then even the correct PIN is refused,
    // also through a new handle (another process sees the same store).
    HCONTAINER cont = NewContainer(app, "c");
    ECCPUBLICKEYBLOB pub{};
    ASSERT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &pub), SAR_OK);
    for (ULONG i = 0; i + 1 < kRetries; ++i) {
        skf.SKF_VerifyPIN(app, USER_TYPE, Str("bad"), &retry);
    }
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str("bad"), &retry), static_cast<ULONG>(SAR_PIN_LOCKED));
    EXPECT_EQ(retry, 0u);
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), &retry), static_cast<ULONG>(SAR_PIN_LOCKED));
    HAPPLICATION other = OpenApp(dev);
    EXPECT_EQ(skf.SKF_VerifyPIN(other, USER_TYPE, Str(kPin), &retry), static_cast<ULONG>(SAR_PIN_LOCKED));
    BYTE digest[32] = {1};
    ECCSIGNATUREBLOB sig{};
    EXPECT_EQ(skf.SKF_ECCSignData(cont, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_PIN_LOCKED));
    ASSERT_EQ(skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &isDefault), SAR_OK);
    EXPECT_EQ(remain, 0u);
    skf.SKF_DisConnectDev(dev);
}

TEST_F(ApiTest, LoginBelongsToTheApplicationHandle) {
    Session s = Sm2Session();
    BYTE digest[32] = {1, 2, 3};
    ECCSIGNATUREBLOB sig{};
    ASSERT_EQ(skf.SKF_ECCSignData(s.cont, digest, sizeof digest, &sig), SAR_OK);

    // The same container through a second, unverified application handle.
    HAPPLICATION app2 = OpenApp(s.dev);
    HCONTAINER cont2 = nullptr;
    ASSERT_EQ(skf.SKF_OpenContainer(app2, Str("sm2"), &cont2), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCSignData(cont2, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    ECCPUBLICKEYBLOB pub{};
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont2, SGD_SM2_1, &pub), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));

    // A wrong PIN ends the login of the handle it was tried on.
    ULONG retry = 0;
    EXPECT_EQ(skf.SKF_VerifyPIN(s.app, USER_TYPE, Str("wrong"), &retry), static_cast<ULONG>(SAR_PIN_INCORRECT));
    EXPECT_EQ(skf.SKF_ECCSignData(s.cont, digest, sizeof digest, &sig), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(ApiTest, ChangePin) {
    DEVHANDLE dev = Connect();
    HAPPLICATION app = OpenApp(dev);
    ULONG retry = 0;
    EXPECT_EQ(skf.SKF_ChangePIN(app, USER_TYPE, Str(kPin), nullptr, &retry), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ChangePIN(app, USER_TYPE, Str(kPin), Str(std::string(kMaxPinLen + 1, '1')), &retry),
              static_cast<ULONG>(SAR_PIN_LEN_RANGE));
    EXPECT_EQ(skf.SKF_ChangePIN(app, USER_TYPE, Str("nope"), Str("654321"), &retry),
              static_cast<ULONG>(SAR_PIN_INCORRECT));
    EXPECT_EQ(retry, kRetries - 1);
    ASSERT_EQ(skf.SKF_ChangePIN(app, USER_TYPE, Str(kPin), Str("654321"), &retry), SAR_OK);
    EXPECT_EQ(retry, kRetries);
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str(kPin), &retry), static_cast<ULONG>(SAR_PIN_INCORRECT));
    EXPECT_EQ(skf.SKF_VerifyPIN(app, USER_TYPE, Str("654321"), &retry), SAR_OK);
    ULONG max = 0, remain = 0;
    BOOL isDefault = TRUE;
    ASSERT_EQ(skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &isDefault), SAR_OK);
    EXPECT_EQ(isDefault, FALSE);
    // The administrator PIN is separate, with its own counter.
    ASSERT_EQ(skf.SKF_GetPINInfo(app, ADMIN_TYPE, &max, &remain, &isDefault), SAR_OK);
    EXPECT_EQ(max, 3u);
    EXPECT_EQ(isDefault, TRUE);
    EXPECT_EQ(skf.SKF_VerifyPIN(app, ADMIN_TYPE, Str(kSoPin), &retry), SAR_OK);
    skf.SKF_DisConnectDev(dev);
}

TEST_F(ApiTest, CertificatesImportExport) {
    Session s = Sm2Session();
    const ossl::Pkey pub = StoredPublicKey("sm2", KeyUsage::Sign);
    ASSERT_NE(pub, nullptr);

    ULONG len = 0;
    EXPECT_EQ(skf.SKF_ExportCertificate(s.cont, TRUE, nullptr, &len), static_cast<ULONG>(SAR_CERTNOTFOUNTERR));
    BYTE junk[4] = {0x30, 0x02, 0x05, 0x00};
    EXPECT_EQ(skf.SKF_ImportCertificate(s.cont, TRUE, nullptr, 10), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ImportCertificate(s.cont, TRUE, junk, 0), static_cast<ULONG>(SAR_INDATALENERR));
    EXPECT_EQ(skf.SKF_ImportCertificate(s.cont, TRUE, junk, sizeof junk), static_cast<ULONG>(SAR_INDATAERR));

    // A certificate of another key is refused for the signing slot.
    ossl::Pkey stranger(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    Bytes foreign = MakeCertificate(stranger.get(), stranger.get());
    EXPECT_EQ(skf.SKF_ImportCertificate(s.cont, TRUE, foreign.data(), static_cast<ULONG>(foreign.size())),
              static_cast<ULONG>(SAR_INDATAERR));

    Bytes own = MakeCertificate(pub.get(), stranger.get());
    ASSERT_EQ(skf.SKF_ImportCertificate(s.cont, TRUE, own.data(), static_cast<ULONG>(own.size())), SAR_OK);
    ASSERT_EQ(skf.SKF_ExportCertificate(s.cont, TRUE, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, own.size());
    Bytes out(len);
    ULONG shortLen = len - 1;
    EXPECT_EQ(skf.SKF_ExportCertificate(s.cont, TRUE, out.data(), &shortLen), static_cast<ULONG>(SAR_BUFFER_TOO_SMALL));
    EXPECT_EQ(shortLen, len);
    ASSERT_EQ(skf.SKF_ExportCertificate(s.cont, TRUE, out.data(), &len), SAR_OK);
    EXPECT_EQ(out, own);
    // The encryption slot is separate.
    EXPECT_EQ(skf.SKF_ExportCertificate(s.cont, FALSE, nullptr, &len), static_cast<ULONG>(SAR_CERTNOTFOUNTERR));
    skf.SKF_DisConnectDev(s.dev);
}

}  // namespace
}  // namespace softskf::testing
