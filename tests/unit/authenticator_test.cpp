#include "OpenSSLHelper.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace {

// The page's side of the encrypted form, written straight against EVP so the
// test does not share code with what it checks.
std::string EcbEncrypt(const std::string& plain, const unsigned char* key)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(plain.size(), '\0');
    int n = 0;
    EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                      reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    return out;
}

std::string EcbDecrypt(const std::string& cipher, const unsigned char* key)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(cipher.size(), '\0');
    int n = 0;
    EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &n,
                      reinterpret_cast<const unsigned char*>(cipher.data()), static_cast<int>(cipher.size()));
    return out;
}

std::string B64(const std::string& bytes)
{
    std::string out(bytes.size() * 2 + 4, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

struct Form {
    std::string rankey, datab, datac;
};

Form BuildForm(const std::string& r, std::string command, const unsigned char* keyK)
{
    const std::string keyB = EcbDecrypt(r.substr(0, 32), keyK);
    const std::string keyBText = B64(keyB);
    unsigned char keyC[32];
    for (int i = 0; i < 32; ++i) {
        keyC[i] = static_cast<unsigned char>(r[static_cast<size_t>(i)]) ^ CHttpRequestAuthenticaor::kMaskM[static_cast<size_t>(i)];
    }
    command.resize((command.size() + 15) / 16 * 16, '\0');
    return {r, B64(EcbEncrypt(r, reinterpret_cast<const unsigned char*>(keyBText.data()))), B64(EcbEncrypt(command, keyC))};
}

const unsigned char* KeyK()
{
    return reinterpret_cast<const unsigned char*>(CHttpRequestAuthenticaor::kKeyK);
}

const std::string kR = "0123456789abcdefGHIJKLMNOPQRSTUV";

int Decrypt(const Form& f, std::string& out)
{
    CHttpRequestAuthenticaor auth;
    auth.InitAuthenticaor(f.rankey, f.datab, f.datac);
    const int rc = auth.Decrypt(out);
    auth.ResetAuthenticaor();
    return rc;
}

TEST(Authenticator, DecryptsAFormBuiltLikeThePage)
{
    const std::string cmd = "{\"interfacetype\":1,\"id\":\"x\"}";
    std::string out;
    ASSERT_EQ(Decrypt(BuildForm(kR, cmd, KeyK()), out), 0);
    // Zero padding stays: the JSON reader ignores what follows the document.
    std::string padded = cmd;
    padded.resize(32, '\0');
    EXPECT_EQ(out, padded);
}

TEST(Authenticator, FormFromThePageClient)
{
    // Made by clients/js (encryptCommand with rankey "abcdefghijklmnopqrstuvwxyz012345")
    // for the command {"interfacetype":1,"id":"fixture"}.
    const Form f = {"abcdefghijklmnopqrstuvwxyz012345", "qADKHg7/jGOQnm7PqsOKyDYbKbjm+D6socggroP5Cy0=", "ctX6y6VF/Kwj9SEuazaSNjb5l7l8dUBaf5XXlAfLtU1uoUaVU+dic8jO0NVSV/6v"};
    std::string out;
    ASSERT_EQ(Decrypt(f, out), 0);
    EXPECT_EQ(std::string(out.c_str()), "{\"interfacetype\":1,\"id\":\"fixture\"}");
}

TEST(Authenticator, Failures)
{
    std::string out = "stale";
    // A wrong key B (here: a check block made under another shared key K).
    const unsigned char otherK[33] = "F3A7190B2D5F4ac6B83C7D1E60F2A94B";
    EXPECT_EQ(Decrypt(BuildForm(kR, "{}", otherK), out), 2);
    EXPECT_EQ(out, "");

    EXPECT_EQ(Decrypt({"", "", ""}, out), 1);

    Form good = BuildForm(kR, "{}", KeyK());
    // A "+" that arrived as a space breaks the Base64 of the check block.
    Form spaced = good;
    const size_t plus = spaced.datab.find_first_of("+/");
    spaced.datab[plus == std::string::npos ? 3 : plus] = ' ';
    EXPECT_EQ(Decrypt(spaced, out), 2);

    Form tampered = good;
    tampered.datab[0] = tampered.datab[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ(Decrypt(tampered, out), 2);

    // R shorter than the key: refused without reading past R.
    EXPECT_EQ(Decrypt({"0123456789abcdef", good.datab, good.datac}, out), 2);
    // R longer than 32 whose length is not a block multiple cannot match its check block.
    EXPECT_EQ(Decrypt({kR + "x", good.datab, good.datac}, out), 2);
    EXPECT_EQ(out, "");
}

TEST(OpensslHelper, AesAndBase64Edges)
{
    const std::string twenty(20, 'a');
    EXPECT_EQ(OpensslHelper::AesDecrypt(twenty, KeyK(), 256).size(), 16u);
    EXPECT_EQ(OpensslHelper::AesDecrypt("short", KeyK(), 256), "");
    EXPECT_EQ(OpensslHelper::AesDecrypt(twenty, KeyK(), 100), "");
    EXPECT_EQ(OpensslHelper::AesDecrypt(EcbEncrypt(std::string(16, 'z'), KeyK()), KeyK(), 256), std::string(16, 'z'));

    EXPECT_EQ(OpensslHelper::Base64Decode("QUJD"), "ABC");
    EXPECT_EQ(OpensslHelper::Base64Decode("QUI="), "AB");
    EXPECT_EQ(OpensslHelper::Base64Decode("QQ=="), "A");
    EXPECT_EQ(OpensslHelper::Base64Decode(""), "");
    EXPECT_EQ(OpensslHelper::Base64Decode("QUJ"), "");
    EXPECT_EQ(OpensslHelper::Base64Decode("QU D"), "");
    EXPECT_EQ(OpensslHelper::Base64Decode("===="), "");
    EXPECT_EQ(OpensslHelper::Base64Encode(""), "");
    EXPECT_EQ(OpensslHelper::Base64Encode("AB"), "QUI=");
    const std::string bin("\x00\xff\x10\x80", 4);
    EXPECT_EQ(OpensslHelper::Base64Decode(OpensslHelper::Base64Encode(bin)), bin);
}

}  // namespace
