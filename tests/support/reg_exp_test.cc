#include "support/reg_exp.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/exceptions.h"

namespace hv {
namespace {

#if defined(HV_VARIANT32)
constexpr std::string_view kErrorClass = "Exception";
constexpr std::string_view kEmptyText =
    "TPerlRegEx.Compile() - Please specify a regular expression in RegEx first";
constexpr std::string_view kOffsetPrefix = "TPerlRegEx.Compile() - Error in regex at offset ";
#else
constexpr std::string_view kErrorClass = "ERegularExpressionError";
constexpr std::string_view kEmptyText = "A regular expression specified in RegEx is required";
constexpr std::string_view kOffsetPrefix = "Error in regular expression at offset ";
#endif

bool Matches(std::string_view pattern, std::string_view subject,
             RegExpOptions options = kDefaultRegExpOptions) {
  return CreateRegExp(pattern, options)->Match(subject);
}

// Runs Match and returns the message of what it threw, checking the class.
std::string MatchFailure(RegExp& regexp, std::string_view subject,
                         std::string_view error_class = kErrorClass) {
  try {
    regexp.Match(subject);
  } catch (const Exception& e) {
    EXPECT_EQ(e.ClassName(), error_class);
    return e.Message();
  }
  ADD_FAILURE() << "Match did not throw";
  return {};
}

TEST(RegExpCreate, StoresPatternAndOptionsWithoutCompiling) {
  auto defaults = CreateRegExp("a(b");
  ASSERT_NE(defaults, nullptr);
  EXPECT_EQ(defaults->Pattern(), "a(b");
  EXPECT_EQ(defaults->Options(), kDefaultRegExpOptions);
  EXPECT_EQ(kDefaultRegExpOptions, 5u);

  auto chosen = CreateRegExp("x", preMultiLine | preNoAutoCapture);
  EXPECT_EQ(chosen->Options(), preMultiLine | preNoAutoCapture);
  // Only seven flags exist.
  EXPECT_EQ(CreateRegExp("x", 0xFFFFFFFFu)->Options(), 0x7Fu);
}

TEST(RegExpCreate, FreeFunctionsReleaseAndClear) {
  auto regexp = CreateRegExp("a");
  FreeAndNilRegExp(regexp);
  EXPECT_EQ(regexp, nullptr);
  FreeAndNilRegExp(regexp);
  EXPECT_EQ(regexp, nullptr);
  FreeRegExp(CreateRegExp("b"));
  FreeRegExp(nullptr);
}

TEST(RegExpCompileError, BadPatternFailsAtEveryMatch) {
  auto regexp = CreateRegExp("ab(cd");
  ASSERT_NE(regexp, nullptr);
  const std::string first = MatchFailure(*regexp, "abcd");
  EXPECT_EQ(first.rfind(kOffsetPrefix, 0), 0u) << first;
  const std::string rest = first.substr(kOffsetPrefix.size());
  EXPECT_EQ(rest.rfind("5: ", 0), 0u) << first;
  EXPECT_GT(rest.size(), 3u) << "PCRE2's error text is missing";
  EXPECT_EQ(MatchFailure(*regexp, "abcd"), first);
  EXPECT_EQ(MatchFailure(*regexp, ""), first);
  EXPECT_TRUE(regexp->SubexpressionByName("x").empty());
}

TEST(RegExpCompileError, OffsetCountsBytesOfTheUtf8Pattern) {
  auto regexp = CreateRegExp("\xC3\xA9\xF0\x9F\x98\x80[");
  const std::string message = MatchFailure(*regexp, "x");
  EXPECT_EQ(message.rfind(std::string(kOffsetPrefix) + "7: ", 0), 0u) << message;
}

TEST(RegExpCompileError, InvalidUtf8PatternIsACompileError) {
  auto regexp = CreateRegExp("a\xFF");
  const std::string message = MatchFailure(*regexp, "a");
  EXPECT_EQ(message.rfind(kOffsetPrefix, 0), 0u) << message;
}

TEST(RegExpCompileError, EmptyPatternFailsAtEveryMatch) {
  auto regexp = CreateRegExp("");
  ASSERT_NE(regexp, nullptr);
  EXPECT_EQ(MatchFailure(*regexp, "abc"), kEmptyText);
  EXPECT_EQ(MatchFailure(*regexp, "abc"), kEmptyText);
}

TEST(RegExpMatch, DefaultOptionsIgnoreCaseAndLetDotTakeLineEnds) {
  EXPECT_TRUE(Matches("a.c", "A\nC"));
  // CR LF is two characters for the dot.
  EXPECT_FALSE(Matches("a.c", "xxA\r\nC"));
  EXPECT_TRUE(Matches("a..c", "xxA\r\nC"));
}

TEST(RegExpMatch, EmptyMatchesAreNeverAccepted) {
  EXPECT_FALSE(Matches("x*", "abc"));
  EXPECT_TRUE(Matches("x*", "axb"));
  EXPECT_FALSE(Matches("^", "abc"));
  EXPECT_FALSE(Matches("$", "abc"));
  EXPECT_FALSE(Matches("(?:)", "abc"));
  EXPECT_FALSE(Matches("a*", ""));
  EXPECT_FALSE(Matches(".*", std::string_view()));
}

TEST(RegExpMatch, InvalidUtf8SubjectIsNoMatch) {
  auto regexp = CreateRegExp("a");
  EXPECT_FALSE(regexp->Match("a\xFF"));
  EXPECT_FALSE(regexp->Match("\xC3"));
  EXPECT_TRUE(regexp->Match("a"));
}

TEST(RegExpGroups, NamesAndParticipation) {
  auto regexp = CreateRegExp("(?<key>[a-z]+)(?:=(?<value>\\d+))?(?<tail>;)?");
  ASSERT_TRUE(regexp->Match("key=42;"));
  std::string_view value = "stale";
  EXPECT_TRUE(regexp->SubexpressionByName("key", value));
  EXPECT_EQ(value, "key");
  EXPECT_EQ(regexp->SubexpressionByName("value"), "42");
  EXPECT_EQ(regexp->SubexpressionByName("tail"), ";");

  value = "stale";
  EXPECT_FALSE(regexp->SubexpressionByName("missing", value));
  EXPECT_TRUE(value.empty());
  EXPECT_FALSE(regexp->SubexpressionByName("", value));
  EXPECT_FALSE(regexp->SubexpressionByName(std::string_view("key\0x", 5), value));
  EXPECT_FALSE(regexp->SubexpressionByName(std::string(300, 'k'), value));
  EXPECT_TRUE(value.empty());

  // The optional group did not take part; a later group was set.
  ASSERT_TRUE(regexp->Match("abc;"));
  value = "stale";
  EXPECT_TRUE(regexp->SubexpressionByName("value", value));
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(regexp->SubexpressionByName("tail"), ";");

  // The match set no group as high as "tail".
  ASSERT_TRUE(regexp->Match("abc=7"));
  value = "stale";
  EXPECT_TRUE(regexp->SubexpressionByName("tail", value));
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(regexp->SubexpressionByName("value"), "7");
}

TEST(RegExpGroups, AfterAFailedMatchGroupsAreEmpty) {
  auto regexp = CreateRegExp("k=(?<v>\\d+)");
  ASSERT_TRUE(regexp->Match("k=1"));
  EXPECT_EQ(regexp->SubexpressionByName("v"), "1");
  ASSERT_FALSE(regexp->Match("nothing"));
  std::string_view value = "stale";
  EXPECT_TRUE(regexp->SubexpressionByName("v", value));
  EXPECT_TRUE(value.empty());
}

TEST(RegExpGroups, NameLookupBeforeAnyMatchFindsNothing) {
  auto regexp = CreateRegExp("(?<v>a)");
  std::string_view value = "stale";
  EXPECT_FALSE(regexp->SubexpressionByName("v", value));
  EXPECT_TRUE(value.empty());
}

TEST(RegExpUnicode, CaselessCoversNonAsciiLetters) {
  EXPECT_TRUE(Matches("\xC3\xA9", "\xC3\x89"));          // e acute vs E acute
  EXPECT_TRUE(Matches("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));
  EXPECT_TRUE(Matches("\xCE\xA9", "\xCF\x89"));          // Greek omega
  EXPECT_FALSE(Matches("\xC3\xA9", "\xC3\x89", 0));
}

TEST(RegExpUnicode, DotTakesOneWholeCharacter) {
  EXPECT_TRUE(Matches("^a.b$", "a\xC3\xA9" "b"));
  EXPECT_TRUE(Matches("^a.b$", "a\xE2\x82\xAC" "b"));
  EXPECT_TRUE(Matches("^a.b$", "a\xF0\x9F\x98\x80" "b"));
  EXPECT_FALSE(Matches("^a..b$", "a\xC3\xA9" "b"));
  EXPECT_FALSE(Matches("^a....b$", "a\xF0\x9F\x98\x80" "b"));
  EXPECT_TRUE(Matches("\\p{Lu}", "\xC3\x89"));
}

TEST(RegExpUnicode, GroupValuesComeBackByteExact) {
  const std::string subject =
      "name=\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF0\x90\x90\xB7;";
  auto regexp = CreateRegExp("name=(?<v>[^;]+);");
  ASSERT_TRUE(regexp->Match(subject));
  const std::string_view value = regexp->SubexpressionByName("v");
  EXPECT_EQ(value, subject.substr(5, subject.size() - 6));
  EXPECT_EQ(value.data(), subject.data() + 5);

  auto single = CreateRegExp("^(?<c>.)(?<rest>.*)$");
  ASSERT_TRUE(single->Match("\xF0\x9F\x98\x80x"));
  EXPECT_EQ(single->SubexpressionByName("c"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(single->SubexpressionByName("rest"), "x");
}

struct LineEnd {
  const char* name;
  std::string text;
};

class RegExpLineEnds : public testing::TestWithParam<LineEnd> {};

TEST_P(RegExpLineEnds, CountForAnchors) {
  const std::string& eol = GetParam().text;
  // $ holds before a final line end, also without preMultiLine.
  EXPECT_TRUE(Matches("x$", "x" + eol, 0));
  EXPECT_FALSE(Matches("x$", "x" + eol + "y", 0));
  EXPECT_FALSE(Matches("^y", "x" + eol + "y", 0));
  // Inside the subject only with preMultiLine.
  EXPECT_TRUE(Matches("x$", "x" + eol + "y", preMultiLine));
  EXPECT_TRUE(Matches("^y", "x" + eol + "y", preMultiLine));
  EXPECT_TRUE(Matches("^x$", "w" + eol + "x" + eol + "y", preMultiLine));
  // The dot stops at it unless preSingleLine.
  EXPECT_FALSE(Matches("^x.+y$", "x" + eol + "y", 0));
  EXPECT_TRUE(Matches("^x.+y$", "x" + eol + "y", preSingleLine));
}

INSTANTIATE_TEST_SUITE_P(
    RegExpKinds, RegExpLineEnds,
    testing::Values(LineEnd{"CR", "\r"}, LineEnd{"LF", "\n"}, LineEnd{"CRLF", "\r\n"},
                    LineEnd{"VT", "\v"}, LineEnd{"FF", "\f"}, LineEnd{"NEL", "\xC2\x85"},
                    LineEnd{"LS", "\xE2\x80\xA8"}, LineEnd{"PS", "\xE2\x80\xA9"}),
    [](const testing::TestParamInfo<LineEnd>& info) { return std::string(info.param.name); });

TEST(RegExpOptions, EachFlagHasItsEffect) {
  EXPECT_FALSE(Matches("abc", "xABC", 0));
  EXPECT_TRUE(Matches("abc", "xABC", preCaseLess));

  EXPECT_FALSE(Matches("^b$", "a\nb\nc", 0));
  EXPECT_TRUE(Matches("^b$", "a\nb\nc", preMultiLine));

  EXPECT_FALSE(Matches("a.c", "a\nc", 0));
  EXPECT_TRUE(Matches("a.c", "a\nc", preSingleLine));

  EXPECT_FALSE(Matches("a b # note\n c", "abc", 0));
  EXPECT_TRUE(Matches("a b # note\n c", "abc", preExtended));

  EXPECT_TRUE(Matches("b", "ab", 0));
  EXPECT_FALSE(Matches("b", "ab", preAnchored));
  EXPECT_TRUE(Matches("b", "ba", preAnchored));

  auto greedy = CreateRegExp("(?<g>a+)", 0);
  ASSERT_TRUE(greedy->Match("aaa"));
  EXPECT_EQ(greedy->SubexpressionByName("g"), "aaa");
  auto lazy = CreateRegExp("(?<g>a+)", preUnGreedy);
  ASSERT_TRUE(lazy->Match("aaa"));
  EXPECT_EQ(lazy->SubexpressionByName("g"), "a");
  auto lazy_reversed = CreateRegExp("(?<g>a+?)", preUnGreedy);
  ASSERT_TRUE(lazy_reversed->Match("aaa"));
  EXPECT_EQ(lazy_reversed->SubexpressionByName("g"), "aaa");

  // \1 is the plain group, or the named one when plain ones do not capture.
  EXPECT_TRUE(Matches("^(a)(?<n>b)\\1$", "aba", 0));
  EXPECT_FALSE(Matches("^(a)(?<n>b)\\1$", "aba", preNoAutoCapture));
  EXPECT_TRUE(Matches("^(a)(?<n>b)\\1$", "abb", preNoAutoCapture));
}

std::string Groups(int count) {
  std::string pattern;
  for (int i = 0; i < count; ++i) pattern += "(a)";
  return pattern;
}

TEST(RegExpGroups, EveryGroupOfThePatternHasRoom) {
  // Far beyond any fixed vector either program ever had.
  constexpr int kCount = 2000;
  const std::string subject(kCount + 5, 'a');
  EXPECT_TRUE(Matches(Groups(kCount), subject));

  auto last_named = CreateRegExp(Groups(kCount - 1) + "(?<last>a)(b)?");
  ASSERT_TRUE(last_named->Match(subject));
  EXPECT_EQ(last_named->SubexpressionByName("last"), "a");
}

// Both programs raise the same class here: it is the matcher giving up, not
// a bad pattern.
TEST(RegExpMatch, AMatchThePcre2LimitsCutShortRaisesTheirText) {
  auto regexp = CreateRegExp("^(?:(a|a)*c|a*b)$");
  const std::string subject(40, 'a');
  EXPECT_EQ(MatchFailure(*regexp, subject, "ERegularExpressionError"), "match limit exceeded");
  EXPECT_EQ(regexp->Subexpression(1), "");
  // The object stays usable, and a subject the limit allows is decided.
  EXPECT_TRUE(regexp->Match("aab"));
  EXPECT_FALSE(regexp->Match("aa"));

  // The interpreter's own limits end the same way.
  auto shallow = CreateRegExp("(*NO_JIT)(*LIMIT_DEPTH=10)(?:(a)|b)+c");
  EXPECT_EQ(MatchFailure(*shallow, std::string(1000, 'a') + "c", "ERegularExpressionError"),
            "matching depth limit exceeded");
}

TEST(RegExpMatch, DeepBacktrackingStillMatches) {
  // Far beyond what a small fixed JIT stack holds.
  std::string subject(100000, 'a');
  subject += 'x';
  EXPECT_TRUE(Matches("(a|b)*x", subject));
}

TEST(RegExpMatch, ManySubjectsThroughOneObjectAreIndependent) {
  auto regexp = CreateRegExp("^(?<path>[^|]+)\\|(?<size>\\d+)(?:\\|(?<date>\\d{8}))?$");
  std::vector<std::string> subjects;
  for (int i = 0; i < 2000; ++i) {
    std::string subject = "dir/f\xC3\xA9" + std::to_string(i) + "|" + std::to_string(i * 7);
    if (i % 3 == 0) subject += "|2024010" + std::to_string(i % 10);
    if (i % 5 == 0) subject += "|bad";
    subjects.push_back(std::move(subject));
  }
  for (int i = 0; i < 2000; ++i) {
    const bool expected = i % 5 != 0;
    ASSERT_EQ(regexp->Match(subjects[i]), expected) << subjects[i];
    if (!expected) continue;
    EXPECT_EQ(regexp->SubexpressionByName("path"), "dir/f\xC3\xA9" + std::to_string(i));
    EXPECT_EQ(regexp->SubexpressionByName("size"), std::to_string(i * 7));
    std::string_view date = "stale";
    EXPECT_TRUE(regexp->SubexpressionByName("date", date));
    EXPECT_EQ(date, i % 3 == 0 ? "2024010" + std::to_string(i % 10) : "");
  }
}

}  // namespace
}  // namespace hv
