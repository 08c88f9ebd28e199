#include "support/text_stream.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/file_system.h"
#include "platform/file.h"
#include "support/exceptions.h"
#include "support/file_stream.h"
#include "support/memory_stream.h"
#include "support/utf8.h"

namespace hv {
namespace {

using testing::ReadFile;
using testing::TempDir;

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";

// A memory stream whose reads, writes and Close fail on demand.
class FailingStream : public MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    if (fail_reads) throw EReadError(kStreamReadError);
    return MemoryStream::Read(buffer, count);
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (fail_writes) return 0;
    return MemoryStream::Write(buffer, count);
  }
  bool fail_reads = false;
  bool fail_writes = false;
};

struct Detected {
  FileEncoding encoding;
  bool big_endian;
  int64_t position;
};

Detected Detect(const std::string& bytes) {
  MemoryStream inner(bytes);
  TextStream stream(&inner);
  return {stream.Encoding(), stream.BigEndian(), stream.Position()};
}

// The lines of a file; a pipe with the same bytes must give the same ones
// (unless the bytes are exactly the sample: then a pipe cannot tell that
// they are all).
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines[2];
  for (const bool pipe : {false, true}) {
    MemoryStream inner(bytes, pipe);
    TextStream stream(&inner);
    std::string line;
    while (stream.ReadLine(&line)) lines[pipe].push_back(line);
    EXPECT_FALSE(stream.ReadLine(&line));
    EXPECT_EQ(line, "");
  }
  if (bytes.size() != TextStream::kDetectionSampleSize) {
    EXPECT_EQ(lines[1], lines[0]) << "through a pipe";
  }
  return lines[0];
}

std::u32string Chars(const std::string& bytes) {
  MemoryStream inner(bytes);
  TextStream stream(&inner);
  std::u32string chars;
  char32_t ch;
  while (stream.ReadChar(&ch)) chars.push_back(ch);
  return chars;
}

// Bytes that a fresh stream writes through `write`, to a file and, the
// same, to a pipe.
template <typename Write>
std::string Written(Write write) {
  MemoryStream inner[2] = {MemoryStream({}, false), MemoryStream({}, true)};
  for (MemoryStream& target : inner) {
    TextStream stream(&target);
    write(stream);
    stream.Close();
  }
  EXPECT_EQ(inner[1].Data(), inner[0].Data()) << "through a pipe";
  return inner[0].Data();
}

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string Utf16Be(std::u16string_view text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit >> 8));
    bytes.push_back(static_cast<char>(unit & 0xFF));
  }
  return bytes;
}

// ---- Encoding detection ----

TEST(TextStreamDetectTest, EmptyStreamStaysUndecided) {
  MemoryStream inner;
  TextStream stream(&inner);
  EXPECT_EQ(stream.Encoding(), feAuto);
  EXPECT_TRUE(stream.Eof());
  std::string line = "old";
  EXPECT_FALSE(stream.ReadLine(&line));
  EXPECT_EQ(line, "");
  // A character read at position 0 decides: nothing there, so ANSI.
  char32_t ch;
  EXPECT_FALSE(stream.ReadChar(&ch));
  EXPECT_EQ(stream.Encoding(), feANSI);
}

TEST(TextStreamDetectTest, OneByteIsAnsi) {
  EXPECT_EQ(Detect("A").encoding, feANSI);
  EXPECT_EQ(Detect("\xE9").encoding, feANSI);
  EXPECT_EQ(Chars("\xE9"), U"\u00E9");
}

TEST(TextStreamDetectTest, Utf16LittleEndianMark) {
  const Detected d = Detect("\xFF\xFE");
  EXPECT_EQ(d.encoding, feUTF16);
  EXPECT_FALSE(d.big_endian);
  EXPECT_EQ(d.position, 2);
  EXPECT_TRUE(Lines("\xFF\xFE").empty());
  EXPECT_EQ(Lines("\xFF\xFE" + Utf16Le(u"ab\r\ncd")), (std::vector<std::string>{"ab", "cd"}));
  // A mark followed by two zero bytes is still the UTF-16 mark.
  EXPECT_EQ(Detect(std::string("\xFF\xFE\x00\x00", 4)).encoding, feUTF16);
}

TEST(TextStreamDetectTest, Utf16BigEndianMark) {
  const std::string bytes("\xFE\xFF\x00\x41\x00\x0D\x00\x0A", 8);
  const Detected d = Detect(bytes);
  EXPECT_EQ(d.encoding, feUTF16);
  EXPECT_TRUE(d.big_endian);
  EXPECT_EQ(d.position, 2);
  EXPECT_EQ(Lines(bytes), (std::vector<std::string>{"A"}));
}

TEST(TextStreamDetectTest, Utf8Mark) {
  const Detected d = Detect("\xEF\xBB\xBF\x41\x42");
  EXPECT_EQ(d.encoding, feUTF8);
  EXPECT_EQ(d.position, 3);
  EXPECT_EQ(Lines("\xEF\xBB\xBF\x41\x42"), (std::vector<std::string>{"AB"}));
  EXPECT_EQ(Detect(kUtf8Mark).position, 3);
  EXPECT_TRUE(Lines(kUtf8Mark).empty());
  // Even size: the two-byte marks are tried first and do not match.
  EXPECT_EQ(Detect("\xEF\xBB\xBF" "A").encoding, feUTF8);
  // The mark is taken even when the rest is not valid UTF-8.
  EXPECT_EQ(Detect("\xEF\xBB\xBF\xFF\xFF").encoding, feUTF8);
}

TEST(TextStreamDetectTest, OddSizeIgnoresTheUtf16Mark) {
  const Detected d = Detect("\xFF\xFE\x41");
  EXPECT_EQ(d.encoding, feANSI);
  EXPECT_EQ(d.position, 0);
  EXPECT_EQ(Chars("\xFF\xFE\x41"), U"\u00FF\u00FEA");
}

TEST(TextStreamDetectTest, SmallValidUtf8WithoutMark) {
  EXPECT_EQ(Detect("plain ascii").encoding, feUTF8);
  EXPECT_EQ(Detect("caf\xC3\xA9").encoding, feUTF8);
  EXPECT_EQ(Detect("\xF0\x9F\x98\x80 smile").encoding, feUTF8);
  EXPECT_EQ(Detect("plain ascii").position, 0);
  // Zero bytes are valid UTF-8.
  EXPECT_EQ(Detect(std::string("a\0b\0", 4)).encoding, feUTF8);
}

TEST(TextStreamDetectTest, SmallInvalidUtf8IsAnsi) {
  EXPECT_EQ(Detect("caf\xE9 au lait").encoding, feANSI);
  EXPECT_EQ(Lines("caf\xE9 au lait"), (std::vector<std::string>{"caf\u00E9 au lait"}));
  // Overlong form and encoded surrogate: not valid UTF-8 by RFC 3629.
  EXPECT_EQ(Detect("a\xC0\x80z").encoding, feANSI);
  EXPECT_EQ(Detect("a\xED\xA0\x80z").encoding, feANSI);
  // Nothing left once the trailing high bytes are set aside.
  EXPECT_EQ(Detect("\xE9\xE9\xE9").encoding, feANSI);
}

TEST(TextStreamDetectTest, TrailingHighBytesAreLeftOutOfTheTest) {
  const std::string bytes = "abc\xE9";
  EXPECT_EQ(Detect(bytes).encoding, feUTF8);
  // E9 starts a three-byte form whose continuation never comes.
  EXPECT_EQ(Chars(bytes), U"abc\u0009");
  // A complete sequence cut off at its end, the usual case.
  EXPECT_EQ(Detect("abc\xE2\x82").encoding, feUTF8);
}

TEST(TextStreamDetectTest, SixteenKilobyteBoundary) {
  EXPECT_EQ(Detect(std::string(16384, 'a')).encoding, feUTF8);
  EXPECT_EQ(Detect(std::string(16385, 'a')).encoding, feANSI);
  // Valid UTF-8 beyond the sample size is never taken as UTF-8 without a mark.
  EXPECT_EQ(Detect(std::string(16383, 'a') + "\xC3\xA9").encoding, feANSI);
}

TEST(TextStreamDetectTest, Utf16WithoutMarkByZeroBytes) {
  std::u16string text;
  while (text.size() * 2 <= 16384) text += u"Hello, world\r\n";
  // Over the sample size: zeros at odd offsets.
  const Detected le = Detect(Utf16Le(text));
  EXPECT_EQ(le.encoding, feUTF16);
  EXPECT_FALSE(le.big_endian);
  EXPECT_EQ(le.position, 0);
  const Detected be = Detect(Utf16Be(text));
  EXPECT_EQ(be.encoding, feUTF16);
  EXPECT_TRUE(be.big_endian);
  EXPECT_EQ(Lines(Utf16Le(text)).front(), "Hello, world");
  EXPECT_EQ(Lines(Utf16Be(text)).back(), "Hello, world");

  // Up to the sample size the same text is valid UTF-8 with NULs in it.
  const std::string small = Utf16Le(u"Hi\r\n");
  EXPECT_EQ(Detect(small).encoding, feUTF8);
  const std::string nul(1, '\0');
  EXPECT_EQ(Lines(small), (std::vector<std::string>{std::string("H\0i\0", 4), nul, nul}));
}

TEST(TextStreamDetectTest, ZeroByteThreshold) {
  const auto with_zeros = [](int odd, int even) {
    std::string bytes(20000, 'a');
    for (int i = 0; i < odd; ++i) bytes[static_cast<size_t>(101 + 2 * i)] = '\0';
    for (int i = 0; i < even; ++i) bytes[static_cast<size_t>(1000 + 2 * i)] = '\0';
    // Zeros past the sample do not count.
    for (size_t i = 16385; i < 16600; i += 2) bytes[i] = '\0';
    return bytes;
  };
  EXPECT_EQ(Detect(with_zeros(30, 0)).encoding, feANSI);
  const Detected le = Detect(with_zeros(31, 0));
  EXPECT_EQ(le.encoding, feUTF16);
  EXPECT_FALSE(le.big_endian);
  // One even zero needs more than 100 odd ones.
  EXPECT_EQ(Detect(with_zeros(100, 1)).encoding, feANSI);
  EXPECT_EQ(Detect(with_zeros(101, 1)).encoding, feUTF16);
  EXPECT_EQ(Detect(with_zeros(0, 30)).encoding, feANSI);
  const Detected be = Detect(with_zeros(0, 31));
  EXPECT_EQ(be.encoding, feUTF16);
  EXPECT_TRUE(be.big_endian);
}

TEST(TextStreamDetectTest, DetectionKeepsThePositionOfANewStream) {
  // Over a stream that already stands somewhere, detection returns there.
  MemoryStream inner(std::string(100, 'x'));
  inner.SetPosition(40);
  TextStream stream(&inner);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Encoding(), feUTF8);
}

// ---- Reading ----

TEST(TextStreamReadTest, Utf8Decoding) {
  const auto decode = [](const std::string& bytes) { return Chars(kUtf8Mark + bytes); };
  EXPECT_EQ(decode("\xC3\xA9"), U"\u00E9");
  EXPECT_EQ(decode("\xE2\x82\xAC"), U"\u20AC");
  // Outside the BMP the whole code point comes through.
  EXPECT_EQ(decode("\xF0\x9F\x98\x80"), U"\U0001F600");
  EXPECT_EQ(decode("\xF4\x8F\xBF\xBF"), U"\U0010FFFF");
  EXPECT_EQ(decode("\xC3\x41"), U"\u0003A");
  EXPECT_EQ(decode("\x80"), U"\u0080");
  EXPECT_EQ(decode("\xFE"), U"\u00FE");
  EXPECT_EQ(decode("\xFF"), U"\u00FF");
  EXPECT_EQ(decode(std::string("\xC0\x80", 2)), std::u32string(1, U'\0'));
  // Surrogate values are no characters.
  EXPECT_EQ(decode("\xED\xA0\x80z"), U"\uFFFDz");
  EXPECT_EQ(decode("\xED\xBF\xBF"), U"\uFFFD");
  EXPECT_EQ(decode("\xF0\x8D\xA0\x80"), U"\uFFFD");
  // Beyond U+10FFFF, and forms of five or six bytes: the low 16 bits.
  EXPECT_EQ(decode("\xF4\x90\x80\x80"), std::u32string(1, U'\0'));
  EXPECT_EQ(decode("\xF7\xBF\xBF\xBF"), U"\uFFFF");
  EXPECT_EQ(decode("\xF8\x80\x80\x81\x81"), U"A");
  EXPECT_EQ(decode("\xFC\x80\x80\x80\x83\xA9"), U"\u00E9");
  EXPECT_EQ(decode("\xFD\xBF\xBF\xBF\xBF\xBF"), U"\uFFFF");
  EXPECT_EQ(decode("\xF8\x80\x8D\xA0\x80\x80"), U"\uFFFD\u0080");
  // Cut off by the end of the data: what has come so far.
  EXPECT_EQ(decode("\xE2\x82"), U"\u0082");
  EXPECT_EQ(decode("\xF0"), std::u32string(1, U'\0'));
  // Cut off by a byte that is no continuation: that byte starts anew.
  EXPECT_EQ(decode("\xE2\x82" "A\xE2\x82\xAC"), U"\u0082A\u20AC");
  EXPECT_EQ(decode("\xF0\x9F\xC3\xA9"), U"\u001F\u00E9");
}

TEST(TextStreamReadTest, Utf16SurrogatePairs) {
  EXPECT_EQ(Chars("\xFF\xFE" + Utf16Le(u"a\U0001F600b")), U"a\U0001F600b");
  EXPECT_EQ(Chars("\xFE\xFF" + Utf16Be(u"a\U0001F600b")), U"a\U0001F600b");
  // Lone surrogates.
  EXPECT_EQ(Chars("\xFF\xFE" + Utf16Le(std::u16string{u'a', char16_t{0xD83D}, u'b'})), U"a\uFFFDb");
  EXPECT_EQ(Chars("\xFF\xFE" + Utf16Le(std::u16string{char16_t{0xDE00}, u'b'})), U"\uFFFDb");
  EXPECT_EQ(Chars("\xFF\xFE" + Utf16Le(std::u16string{char16_t{0xD83D}, char16_t{0xD83D}, char16_t{0xDE00}})),
            U"\uFFFD\U0001F600");
  EXPECT_EQ(Chars("\xFF\xFE" + Utf16Le(std::u16string{u'a', char16_t{0xD83D}})), U"a\uFFFD");
  // Every line is valid UTF-8.
  const std::vector<std::string> lines =
      Lines("\xFF\xFE" + Utf16Le(std::u16string{char16_t{0xDC00}, u'\r', u'\n', char16_t{0xD800}}));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "\uFFFD");
  EXPECT_EQ(lines[1], "\uFFFD");
}

TEST(TextStreamReadTest, Utf16LoneLastByteIsDropped) {
  // Large enough to be recognised by its zero bytes, odd in size.
  std::u16string text(9000, u'A');
  const std::string bytes = Utf16Le(text) + "B";
  ASSERT_EQ(Detect(bytes).encoding, feUTF16);
  const std::u32string chars = Chars(bytes);
  EXPECT_EQ(chars, std::u32string(9000, U'A'));
  // A high surrogate followed only by the lone byte.
  const std::string cut = Utf16Le(text) + Utf16Le(std::u16string{char16_t{0xD83D}}) + "B";
  EXPECT_EQ(Chars(cut), std::u32string(9000, U'A') + U"\uFFFD");
}

TEST(TextStreamReadTest, AnsiAndOem) {
  EXPECT_EQ(Lines("\x80 \x9F \xE9\r\n\x81"), (std::vector<std::string>{"\u20AC \u0178 \u00E9", "\u0081"}));
  MemoryStream inner("\x82\xB3\xE1");
  TextStream stream(&inner);
  stream.SetEncoding(feOEM);
  EXPECT_EQ(inner.Data(), "\x82\xB3\xE1");
  std::string line;
  ASSERT_TRUE(stream.ReadLine(&line));
  EXPECT_EQ(line, "\u00E9\u2502\u00DF");
}

TEST(TextStreamReadTest, LineEnds) {
  const auto lines = [](const std::string& text) { return Lines(kUtf8Mark + text); };
  using V = std::vector<std::string>;
  EXPECT_EQ(lines("x\r\ny"), (V{"x", "y"}));
  EXPECT_EQ(lines("x\ry"), (V{"x", "y"}));
  EXPECT_EQ(lines("x\ny"), (V{"x", "y"}));
  EXPECT_EQ(lines("x\n\ry"), (V{"x", "", "y"}));
  EXPECT_EQ(lines("x\r"), (V{"x"}));
  EXPECT_EQ(lines("x\n"), (V{"x"}));
  EXPECT_EQ(lines("x"), (V{"x"}));
  EXPECT_EQ(lines("\r\n"), (V{""}));
  EXPECT_EQ(lines("\r\r\n\n"), (V{"", "", ""}));
  EXPECT_EQ(lines("a\r\nb\nc\rd\r\n"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(lines(std::string("a\0b\xEF\xBB\xBF" "c", 6)), (V{std::string("a\0b\xEF\xBB\xBF" "c", 6)}));
  EXPECT_EQ(Lines("\xFF\xFE" + Utf16Le(u"x\ry\r\n\nz")), (V{"x", "y", "", "z"}));
  EXPECT_EQ(Lines("\xFE\xFF" + Utf16Be(u"x\n\r")), (V{"x", ""}));
}

TEST(TextStreamReadTest, LinesAcrossBufferEdges) {
  std::string text = kUtf8Mark;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    std::string line = "line " + std::to_string(i) + " \u00E9\U0001F600";
    expected.push_back(line);
    text += line + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
  }
  EXPECT_EQ(Lines(text), expected);
}

TEST(TextStreamReadTest, LinesAgreeWithCharacters) {
  // Lines split by hand from ReadChar's characters must equal ReadLine's,
  // over several buffers of mixed text and line ends.
  std::mt19937 random(99);
  // Whole sequences, and cut, overlong, surrogate and out-of-range ones.
  const std::vector<std::string> pieces = {"a", "bc", "\r", "\n", "\r\n", "\xC3\xA9", "\x80", "\xE2\x82\xAC",
                                           "\xF0\x9F\x98\x80", "\xE2\x82", "\xC0\x80", "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80", "0123456789abcdefghij"};
  for (const std::string prefix : {"", kUtf8Mark}) {
    std::string bytes = prefix;
    while (bytes.size() < 50000) bytes += pieces[random() % pieces.size()];
    const std::u32string chars = Chars(bytes);
    std::vector<std::string> expected;
    std::string line;
    for (size_t i = 0; i < chars.size(); ++i) {
      if (chars[i] == U'\r' || chars[i] == U'\n') {
        if (chars[i] == U'\r' && i + 1 < chars.size() && chars[i + 1] == U'\n') ++i;
        expected.push_back(line);
        line.clear();
      } else {
        AppendUtf8(line, chars[i]);
      }
    }
    if (!line.empty()) expected.push_back(line);
    EXPECT_EQ(Lines(bytes), expected) << "prefix size " << prefix.size();
  }
}

TEST(TextStreamReadTest, EveryLineIsValidUtf8) {
  std::mt19937 random(4711);
  for (const std::string prefix : {"", kUtf8Mark, "\xFF\xFE", "\xFE\xFF"}) {
    for (int round = 0; round < 50; ++round) {
      std::string bytes = prefix;
      const size_t size = random() % 200;
      for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(random() % 256));
      for (const std::string& line : Lines(bytes)) EXPECT_TRUE(IsValidUtf8(line));
    }
  }
}

TEST(TextStreamReadTest, ReadErrorsAreErrorsNotTheEnd) {
  FailingStream inner(kUtf8Mark + std::string(40000, 'a') + "\r\n");
  TextStream stream(&inner);
  std::string line;
  inner.fail_reads = true;
  // The first buffer is already loaded; the error shows at the next load.
  EXPECT_THROW(stream.ReadLine(&line), EReadError);
  char32_t ch;
  EXPECT_THROW(stream.ReadChar(&ch), EReadError);
}

TEST(TextStreamReadTest, EofFollowsThePosition) {
  MemoryStream inner(kUtf8Mark + std::string("ab"));
  TextStream stream(&inner);
  EXPECT_FALSE(stream.Eof());
  char32_t ch;
  ASSERT_TRUE(stream.ReadChar(&ch));
  ASSERT_TRUE(stream.ReadChar(&ch));
  EXPECT_TRUE(stream.Eof());
  EXPECT_FALSE(stream.ReadChar(&ch));
}

// ---- Writing ----

TEST(TextStreamWriteTest, FirstWriteTakesTheDefaultEncodingAndItsMark) {
  EXPECT_EQ(Written([](TextStream& s) { s.WriteLine(""); }), "\xEF\xBB\xBF\r\n");
  EXPECT_EQ(Written([](TextStream& s) {
              s.SetDefaultEncoding(feUTF16);
              s.WriteLine("A");
            }),
            std::string("\xFF\xFE\x41\x00\x0D\x00\x0A\x00", 8));
  EXPECT_EQ(Written([](TextStream& s) {
              s.SetDefaultEncoding(feANSI);
              s.WriteLine("\u00E9");
            }),
            "\xE9\r\n");
  // No encoding at all: UTF-8 without a mark.
  EXPECT_EQ(Written([](TextStream& s) {
              s.SetDefaultEncoding(feAuto);
              s.WriteStr("\u00E9");
              EXPECT_EQ(s.Encoding(), feAuto);
            }),
            "\xC3\xA9");
}

TEST(TextStreamWriteTest, EmptyWriteDecidesNothing) {
  EXPECT_EQ(Written([](TextStream& s) {
              s.WriteStr("");
              EXPECT_EQ(s.Encoding(), feAuto);
            }),
            "");
}

TEST(TextStreamWriteTest, SettingTheEncodingWritesItsMarkOnlyAtTheStart) {
  EXPECT_EQ(Written([](TextStream& s) { s.SetEncoding(feUTF8); }), kUtf8Mark);
  EXPECT_EQ(Written([](TextStream& s) { s.SetEncoding(feUTF16); }), "\xFF\xFE");
  EXPECT_EQ(Written([](TextStream& s) { s.SetEncoding(feANSI); }), "");
  EXPECT_EQ(Written([](TextStream& s) { s.SetEncoding(feOEM); }), "");
  EXPECT_EQ(Written([](TextStream& s) {
              s.SetEncoding(feANSI);
              s.WriteStr("ab");
              s.SetEncoding(feUTF8);
              s.WriteStr("\u00E9");
            }),
            "ab\xC3\xA9");
}

TEST(TextStreamWriteTest, EncodingsOfWrittenText) {
  const std::string text = "A\u00E9\u20AC\u2502\U0001F600";
  EXPECT_EQ(Written([&](TextStream& s) {
              s.SetEncoding(feUTF8);
              s.WriteStr(text);
            }),
            kUtf8Mark + text);
  EXPECT_EQ(Written([&](TextStream& s) {
              s.SetEncoding(feUTF16);
              s.WriteStr(text);
            }),
            "\xFF\xFE" + Utf16Le(u"A\u00E9\u20AC\u2502\U0001F600"));
  EXPECT_EQ(Written([&](TextStream& s) {
              s.SetEncoding(feANSI);
              s.WriteStr(text);
            }),
            "A\xE9\x80??");
  EXPECT_EQ(Written([&](TextStream& s) {
              s.SetEncoding(feOEM);
              s.WriteStr(text);
            }),
            // Through the ANSI page: the box line, which CP437 has, is lost
            // there, and the euro in the OEM step.
            "A\x82???");
}

TEST(TextStreamWriteTest, InvalidUtf8AndInvalidEncoding) {
  for (const FileEncoding encoding : {feUTF8, feUTF16, feANSI, feOEM}) {
    MemoryStream inner;
    TextStream stream(&inner);
    stream.SetEncoding(encoding);
    EXPECT_THROW(stream.WriteStr("a\xC3"), EStringError) << static_cast<int>(encoding);
  }
  MemoryStream inner;
  TextStream stream(&inner);
  stream.SetEncoding(static_cast<FileEncoding>(9));
  try {
    stream.WriteStr("a");
    FAIL() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Invalid encoding");
  }
}

TEST(TextStreamWriteTest, LineSeparator) {
  EXPECT_EQ(Written([](TextStream& s) {
              EXPECT_EQ(s.LineSeparator(), "\r\n");
              s.SetLineSeparator("\n");
              s.WriteLine("a");
              s.WriteLine("b");
            }),
            "\xEF\xBB\xBF" "a\nb\n");
}

TEST(TextStreamWriteTest, RoundTripsInEveryEncoding) {
  const std::vector<std::string> lines = {"plain", "", "caf\u00E9 \u20AC", "\U0001F600 and \U0010FFFD",
                                          std::string(20000, 'x') + "\u4E00"};
  for (const FileEncoding encoding : {feUTF8, feUTF16}) {
    MemoryStream inner;
    {
      TextStream stream(&inner);
      stream.SetDefaultEncoding(encoding);
      for (const std::string& line : lines) stream.WriteLine(line);
      stream.Close();
    }
    EXPECT_EQ(Lines(inner.Data()), lines) << static_cast<int>(encoding);
  }
  // Big-endian UTF-16 is written only into a file that already is.
  MemoryStream inner("\xFE\xFF");
  {
    TextStream stream(&inner);
    ASSERT_TRUE(stream.BigEndian());
    stream.SetPosition(stream.Size());
    for (const std::string& line : lines) stream.WriteLine(line);
    stream.Close();
  }
  EXPECT_EQ(inner.Data().substr(0, 8), std::string("\xFE\xFF\x00p\x00l\x00" "a", 8));
  EXPECT_EQ(Lines(inner.Data()), lines);

  // The 8-bit pages keep what they can show.
  for (const FileEncoding encoding : {feANSI, feOEM}) {
    MemoryStream bytes;
    {
      TextStream stream(&bytes);
      stream.SetEncoding(encoding);
      stream.WriteLine("caf\u00E9 \u00FC\U0001F600");
      stream.Close();
    }
    TextStream reader(&bytes);
    reader.SetPosition(0);
    reader.SetEncoding(encoding);
    std::string line;
    ASSERT_TRUE(reader.ReadLine(&line));
    EXPECT_EQ(line, "caf\u00E9 \u00FC?");
  }
}

TEST(TextStreamWriteTest, CloseReportsTheFailedLastWrite) {
  FailingStream inner;
  TextStream stream(&inner);
  stream.WriteLine("hello");
  inner.fail_writes = true;
  EXPECT_THROW(stream.Close(), EWriteError);
}

TEST(TextStreamWriteTest, DestructionWithoutCloseWritesQuietly) {
  MemoryStream good;
  { TextStream(&good).WriteLine("x"); }
  EXPECT_EQ(good.Data(), "\xEF\xBB\xBF" "x\r\n");
  FailingStream bad;
  {
    TextStream stream(&bad);
    stream.WriteLine("x");
    bad.fail_writes = true;
  }
  EXPECT_EQ(bad.Data(), "");
}

// ---- Files ----

TEST(TextStreamFileTest, WriteAndReadAFile) {
  TempDir dir;
  const std::string name = dir.File("list.txt");
  {
    TextStream stream(name, OpenMode::fmCreate);
    EXPECT_EQ(stream.Encoding(), feAuto);
    stream.SetEncoding(feUTF8);
    stream.WriteLine("first \u00E9");
    stream.WriteLine("second \U0001F600");
    stream.Close();
  }
  EXPECT_EQ(ReadFile(name), "\xEF\xBB\xBF" "first \xC3\xA9\r\nsecond \xF0\x9F\x98\x80\r\n");
  TextStream stream(name, OpenMode::fmOpenRead);
  EXPECT_EQ(stream.Encoding(), feUTF8);
  EXPECT_EQ(stream.Size(), 26);
  std::string line;
  ASSERT_TRUE(stream.ReadLine(&line));
  EXPECT_EQ(line, "first \u00E9");
  ASSERT_TRUE(stream.ReadLine(&line));
  EXPECT_EQ(line, "second \U0001F600");
  EXPECT_FALSE(stream.ReadLine(&line));
  // Read-only: the write reaches the file at Close and fails there.
  stream.WriteStr("x");
  EXPECT_THROW(stream.Close(), EWriteError);
}

TEST(TextStreamFileTest, CreateEmptiesAnExistingFile) {
  TempDir dir;
  const std::string name = dir.Write("a.txt", "old contents");
  TextStream stream(name, OpenMode::fmCreate);
  EXPECT_EQ(stream.Size(), 0);
  stream.Close();
  EXPECT_EQ(ReadFile(name), "");
}

TEST(TextStreamFileTest, OpenAndCreateFailures) {
  TempDir dir;
  const std::string missing = dir.File("missing.txt");
  try {
    TextStream stream(missing, OpenMode::fmOpenRead);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
  }
  EXPECT_THROW(TextStream(missing, OpenMode::fmOpenReadWrite), EFOpenError);
  const std::string nowhere = dir.File("no/such/dir.txt");
  try {
    TextStream stream(nowhere, OpenMode::fmCreate);
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + nowhere + "\". No such file or directory");
  }
  // A directory is no text file.
  EXPECT_THROW(TextStream(dir.path().string(), OpenMode::fmOpenRead), EFOpenError);
  EXPECT_THROW(TextStream(dir.path().string(), OpenMode::fmCreate), EFCreateError);
}

TEST(TextStreamFileTest, FullDeviceFailsAtClose) {
  TextStream stream("/dev/full", OpenMode::fmOpenReadWrite);
  stream.WriteLine("lost");
  EXPECT_THROW(stream.Close(), EWriteError);
}

TEST(TextStreamAppendLineTest, MissingFileIsCreatedAsUtf8) {
  TempDir dir;
  const std::string name = dir.File("log.txt");
  TextStream::AppendLine(name, "first \u00E9", feAuto);
  EXPECT_EQ(ReadFile(name), "\xEF\xBB\xBF" "first \xC3\xA9\r\n");
  TextStream::AppendLine(name, "second", feAuto);
  EXPECT_EQ(ReadFile(name), "\xEF\xBB\xBF" "first \xC3\xA9\r\nsecond\r\n");
}

TEST(TextStreamAppendLineTest, EncodingDecidesOnlyForANewFile) {
  TempDir dir;
  const std::string name = dir.File("log.txt");
  TextStream::AppendLine(name, "A", feUTF16);
  EXPECT_EQ(ReadFile(name), std::string("\xFF\xFE\x41\x00\x0D\x00\x0A\x00", 8));
  const std::string ansi = dir.Write("ansi.txt", "caf\xE9 ");
  TextStream::AppendLine(ansi, "x", feUTF16);
  EXPECT_EQ(ReadFile(ansi), "caf\xE9 x\r\n");
  // An existing empty file has no encoding yet.
  const std::string empty = dir.Write("empty.txt", "");
  TextStream::AppendLine(empty, "x", feAuto);
  EXPECT_EQ(ReadFile(empty), "\xEF\xBB\xBF" "x\r\n");
}

TEST(TextStreamAppendLineTest, ExistingFilesKeepTheirEncodingAndBytes) {
  TempDir dir;
  const std::string ansi = dir.Write("ansi.txt", "caf\xE9\r\nna\xEFve\r\n");
  TextStream::AppendLine(ansi, "\u00E9t\u00E9 \u20AC", feAuto);
  EXPECT_EQ(ReadFile(ansi), "caf\xE9\r\nna\xEFve\r\n\xE9t\xE9 \x80\r\n");

  const std::string one = dir.Write("one.txt", "x");
  TextStream::AppendLine(one, "y", feAuto);
  EXPECT_EQ(ReadFile(one), "xy\r\n");

  const std::string be = dir.Write("be.txt", std::string("\xFE\xFF\x00\x41\x00\x0D\x00\x0A", 8));
  TextStream::AppendLine(be, "B\U0001F600", feAuto);
  EXPECT_EQ(ReadFile(be), std::string("\xFE\xFF\x00\x41\x00\x0D\x00\x0A", 8) + Utf16Be(u"B\U0001F600\r\n"));

  const std::string le = dir.Write("le.txt", "\xFF\xFE" + Utf16Le(u"A"));
  TextStream::AppendLine(le, "B", feAuto);
  EXPECT_EQ(ReadFile(le), "\xFF\xFE" + Utf16Le(u"AB\r\n"));

  const std::string utf8 = dir.Write("u.txt", "\xEF\xBB\xBF" "a\r\n");
  TextStream::AppendLine(utf8, "\u00E9", feAuto);
  EXPECT_EQ(ReadFile(utf8), "\xEF\xBB\xBF" "a\r\n\xC3\xA9\r\n");
}

TEST(TextStreamAppendLineTest, FailuresReachTheCaller) {
  TempDir dir;
  EXPECT_THROW(TextStream::AppendLine(dir.File("no/dir/log.txt"), "x", feAuto), EFCreateError);
  EXPECT_THROW(TextStream::AppendLine(dir.path().string(), "x", feAuto), EFCreateError);
  EXPECT_THROW(TextStream::AppendLine("/dev/full", "x", feAuto), EStreamError);
}

// ---- FileStream over a file that fails on demand ----

struct FakeFileState {
  std::string data;
  int64_t position = 0;
  bool closed = false;
  int fail_read = 0, fail_write = 0, fail_seek = 0, fail_size = 0, fail_truncate = 0, fail_sync = 0,
      fail_close = 0;
};

class FakeFile : public platform::File {
 public:
  explicit FakeFile(FakeFileState* state) : state_(state) {}
  int64_t Read(void* buffer, int64_t count, platform::ErrorCode* error) override {
    if (state_->fail_read != 0) {
      *error = state_->fail_read;
      return -1;
    }
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, Length() - state_->position));
    const auto at = static_cast<size_t>(state_->position);
    state_->data.copy(static_cast<char*>(buffer), static_cast<size_t>(n), at);
    state_->position += n;
    return n;
  }
  platform::ErrorCode Write(const void* buffer, int64_t count) override {
    if (state_->fail_write != 0) return state_->fail_write;
    const int64_t end = state_->position + count;
    if (end > Length()) state_->data.resize(static_cast<size_t>(end));
    state_->data.replace(static_cast<size_t>(state_->position), static_cast<size_t>(count),
                         static_cast<const char*>(buffer), static_cast<size_t>(count));
    state_->position += count;
    return 0;
  }
  platform::ErrorCode Seek(int64_t offset, platform::Whence whence, int64_t* position) override {
    if (state_->fail_seek != 0) return state_->fail_seek;
    const int64_t base = whence == platform::Whence::kBeginning ? 0
                         : whence == platform::Whence::kCurrent ? state_->position
                                                                : Length();
    if (base + offset < 0) return 22;
    *position = state_->position = base + offset;
    return 0;
  }
  platform::ErrorCode Size(int64_t* size) override {
    if (state_->fail_size != 0) return state_->fail_size;
    *size = Length();
    return 0;
  }
  platform::ErrorCode Truncate(int64_t size) override {
    if (state_->fail_truncate != 0) return state_->fail_truncate;
    state_->data.resize(static_cast<size_t>(size));
    return 0;
  }
  platform::ErrorCode Sync() override { return state_->fail_sync; }
  platform::ErrorCode SetPermissions(uint32_t) override { return 0; }
  platform::ErrorCode Close() override {
    state_->closed = true;
    return state_->fail_close;
  }

 private:
  int64_t Length() const { return static_cast<int64_t>(state_->data.size()); }
  FakeFileState* state_;
};

TEST(FileStreamTest, PassesBytesThrough) {
  FakeFileState state;
  state.data = "hello";
  FileStream stream(std::make_unique<FakeFile>(&state), "fake");
  EXPECT_EQ(stream.FileName(), "fake");
  EXPECT_EQ(stream.Size(), 5);
  char got[10];
  EXPECT_EQ(stream.Read(got, 10), 5);
  EXPECT_EQ(stream.Read(got, 10), 0);
  EXPECT_EQ(stream.Write(" world", 6), 6);
  EXPECT_EQ(state.data, "hello world");
  EXPECT_EQ(stream.Seek(-5, SeekOrigin::soEnd), 6);
  stream.SetSize(3);
  EXPECT_EQ(state.data, "hel");
  EXPECT_EQ(stream.Position(), 3);
  stream.Sync();
  stream.Close();
  EXPECT_TRUE(state.closed);
  stream.Close();
  EXPECT_THROW(stream.Read(got, 1), EReadError);
  EXPECT_THROW(stream.Write("x", 1), EWriteError);
}

TEST(FileStreamTest, FailuresRaise) {
  FakeFileState state;
  state.data = "hello";
  FileStream stream(std::make_unique<FakeFile>(&state), "fake");
  char got[4];
  state.fail_read = 5;
  try {
    stream.Read(got, 4);
    FAIL() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  state.fail_write = 28;
  try {
    stream.Write("x", 1);
    FAIL() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  state.fail_seek = 22;
  EXPECT_THROW(stream.Seek(0, SeekOrigin::soBeginning), EStreamError);
  state.fail_size = 5;
  EXPECT_THROW(stream.Size(), EReadError);
  state.fail_truncate = 27;
  EXPECT_THROW(stream.SetSize(1), EWriteError);
  state.fail_sync = 5;
  EXPECT_THROW(stream.Sync(), EWriteError);
  state.fail_close = 5;
  EXPECT_THROW(stream.Close(), EWriteError);
  EXPECT_TRUE(state.closed);
}

TEST(FileStreamTest, TextStreamOverAFailingFile) {
  FakeFileState state;
  state.data = kUtf8Mark + std::string(20000, 'a');
  TextStream reader(std::make_unique<FileStream>(std::make_unique<FakeFile>(&state), "fake"));
  EXPECT_EQ(reader.Encoding(), feUTF8);
  state.fail_read = 5;
  std::string line;
  EXPECT_THROW(reader.ReadLine(&line), EReadError);

  FakeFileState out;
  {
    TextStream writer(std::make_unique<FileStream>(std::make_unique<FakeFile>(&out), "fake"));
    writer.WriteLine("x");
    out.fail_close = 5;
    EXPECT_THROW(writer.Close(), EWriteError);
  }
  // The buffer was written before the close failed.
  EXPECT_EQ(out.data, "\xEF\xBB\xBF" "x\r\n");
  EXPECT_TRUE(out.closed);
}

// ---- Through the file system that the program uses ----

class FakeFileSystemTest : public ::testing::Test {
 protected:
  FakeFileSystemTest() : scope_(fs_) { fs_.SetCurrentDirectory("/work"); }
  hv::testing::FakeFileSystem fs_;
  platform::ScopedFileSystem scope_;
};

TEST_F(FakeFileSystemTest, AppendLineCreatesAndCloses) {
  TextStream::AppendLine("/work/a.log", "one", feAuto);
  TextStream::AppendLine("/work/a.log", "two", feAuto);
  const auto* entry = fs_.Find("/work/a.log");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->contents, "\xEF\xBB\xBF" "one\r\ntwo\r\n");
  EXPECT_EQ(entry->close_calls, 2);
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(FakeFileSystemTest, AppendLineReportsAFailedClose) {
  auto& entry = fs_.AddFile("/work/a.log", "x");
  entry.close_error = EIO;
  EXPECT_THROW(TextStream::AppendLine("/work/a.log", "y", feAuto), EWriteError);
  EXPECT_EQ(entry.contents, "xy\r\n");
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(FakeFileSystemTest, AppendLineReportsAFailedWrite) {
  auto& entry = fs_.AddFile("/work/a.log", "x");
  entry.write_error = ENOSPC;
  try {
    TextStream::AppendLine("/work/a.log", "y", feAuto);
    FAIL() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  EXPECT_EQ(entry.contents, "x");
  EXPECT_EQ(entry.close_calls, 1);
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(FakeFileSystemTest, OpenErrorsNameTheFullPath) {
  // The fake takes names as they come; the message shows the full path.
  fs_.AddFile("locked.log", "x").open_error = EACCES;
  try {
    TextStream stream("locked.log", OpenMode::fmOpenRead);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/work/locked.log\". Permission denied");
  }
  fs_.AddDirectory("./dir/");
  try {
    TextStream::AppendLine("./dir/", "x", feAuto);
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"/work/dir/\". Is a directory");
  }
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(FakeFileSystemTest, ReadFailureInTheMiddleOfAFile) {
  std::string text = kUtf8Mark;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\r\n";
  fs_.AddFile("/work/list.txt", text).fail_read_at_offset = 20000;
  TextStream stream("/work/list.txt", OpenMode::fmOpenRead);
  std::string line;
  int lines = 0;
  try {
    while (stream.ReadLine(&line)) ++lines;
    FAIL() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  EXPECT_GT(lines, 1000);
}

TEST_F(FakeFileSystemTest, SyncReachesTheFile) {
  TextStream stream("/work/out.txt", OpenMode::fmCreate);
  stream.WriteLine("x");
  stream.Sync();
  auto* entry = fs_.Find("/work/out.txt");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->sync_calls, 1);
  EXPECT_EQ(entry->contents, "\xEF\xBB\xBF" "x\r\n");
  entry->sync_error = EIO;
  EXPECT_THROW(stream.Sync(), EWriteError);
  stream.Close();
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(FakeFileSystemTest, CreateEmptiesAndReadOnlyRefusesWrites) {
  fs_.AddFile("/work/old.txt", "old");
  {
    TextStream stream("/work/old.txt", OpenMode::fmCreate);
    EXPECT_EQ(stream.Size(), 0);
    stream.Close();
  }
  EXPECT_EQ(fs_.Find("/work/old.txt")->contents, "");
  fs_.AddFile("/work/ro.txt", "abc");
  TextStream stream("/work/ro.txt", OpenMode::fmOpenRead);
  stream.WriteStr("x");
  EXPECT_THROW(stream.Close(), EWriteError);
  EXPECT_EQ(fs_.Find("/work/ro.txt")->contents, "abc");
}

}  // namespace
}  // namespace hv
