#include "support/case_fold.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/utf8.h"

namespace hv {
namespace {

TEST(SimpleCaseFold, AsciiLettersOnly) {
  for (char32_t c = 0; c < 0x80; ++c) {
    const char32_t expected = (c >= U'A' && c <= U'Z') ? c + 32 : c;
    EXPECT_EQ(SimpleCaseFold(c), expected) << static_cast<unsigned>(c);
  }
}

TEST(SimpleCaseFold, LatinAndGreek) {
  EXPECT_EQ(SimpleCaseFold(U'\u00C9'), U'\u00E9');  // É
  EXPECT_EQ(SimpleCaseFold(U'\u00E9'), U'\u00E9');
  EXPECT_EQ(SimpleCaseFold(U'\u00B5'), U'\u03BC');  // micro sign
  EXPECT_EQ(SimpleCaseFold(U'\u017F'), U's');       // long s folds into ASCII
  EXPECT_EQ(SimpleCaseFold(U'\u00D7'), U'\u00D7');  // multiplication sign: no case
  EXPECT_EQ(SimpleCaseFold(U'\u0100'), U'\u0101');
  EXPECT_EQ(SimpleCaseFold(U'\u0101'), U'\u0101');
  EXPECT_EQ(SimpleCaseFold(U'\u03A3'), U'\u03C3');  // Σ
  EXPECT_EQ(SimpleCaseFold(U'\u03C2'), U'\u03C3');  // final ς
  EXPECT_EQ(SimpleCaseFold(U'\u03C3'), U'\u03C3');
}

TEST(SimpleCaseFold, OnlySimpleMappingsApply) {
  EXPECT_EQ(SimpleCaseFold(U'\u00DF'), U'\u00DF');  // ß has only a full folding
  EXPECT_EQ(SimpleCaseFold(U'\u1E9E'), U'\u00DF');  // capital sharp s
  EXPECT_EQ(SimpleCaseFold(U'\u0130'), U'\u0130');  // İ: Turkic-only mapping
  EXPECT_EQ(SimpleCaseFold(U'\u0131'), U'\u0131');
  EXPECT_EQ(SimpleCaseFold(U'\u212A'), U'k');       // Kelvin sign
  EXPECT_EQ(SimpleCaseFold(U'\u2126'), U'\u03C9');  // Ohm sign
  EXPECT_EQ(SimpleCaseFold(U'\u1F88'), U'\u1F80');  // title-case Greek with iota
}

TEST(SimpleCaseFold, OtherScriptsAndPlanes) {
  EXPECT_EQ(SimpleCaseFold(U'\u0410'), U'\u0430');  // Cyrillic А
  EXPECT_EQ(SimpleCaseFold(U'\u13F8'), U'\u13F0');  // Cherokee folds to upper case
  EXPECT_EQ(SimpleCaseFold(U'\uAB70'), U'\u13A0');
  EXPECT_EQ(SimpleCaseFold(U'\uFF21'), U'\uFF41');  // fullwidth A
  EXPECT_EQ(SimpleCaseFold(U'\U00010400'), U'\U00010428');  // Deseret
  EXPECT_EQ(SimpleCaseFold(U'\U0001E900'), U'\U0001E922');  // Adlam
  EXPECT_EQ(SimpleCaseFold(U'\U0001E921'), U'\U0001E943');
  EXPECT_EQ(SimpleCaseFold(U'\U0001E922'), U'\U0001E922');
  EXPECT_EQ(SimpleCaseFold(U'\U0001F600'), U'\U0001F600');
  EXPECT_EQ(SimpleCaseFold(U'\U0010FFFF'), U'\U0010FFFF');
  EXPECT_EQ(SimpleCaseFold(0x110000), 0x110000u);
}

TEST(SimpleCaseFold, FoldingIsIdempotentEverywhere) {
  int folded = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const char32_t f = SimpleCaseFold(c);
    ASSERT_LE(f, 0x10FFFFu);
    ASSERT_EQ(SimpleCaseFold(f), f) << std::hex << static_cast<unsigned>(c);
    if (f != c) ++folded;
  }
  // Unicode 14 folds 1,400-odd code points; a broken table folds far fewer or
  // far more.
  EXPECT_GT(folded, 1300);
  EXPECT_LT(folded, 1600);
}

std::string Utf8(char32_t c) {
  std::string s;
  AppendUtf8(s, c);
  return s;
}

TEST(Utf8Decode, DecodesEachLengthAndAdvances) {
  const std::string s = "a\u00E9\u20AC\U0001F600z";
  std::size_t pos = 0;
  EXPECT_EQ(DecodeUtf8(s, pos), U'a');
  EXPECT_EQ(pos, 1u);
  EXPECT_EQ(DecodeUtf8(s, pos), U'\u00E9');
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(DecodeUtf8(s, pos), U'\u20AC');
  EXPECT_EQ(pos, 6u);
  EXPECT_EQ(DecodeUtf8(s, pos), U'\U0001F600');
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(DecodeUtf8(s, pos), U'z');
  EXPECT_EQ(pos, s.size());
}

TEST(Utf8Decode, EveryScalarValueRoundTrips) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = Utf8(c);
    ASSERT_TRUE(IsValidUtf8(s)) << std::hex << static_cast<unsigned>(c);
    std::size_t pos = 0;
    ASSERT_EQ(DecodeUtf8(s, pos), c);
    ASSERT_EQ(pos, s.size());
    ASSERT_EQ(Utf16Length(s), c > 0xFFFF ? 2u : 1u);
  }
}

TEST(Utf8Decode, BrokenSequencesDecodeOneByteAtATime) {
  // Cut-off sequences at the end of the text must not be read past.
  for (const std::string_view s : {std::string_view("\xE2\x82"), std::string_view("\xF0\x9F\x98"),
                                   std::string_view("\xC3"), std::string_view("\x80"),
                                   std::string_view("\xFF")}) {
    const std::string copy(s);  // no terminator past the end for ASan to hide
    std::size_t pos = 0;
    EXPECT_EQ(DecodeUtf8(copy, pos), kUtf8InvalidBase + static_cast<unsigned char>(copy[0]));
    EXPECT_EQ(pos, 1u);
  }
  const std::string bad = "\xC3z";
  std::size_t pos = 0;
  EXPECT_EQ(DecodeUtf8(bad, pos), kUtf8InvalidBase + 0xC3);
  EXPECT_EQ(DecodeUtf8(bad, pos), U'z');
}

TEST(Utf8Valid, AcceptsBoundaries) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain ascii\x7F"));
  EXPECT_TRUE(IsValidUtf8("\xC2\x80"));          // U+0080
  EXPECT_TRUE(IsValidUtf8("\xDF\xBF"));          // U+07FF
  EXPECT_TRUE(IsValidUtf8("\xE0\xA0\x80"));      // U+0800
  EXPECT_TRUE(IsValidUtf8("\xED\x9F\xBF"));      // U+D7FF
  EXPECT_TRUE(IsValidUtf8("\xEE\x80\x80"));      // U+E000
  EXPECT_TRUE(IsValidUtf8("\xEF\xBF\xBF"));      // U+FFFF
  EXPECT_TRUE(IsValidUtf8("\xF0\x90\x80\x80"));  // U+10000
  EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
}

TEST(Utf8Valid, RejectsWhatRfc3629Forbids) {
  EXPECT_FALSE(IsValidUtf8("\x80"));              // lone continuation
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(IsValidUtf8("\xC1\xBF"));          // overlong
  EXPECT_FALSE(IsValidUtf8("\xE0\x9F\xBF"));      // overlong three-byte
  EXPECT_FALSE(IsValidUtf8("\xF0\x8F\xBF\xBF"));  // overlong four-byte
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // U+D800
  EXPECT_FALSE(IsValidUtf8("\xED\xBF\xBF"));      // U+DFFF
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // U+110000
  EXPECT_FALSE(IsValidUtf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(IsValidUtf8("\xFE"));
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // cut off
  EXPECT_FALSE(IsValidUtf8("a\xF0\x9F\x98"));
  EXPECT_FALSE(IsValidUtf8("\xC3z"));             // continuation missing
  EXPECT_FALSE(IsValidUtf8("\xE2\x82z"));
  EXPECT_FALSE(IsValidUtf8("ok\xC3\xA9 then \xC3"));
}

// What is shown of a name is always valid UTF-8: each byte that is not part
// of a valid sequence stands for itself as \xNN, the rest stays as it was.
TEST(Utf8Visible, EscapesEachInvalidByteAndNothingElse) {
  EXPECT_EQ(VisibleUtf8("caf\xC3\xA9 \\x41"), "caf\xC3\xA9 \\x41");
  EXPECT_EQ(VisibleUtf8("a\xFF.tmp"), "a\\xFF.tmp");
  EXPECT_EQ(VisibleUtf8("\xE2\x82z\xC3\xA9\xED\xA0\x80"), "\\xE2\\x82z\xC3\xA9\\xED\\xA0\\x80");
  EXPECT_EQ(VisibleUtf8("end\xF0\x9F\x98"), "end\\xF0\\x9F\\x98");
  for (const char* broken : {"\x80", "\xC0\x80", "x\xF4\x90\x80\x80y", "\xFE\xFF"}) {
    EXPECT_TRUE(IsValidUtf8(VisibleUtf8(broken))) << broken;
  }
}

TEST(Utf16Length, CountsCodeUnits) {
  EXPECT_EQ(Utf16Length(""), 0u);
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("\u00E9"), 1u);
  EXPECT_EQ(Utf16Length("\u20AC"), 1u);
  EXPECT_EQ(Utf16Length("\U0001F600"), 2u);
  EXPECT_EQ(Utf16Length("a\u00E9\u20AC\U0001F600z"), 6u);
  EXPECT_EQ(Utf16Length(std::string(1000, 'x')), 1000u);
  // Every character at every place of the eight-byte steps.
  for (std::size_t shift = 0; shift < 9; ++shift) {
    std::string text(shift, 'x');
    for (int k = 0; k < 4; ++k) text += "a\u00E9\u20AC\U0001F600z";
    EXPECT_EQ(Utf16Length(text), shift + 24) << shift;
  }
}

}  // namespace
}  // namespace hv
