#include "core/CodePage.h"
#include "core/codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class CodePageTest : public ::testing::Test {
protected:
    void TearDown() override { CodePage::Set(65001); }
};

struct TranslateCase {
    int codePage;
    std::string in;
    std::string out;
};

TEST_F(CodePageTest, Translations)
{
    std::string manyHan;
    for (int i = 0; i < 3000; ++i) {
        manyHan += "\xE4\xB8\xAD";  // 中
    }
    std::string fitsHan;
    for (int i = 0; i < 2047; ++i) {
        fitsHan += "\xE4\xB8\xAD";
    }
    std::string fitsGb;
    for (int i = 0; i < 2047; ++i) {
        fitsGb += "\xD6\xD0";
    }
    const TranslateCase cases[] = {
        {65001, "abc", "abc"},
        {963, "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},  // 中文
        {963, "abc", "abc"},
        {963, manyHan, ""},                  // 6,000 bytes of GB2312 do not fit
        {963, fitsHan, fitsGb},              // 4,094 bytes do
        {963, "\xF0\x9F\x98\x80", ""},       // not in GB2312
        {963, "\xFF", ""},                   // not UTF-8
        {963, "", ""},
        {936, "\xE4\xB8\xAD", "\xE4\xB8\xAD"},
        {-1, "ab", std::string("a\0b\0", 4)},
        {0, "\xE4\xB8\xAD", std::string("\x2D\x4E", 2)},
        {-1, "\xF0\x9F\x98\x80", std::string("\x00\xF6", 2)},  // U+1F600 keeps its low 16 bits
        {-1, "a\xFF", ""},                                      // not UTF-8: empty
        {-1, "\xC0\x80", ""},                                   // overlong
        {-1, "\xED\xA0\x80", ""},                               // surrogate
        {-1, "\xE4\xB8", ""},                                   // truncated
    };
    for (const auto& c : cases) {
        CodePage::Set(c.codePage);
        EXPECT_EQ(CodePage::GetTranslate(c.in), c.out) << c.codePage << " " << c.in.size();
    }
}

TEST_F(CodePageTest, IconvHelpers)
{
    char out[16];
    EXPECT_EQ(u2g("\xE4\xB8\xAD", 3, out, sizeof out), 2);
    EXPECT_EQ(std::string(out, 2), "\xD6\xD0");
    EXPECT_EQ(g2u("\xD6\xD0", 2, out, sizeof out), 3);
    EXPECT_EQ(std::string(out, 3), "\xE4\xB8\xAD");
    EXPECT_EQ(code_convert("utf-8", "no-such-charset", "a", 1, out, sizeof out), -1);
    EXPECT_EQ(u2g("abcdef", 6, out, 3), -1);  // output too small
}

TEST(Codec, Utf8Decoding)
{
    std::wstring w;
    ASSERT_TRUE(ICodec::utf82unicode("a\xC3\xA9\xE4\xB8\xAD\xF4\x8F\xBF\xBF", w));
    EXPECT_EQ(w, (std::wstring{L'a', 0xE9, 0x4E2D, 0x10FFFF}));
    EXPECT_FALSE(ICodec::utf82unicode("\xF4\x90\x80\x80", w));  // above U+10FFFF
    EXPECT_TRUE(w.empty());
    EXPECT_FALSE(ICodec::utf82unicode("\x80", w));
}

}  // namespace
