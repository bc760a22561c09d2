#pragma once
// The encrypted form of a GET's "str" parameter: {"rankey":R,"datab":...,"datac":...}.
// datab proves the page knows the shared key; datac carries the command.

#include <array>
#include <string>

class OpensslHelper {
public:
    // AES-ECB over whole 16-byte blocks; a trailing partial block is dropped
    // and no padding is removed. bits is 128, 192 or 256; other values give "".
    static std::string AesDecrypt(const std::string& data, const unsigned char* key, int bits);
    static std::string AesEncrypt(const std::string& data, const unsigned char* key, int bits);
    // Standard Base64 with "=" padding and no line breaks.
    static std::string Base64Encode(const std::string& bytes);
    // The empty text, or text the block decoder refuses, gives no bytes.
    static std::string Base64Decode(const std::string& text);
};

class CHttpRequestAuthenticaor {
public:
    static constexpr size_t kKeySize = 32;
    // Key K shared with every page (its ASCII bytes are the AES-256 key).
    static const char kKeyK[kKeySize + 1];
    // Mask M, XORed into R to make key C.
    static const std::array<unsigned char, kKeySize> kMaskM;

    ~CHttpRequestAuthenticaor();

    void InitAuthenticaor(const std::string& random, std::string datab, const std::string& datac);
    // 0: output holds the command; 1: R is empty; 2: R shorter than 32
    // characters, or the check block does not match. Output is empty on failure.
    int Decrypt(std::string& output);
    void ResetAuthenticaor();

private:
    std::string m_strRandom;
    std::string m_strDataB;
    std::string m_strEncryptedMsg;
    std::string m_aeskeyB;
    std::array<unsigned char, kKeySize> m_aeskeyC{};
};
