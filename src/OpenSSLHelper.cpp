#include "OpenSSLHelper.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const EVP_CIPHER* AesEcb(int bits)
{
    switch (bits) {
    case 128: return EVP_aes_128_ecb();
    case 192: return EVP_aes_192_ecb();
    case 256: return EVP_aes_256_ecb();
    default: return nullptr;
    }
}

std::string AesEcb(const std::string& data, const unsigned char* key, int bits, bool encrypt)
{
    const EVP_CIPHER* cipher = AesEcb(bits);
    const size_t whole = data.size() / 16 * 16;
    if (!cipher || whole == 0) {
        return std::string();
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1) {
        return std::string();
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(whole, '\0');
    int outl = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &outl,
                         reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(whole)) != 1 ||
        static_cast<size_t>(outl) != whole) {
        return std::string();
    }
    return out;
}

void Wipe(std::string& s)
{
    if (!s.empty()) {
        OPENSSL_cleanse(&s[0], s.size());
    }
    s.clear();
}

}  // namespace

std::string OpensslHelper::AesDecrypt(const std::string& data, const unsigned char* key, int bits)
{
    return AesEcb(data, key, bits, false);
}

std::string OpensslHelper::AesEncrypt(const std::string& data, const unsigned char* key, int bits)
{
    return AesEcb(data, key, bits, true);
}

std::string OpensslHelper::Base64Encode(const std::string& bytes)
{
    if (bytes.empty()) {
        return std::string();
    }
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string OpensslHelper::Base64Decode(const std::string& text)
{
    if (text.empty()) {
        return std::string();
    }
    std::string out(text.size() / 4 * 3 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) {
        return std::string();
    }
    // The block decoder counts padding as data: drop one byte per trailing "=".
    size_t len = static_cast<size_t>(n);
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && len > 0; ++it) {
        --len;
    }
    out.resize(len);
    return out;
}

const char CHttpRequestAuthenticaor::kKeyK[kKeySize + 1] = "E3A7190B2D5F4ac6B83C7D1E60F2A94B";

const std::array<unsigned char, CHttpRequestAuthenticaor::kKeySize> CHttpRequestAuthenticaor::kMaskM = {
    0xad, 0x27, 0x8c, 0x02, 0x49, 0x77, 0xa8, 0xd0, 0x5e, 0x08, 0x1d, 0xa2, 0x62, 0xf0, 0xd9, 0x6c,
    0xa1, 0x75, 0xa9, 0x5f, 0x81, 0x82, 0xfa, 0xaf, 0x1f, 0x86, 0x0e, 0xbc, 0x38, 0xfa, 0x54, 0x55,
};

CHttpRequestAuthenticaor::~CHttpRequestAuthenticaor()
{
    ResetAuthenticaor();
}

void CHttpRequestAuthenticaor::InitAuthenticaor(const std::string& random, std::string datab, const std::string& datac)
{
    m_strRandom = random;
    m_strDataB = OpensslHelper::Base64Decode(datab);
    m_strEncryptedMsg = OpensslHelper::Base64Decode(datac);

    // Key C = R xor M; an R shorter than the key is refused by Decrypt, and
    // no byte beyond R is read here.
    m_aeskeyC.fill(0);
    const size_t n = std::min(random.size(), kKeySize);
    for (size_t i = 0; i < n; ++i) {
        m_aeskeyC[i] = static_cast<unsigned char>(random[i]) ^ kMaskM[i];
    }

    // Key B = AES-256-ECB-decrypt(R, K), of which the first 32 bytes count.
    std::string keyB = OpensslHelper::AesDecrypt(random, reinterpret_cast<const unsigned char*>(kKeyK), 256);
    if (keyB.size() > kKeySize) {
        keyB.resize(kKeySize);
    }
    m_aeskeyB = OpensslHelper::Base64Encode(keyB);
    Wipe(keyB);
}

int CHttpRequestAuthenticaor::Decrypt(std::string& output)
{
    output.clear();
    if (m_strRandom.empty()) {
        return 1;
    }
    if (m_strRandom.size() < kKeySize || m_aeskeyB.size() < kKeySize) {
        return 2;
    }
    // The check block is keyed with the first 32 characters of Base64(key B).
    std::string check =
        OpensslHelper::AesDecrypt(m_strDataB, reinterpret_cast<const unsigned char*>(m_aeskeyB.data()), 256);
    const bool match = check.size() == m_strRandom.size() &&
                       CRYPTO_memcmp(check.data(), m_strRandom.data(), check.size()) == 0;
    Wipe(check);
    if (!match) {
        return 2;
    }
    output = OpensslHelper::AesDecrypt(m_strEncryptedMsg, m_aeskeyC.data(), 256);
    return 0;
}

void CHttpRequestAuthenticaor::ResetAuthenticaor()
{
    Wipe(m_strRandom);
    Wipe(m_strDataB);
    Wipe(m_strEncryptedMsg);
    Wipe(m_aeskeyB);
    OPENSSL_cleanse(m_aeskeyC.data(), m_aeskeyC.size());
}
