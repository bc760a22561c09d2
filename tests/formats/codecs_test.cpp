// Base64, PEM framing and hexadecimal. The crypto library's own Base64 block
// encoder and PEM writer serve as independent references where they apply.
#include "core/base64.h"
#include "core/codec.h"
#include "core/hexcode.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

std::string allByteValues()
{
    std::string s;
    for (int i = 0; i < 256; ++i) {
        s.push_back(static_cast<char>(i));
    }
    return s;
}

// EVP_EncodeBlock writes unbroken Base64 with padding.
std::string libraryBase64(const std::string& in)
{
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// PEM_write_bio ends the END line with a line feed; ours does not.
std::string libraryPem(const std::string& data, const std::string& tag)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || PEM_write_bio(bio.get(), tag.c_str(), "", reinterpret_cast<const unsigned char*>(data.data()),
                              static_cast<long>(data.size())) <= 0) {
        return "write failed";
    }
    char* p = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &p);
    return std::string(p, static_cast<size_t>(n));
}

struct Base64Case {
    std::string bytes;
    std::string text;
};

// "a", "ab", "abc" cover the three group lengths; the rest are the RFC 4648
// section 10 vectors and bytes that use the top and bottom of the alphabet.
const std::vector<Base64Case> kBase64Cases = {
    {"", ""},
    {"a", "YQ=="},
    {"ab", "YWI="},
    {"abc", "YWJj"},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\x00", 1), "AA=="},
    {std::string("\x00\x00\x00", 3), "AAAA"},
    {"\xFF\xFF\xFF", "////"},
    {"\xFB\xEF\xBE", "++++"},
    {"\x03\xE0", "A+A="},
};

TEST(Base64, EncodesAndDecodesKnownVectors)
{
    for (const auto& c : kBase64Cases) {
        SCOPED_TRACE("text " + c.text);
        EXPECT_EQ(Base64::encode64(c.bytes), c.text);
        EXPECT_EQ(ICodec::encode(c.bytes), c.text);
        EXPECT_EQ(Base64::decode64(c.text), c.bytes);
    }
}

TEST(Base64, MatchesLibraryEncoderAndRoundTripsEveryLength)
{
    const std::string all = allByteValues();
    for (size_t n = 0; n <= all.size(); ++n) {
        SCOPED_TRACE(n);
        const std::string in = all.substr(all.size() - n);  // high bytes first, so short inputs are not all zero
        const std::string text = Base64::encode64(in);
        ASSERT_EQ(text, libraryBase64(in));
        ASSERT_EQ(Base64::decode64(text), in);
    }
}

TEST(Base64, LongInputHasNoLineBreaksAndRoundTrips)
{
    const std::string in = randomBytes(3 * 1024 + 1, 7);
    const std::string text = Base64::encode64(in);
    EXPECT_EQ(text.size(), 4 * ((in.size() + 2) / 3));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(text, libraryBase64(in));
    EXPECT_EQ(Base64::decode64(text), in);
}

struct DecodeCase {
    const char* why;
    std::string text;
    std::string bytes;
};

TEST(Base64, DecodesIrregularText)
{
    const std::vector<DecodeCase> cases = {
        // "=" ends the data wherever it stands.
        {"= third, more groups follow", "YQ==YWJj", "a"},
        {"= fourth, more groups follow", "YWI=YWJj", "ab"},
        {"single = in third position", "YQ=", "a"},
        {"= at the start", "=YWJj", ""},
        {"= first of a later group", "YWJj=WJj", "abc"},
        {"= second of a later group", "YWJjZ=Jj", "abc"},
        // Characters outside the alphabet are skipped.
        {"line feeds between groups", "YWJj\nZGVm\n", "abcdef"},
        {"line break inside a group", "YW\r\nJj", "abc"},
        {"blanks and tabs", " Y W\tJ j ", "abc"},
        {"other punctuation", "Y*W-J_j", "abc"},
        {"high bytes", "\xC3YWJj\xFF", "abc"},
        {"only outside characters", "\r\n\t -_*", ""},
        {"embedded zero byte", std::string("YW\0Jj", 5), "abc"},
        // Tails that are not a whole group.
        {"one character", "Y", ""},
        {"one character after a group", "YWJjZ", "abc"},
        {"two characters after a group", "YWJjZA", "abcd"},
        {"three characters after a group", "YWJjZGU", "abcde"},
        {"lone character after a break", "YWJj\nZ", "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(Base64::decode64(c.text), c.bytes);
    }
}

TEST(Base64, DecodesTextWrappedIntoLines)
{
    const std::string in = randomBytes(200, 11);
    std::string wrapped = libraryPem(in, "X");
    // The body between the BEGIN and END lines, line breaks included.
    const size_t begin = wrapped.find('\n') + 1;
    const size_t end = wrapped.find("-----END");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(Base64::decode64(wrapped.substr(begin, end - begin)), in);
}

TEST(Pem, FramesBodyInLinesOf64)
{
    const std::string tag = "CERTIFICATE REQUEST";
    const std::string begin = "-----BEGIN CERTIFICATE REQUEST-----\n";
    const std::string end = "-----END CERTIFICATE REQUEST-----";

    EXPECT_EQ(ICodec::pemencode("", tag), begin + end);

    const std::string one = randomBytes(48, 1);  // exactly 64 characters
    EXPECT_EQ(ICodec::pemencode(one, tag), begin + Base64::encode64(one) + "\n" + end);

    const std::string two = randomBytes(49, 2);  // 64 + 4 characters
    const std::string body = Base64::encode64(two);
    ASSERT_EQ(body.size(), 68u);
    EXPECT_EQ(ICodec::pemencode(two, tag), begin + body.substr(0, 64) + "\n" + body.substr(64) + "\n" + end);
}

TEST(Pem, MatchesLibraryWriterExceptFinalLineFeed)
{
    for (size_t n : {1u, 2u, 3u, 47u, 48u, 49u, 95u, 96u, 97u, 1000u}) {
        SCOPED_TRACE(n);
        const std::string data = randomBytes(n, static_cast<unsigned>(n));
        const std::string pem = ICodec::pemencode(data, "TEST");
        EXPECT_EQ(pem + "\n", libraryPem(data, "TEST"));
        EXPECT_NE(pem.back(), '\n');
    }
}

struct HexCase {
    std::string bytes;
    std::string upper;
    std::string lower;
};

TEST(HexCode, EncodesBothCasesAndDecodesEither)
{
    const std::vector<HexCase> cases = {
        {"", "", ""},
        {std::string("\x00\xAB", 2), "00AB", "00ab"},
        {"\x01\x23\x45\x67\x89\xAB\xCD\xEF", "0123456789ABCDEF", "0123456789abcdef"},
        {"\xFF\x10", "FF10", "ff10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.upper);
        EXPECT_EQ(HexCode::encode(c.bytes, true), c.upper);
        EXPECT_EQ(HexCode::encode(c.bytes, false), c.lower);
        EXPECT_EQ(HexCode::decode(c.upper), c.bytes);
        EXPECT_EQ(HexCode::decode(c.lower), c.bytes);
    }
    const std::string all = allByteValues();
    EXPECT_EQ(HexCode::decode(HexCode::encode(all, true)), all);
    EXPECT_EQ(HexCode::decode(HexCode::encode(all, false)), all);
}

TEST(HexCode, DecodesIrregularText)
{
    const std::vector<DecodeCase> cases = {
        {"trailing single digit ignored", "00ABf", std::string("\x00\xAB", 2)},
        {"single digit only", "f", ""},
        {"mixed case pair", "aB", "\xAB"},
        // A non-digit is folded in by its own code: 'z' is 0x7A, so
        // (0x7A << 4 | 0x7A) & 0xFF = 0xFA; 'g' is 0x67: (0x0 << 4 | 0x67).
        {"non-digits", "zz", "\xFA"},
        {"non-digit second", "0g", "\x67"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(HexCode::decode(c.text), c.bytes);
    }
}

TEST(HexCode, Hex2valOfDigitsAndOtherCharacters)
{
    const struct {
        char ch;
        int value;
    } cases[] = {
        {'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
        // Neighbours of the digit ranges are not digits.
        {'/', '/'}, {':', ':'}, {'@', '@'}, {'G', 'G'}, {'`', '`'}, {'g', 'g'},
        {' ', 32}, {'\0', 0}, {'\xFF', 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c.ch)));
        EXPECT_EQ(HexCode::hex2val(c.ch), c.value);
    }
}

}  // namespace
