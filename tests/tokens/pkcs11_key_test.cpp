// Finding a certificate's key pair, signing with each mechanism, RSA
// encryption and decryption, all checked with OpenSSL.
#include "pkcs11_fixture.h"

namespace p11test {
namespace {

using KeyTest = TokenTest;

Owned<EVP_PKEY> KeyOfCert(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return Owned<EVP_PKEY>(x ? X509_get_pubkey(x.get()) : nullptr);
}

TEST_P(KeyTest, GetKeyFindsTheCertificatesOwnPairAmongSeveral) {
    Open();
    std::vector<KeyPair> pairs = {MakeRsa("a"), MakeRsa("b"), MakeRsa("c")};
    // Certificates made in a different order from the keys, so that neither
    // the first nor the last object examined is the answer by accident.
    for (int i : {1, 2, 0}) {
        std::unique_ptr<p11::Cert> cert = CertFor(pairs[i], "cert " + std::to_string(i));
        ASSERT_EQ(cert->GetKey(), CKR_OK) << i;
        ASSERT_NE(cert->m_key, nullptr);
        EXPECT_EQ(cert->m_key->m_hPublicKey, pairs[i].pub) << i;
        EXPECT_EQ(cert->m_key->m_hPrivateKey, pairs[i].priv) << i;
        EXPECT_EQ(cert->m_key->m_session, m_session);
        EXPECT_FALSE(cert->bisgm());
    }
}

// A certificate whose key pair is not (wholly) on the token must not be
// given some other pair: encrypting to it or signing with it would be wrong.
TEST_P(KeyTest, GetKeyReportsNoKeyWhenNothingMatches) {
    Open();
    Owned<EVP_PKEY> foreign(EVP_RSA_gen(1024));
    std::unique_ptr<p11::Cert> alone(new p11::Cert(PutCert(Issue(foreign.get(), "foreign"), "f"), m_session, &m_dll));
    // No private key on the token at all.
    EXPECT_EQ(alone->GetKey(), CKR_KEY_HANDLE_INVALID);
    // Other pairs present, none of them this certificate's.
    KeyPair other = MakeRsa("other");
    EXPECT_EQ(alone->GetKey(), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(alone->m_key, nullptr);
    std::string out = "unchanged";
    EXPECT_EQ(alone->Sign("data", out, CKM_SHA256), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(alone->Encrypt("data", out), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(out, "unchanged");
    // The private half present, the public half gone.
    std::unique_ptr<p11::Cert> half = CertFor(other, "half");
    ASSERT_EQ(F()->C_DestroyObject(S(), other.pub), CKR_OK);
    EXPECT_EQ(half->GetKey(), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(half->m_key, nullptr);
    // The public half present, the private half gone.
    KeyPair pubOnly = MakeRsa("public only");
    std::unique_ptr<p11::Cert> publicHalf = CertFor(pubOnly, "public only");
    ASSERT_EQ(F()->C_DestroyObject(S(), pubOnly.priv), CKR_OK);
    EXPECT_EQ(publicHalf->GetKey(), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(publicHalf->m_key, nullptr);
    // A certificate object that no longer exists: the module's status.
    p11::Cert gone(0xdead, m_session, &m_dll);
    EXPECT_EQ(gone.GetKey(), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_FALSE(gone.bisgm());
    EXPECT_EQ(gone.toDer(), "");
}

TEST_P(KeyTest, SignsWithTheMechanismOfEachDigest) {
    Open();
    MakeRsa("decoy");
    std::unique_ptr<p11::Cert> cert = CertFor(MakeRsa("signer"), "signer");
    Owned<EVP_PKEY> pub = KeyOfCert(cert->toDer());
    ASSERT_NE(pub, nullptr);
    const std::string msg = "the data to be signed, not a digest";
    const struct {
        int hashAlg;
        const EVP_MD* md;
    } cases[] = {
        {static_cast<int>(CKM_SHA256), EVP_sha256()},
        {static_cast<int>(CKM_SHA_1), EVP_sha1()},
        {static_cast<int>(CKM_MD5), EVP_md5()},
        {static_cast<int>(CKM_SHA512), EVP_sha1()},  // unknown selectors sign with SHA-1
        {12345, EVP_sha1()},
    };
    for (const auto& c : cases) {
        std::string sig;
        ASSERT_EQ(cert->Sign(msg, sig, c.hashAlg), CKR_OK) << c.hashAlg;
        EXPECT_TRUE(VerifyWith(pub.get(), c.md, sig, msg)) << c.hashAlg;
        EXPECT_FALSE(VerifyWith(pub.get(), c.md, sig, msg + "!")) << c.hashAlg;
    }
    // MD2 and the vendor SM2 mechanism reach the module, whose refusal is
    // passed on; nothing is written.
    for (int hashAlg : {static_cast<int>(CKM_MD2), 0}) {
        std::string sig = "unchanged";
        EXPECT_EQ(cert->Sign(msg, sig, hashAlg), CKR_MECHANISM_INVALID) << hashAlg;
        EXPECT_EQ(sig, "unchanged");
    }
}

TEST_P(KeyTest, KeyIsSearchedOnceForTwoSignatures) {
    Open();
    std::unique_ptr<p11::Cert> cert = CertFor(MakeRsa("signer"), "signer");
    Owned<EVP_PKEY> pub = KeyOfCert(cert->toDer());
    std::string first, second;
    ASSERT_EQ(cert->Sign("one", first, CKM_SHA256), CKR_OK);
    p11::Key* found = cert->m_key;
    ASSERT_NE(found, nullptr);
    // With the certificate object gone a second search could not even read
    // it: the second signature can only come from the kept key.
    ASSERT_EQ(F()->C_DestroyObject(S(), cert->m_handle), CKR_OK);
    ASSERT_EQ(cert->Sign("two", second, CKM_SHA256), CKR_OK);
    EXPECT_EQ(cert->m_key, found);
    EXPECT_TRUE(VerifyWith(pub.get(), EVP_sha256(), first, "one"));
    EXPECT_TRUE(VerifyWith(pub.get(), EVP_sha256(), second, "two"));
}

TEST_P(KeyTest, EncryptsForOpenSslAndDecryptsOnTheToken) {
    Open();
    MakeRsa("decoy");
    KeyPair k = MakeRsa("crypt", 1024, true);
    std::unique_ptr<p11::Cert> cert = CertFor(k, "crypt");
    Owned<EVP_PKEY> priv = ExportPrivate(k.priv);
    ASSERT_NE(priv, nullptr);

    const std::string plain("secret\0with a zero", 18);
    std::string cipher;
    ASSERT_EQ(cert->Encrypt(plain, cipher), CKR_OK);
    ASSERT_EQ(cipher.size(), 128u);

    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
    unsigned char out[256];
    size_t outlen = sizeof out;
    ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), out, &outlen, reinterpret_cast<const unsigned char*>(cipher.data()),
                               cipher.size()), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outlen), plain);

    std::string back;
    ASSERT_EQ(cert->Decrypt(cipher, back), CKR_OK);
    EXPECT_EQ(back, plain);

    // Module refusals pass through and write nothing: a plain text too long
    // for a 1024-bit key, and a cipher text of the wrong length.
    std::string untouched = "unchanged";
    const std::string tooLong(200, 'x'), shortCipher = cipher.substr(1);
    CK_MECHANISM m = {CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE buf[4096];
    CK_ULONG len = sizeof buf;
    ASSERT_EQ(F()->C_EncryptInit(S(), &m, k.pub), CKR_OK);
    CK_RV moduleSays = F()->C_Encrypt(S(), (CK_BYTE_PTR)tooLong.data(), tooLong.size(), buf, &len);
    ASSERT_NE(moduleSays, CKR_OK);
    EXPECT_EQ(cert->Encrypt(tooLong, untouched), moduleSays);
    len = sizeof buf;
    ASSERT_EQ(F()->C_DecryptInit(S(), &m, k.priv), CKR_OK);
    moduleSays = F()->C_Decrypt(S(), (CK_BYTE_PTR)shortCipher.data(), shortCipher.size(), buf, &len);
    ASSERT_NE(moduleSays, CKR_OK);
    EXPECT_EQ(cert->Decrypt(shortCipher, untouched), moduleSays);
    EXPECT_EQ(untouched, "unchanged");
}

TEST_P(KeyTest, Sm2CertificatesAreRefusedForEncryption) {
    Open();
    MakeRsa("rsa");
    Owned<EVP_PKEY> sm2(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_NE(sm2, nullptr);
    p11::Cert cert(PutCert(Issue(sm2.get(), "sm2"), "sm2"), m_session, &m_dll);
    EXPECT_TRUE(cert.bisgm());
    std::string out = "unchanged";
    EXPECT_EQ(cert.Encrypt("data", out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(cert.Decrypt(std::string(128, 'x'), out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(cert.m_key, nullptr);
}

TEST_P(KeyTest, KeyOperationsWithoutAModuleFail) {
    Open();
    p11::Key none(nullptr, m_session, 1, 2);
    std::string out = "unchanged";
    EXPECT_EQ(none.Sign("m", out, CKM_SHA256), CKR_FUNCTION_FAILED);
    EXPECT_EQ(none.Encrypt("m", out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(none.Decrypt("m", out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(none.GenKeyPair(2048), CKR_GENERAL_ERROR);
    EXPECT_EQ(none.Sign("m"), "");
    EXPECT_EQ(Owned<EVP_PKEY>(none.GetEvpKey()), nullptr);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(p11::Key::GetRsaEvpKey("", "\x01"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Route, KeyTest, ::testing::Values(Route::Direct, Route::Forward), RouteName);

}  // namespace
}  // namespace p11test
