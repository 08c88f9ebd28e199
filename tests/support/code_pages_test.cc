#include "support/code_pages.h"

#include <gtest/gtest.h>

#include <string>

#include "support/exceptions.h"

namespace hv {
namespace {

TEST(CodePagesTest, EmptyInputGivesEmptyResult) {
  EXPECT_EQ(AnsiToOem(""), "");
  EXPECT_EQ(CodePageToUtf8(CodePage::kAnsi, ""), "");
  EXPECT_EQ(CodePageToUtf8(CodePage::kOem, ""), "");
  EXPECT_EQ(CodePageToUtf8(CodePage::kUtf8, ""), "");
  EXPECT_EQ(Utf8ToCodePage(CodePage::kAnsi, ""), "");
  EXPECT_EQ(WideToUtf8(u""), "");
  EXPECT_EQ(Utf8ToWide(""), u"");
}

TEST(CodePagesTest, AnsiToOemKeepsAsciiAndMapsTheRest) {
  const std::string ascii = std::string("\x00\x01\x1F", 3) + " abc XYZ ~\x7F";
  EXPECT_EQ(AnsiToOem(ascii), ascii);
  // e-acute, u-umlaut, pound sign, non-breaking space are in both pages.
  EXPECT_EQ(AnsiToOem("\xE9\xFC\xA3\xA0"), "\x82\x81\x9C\xFF");
  // The euro sign, S-caron and the undefined 81 have no CP437 byte.
  EXPECT_EQ(AnsiToOem("\x80\x8A\x81"), "???");
}

TEST(CodePagesTest, AnsiCharacters) {
  EXPECT_EQ(AnsiCharToWideChar(0x41), u'A');
  EXPECT_EQ(AnsiCharToWideChar(0x80), u'\u20AC');
  EXPECT_EQ(AnsiCharToWideChar(0x9F), u'\u0178');
  EXPECT_EQ(AnsiCharToWideChar(0xE9), u'\u00E9');
  // The five undefined bytes stand for the C1 control of the same number.
  for (const uint8_t byte : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
    EXPECT_EQ(AnsiCharToWideChar(byte), static_cast<char16_t>(byte));
  }
}

TEST(CodePagesTest, OemCharacters) {
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0x01), u'\u0001');
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0x7F), u'\u007F');
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0x80), u'\u00C7');
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0xB3), u'\u2502');
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0xE1), u'\u00DF');
  EXPECT_EQ(CodePageCharToWide(CodePage::kOem, 0xFF), u'\u00A0');
}

TEST(CodePagesTest, EightBitToUtf8) {
  EXPECT_EQ(AnsiToUtf8("a\x80\xE9"), "a\u20AC\u00E9");
  EXPECT_EQ(CodePageToUtf8(CodePage::kOem, "\x82\xB3"), "\u00E9\u2502");
  // Every byte of both pages decodes and comes back as itself.
  for (const CodePage page : {CodePage::kAnsi, CodePage::kOem}) {
    for (int byte = 0; byte < 256; ++byte) {
      const std::string one(1, static_cast<char>(byte));
      EXPECT_EQ(Utf8ToCodePage(page, CodePageToUtf8(page, one)), one)
          << static_cast<int>(page) << " " << byte;
    }
  }
}

TEST(CodePagesTest, Utf8ToCodePageReplacesMissingCharacters) {
  EXPECT_EQ(Utf8ToCodePage(CodePage::kAnsi, "\u20AC \u00E9 \u2502 \u4E00"), "\x80 \xE9 ? ?");
  EXPECT_EQ(Utf8ToCodePage(CodePage::kOem, "\u20AC \u00E9 \u2502"), "? \x82 \xB3");
  // A character outside the BMP is one character: one replacement.
  EXPECT_EQ(Utf8ToCodePage(CodePage::kAnsi, "a\U0001F600b"), "a?b");
  EXPECT_EQ(Utf8ToCodePage(CodePage::kUtf8, "a\U0001F600b"), "a\U0001F600b");
}

TEST(CodePagesTest, InvalidUtf8IsAConversionFailure) {
  for (const std::string bad : {"\xC3", "\xC3\x41", "\x80", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    try {
      Utf8ToCodePage(CodePage::kAnsi, bad);
      FAIL() << "no exception";
    } catch (const EStringError& e) {
      EXPECT_STREQ(e.what(), "Conversion failed.");
    }
    EXPECT_THROW(Utf8ToWide(bad), EStringError);
  }
}

TEST(CodePagesTest, Utf8CodePageToUtf8ReplacesInvalidSequences) {
  EXPECT_EQ(CodePageToUtf8(CodePage::kUtf8, "a\u00E9\U0001F600"), "a\u00E9\U0001F600");
  EXPECT_EQ(CodePageToUtf8(CodePage::kUtf8, "a\xC3" "A"), "a\uFFFDA");
  EXPECT_EQ(CodePageToUtf8(CodePage::kUtf8, "\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(CodePageToUtf8(CodePage::kUtf8, "\xE2\x82"), "\uFFFD\uFFFD");
}

TEST(CodePagesTest, WideToUtf8) {
  EXPECT_EQ(WideToUtf8(u"abc"), "abc");
  // Three CJK ideographs need nine bytes: no room limit cuts them.
  EXPECT_EQ(WideToUtf8(u"\u4E00\u4E01\u9FFF"), "\u4E00\u4E01\u9FFF");
  EXPECT_EQ(WideToUtf8(u"\u4E00\u4E01\u9FFFabc").size(), 12u);
  EXPECT_EQ(WideToUtf8(u"x\U0001F600y"), "x\xF0\x9F\x98\x80y");
  // Surrogates that are not part of a pair.
  EXPECT_EQ(WideToUtf8(std::u16string{u'a', char16_t{0xD800}, u'b'}), "a\uFFFDb");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t{0xDC00}, char16_t{0xD800}}), "\uFFFD\uFFFD");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t{0xD83D}}), "\uFFFD");
}

TEST(CodePagesTest, Utf8ToWide) {
  EXPECT_EQ(Utf8ToWide("abc"), u"abc");
  const std::u16string wide = Utf8ToWide("\u00E9\u20AC\U0001F600\U0010FFFF");
  EXPECT_EQ(wide, (std::u16string{0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
  EXPECT_EQ(WideToUtf8(wide), "\u00E9\u20AC\U0001F600\U0010FFFF");
}

}  // namespace
}  // namespace hv
