// A compiled regular expression over PCRE2 in UTF-8 mode, with named groups.
// The pattern is compiled at the first Match; a bad pattern is reported there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace hv {

// Option flags; bit i of a RegExpOptions value is flag i.
enum RegExpOption : unsigned {
  preCaseLess = 1u << 0,       // letters match without regard to case
  preMultiLine = 1u << 1,      // ^ and $ also match at line starts and ends
  preSingleLine = 1u << 2,     // the dot also matches line ends
  preExtended = 1u << 3,       // white space and # comments in the pattern ignored
  preAnchored = 1u << 4,       // a match must start at the subject's start
  preUnGreedy = 1u << 5,       // quantifiers lazy unless followed by '?'
  preNoAutoCapture = 1u << 6,  // plain parentheses do not capture
};
using RegExpOptions = unsigned;

inline constexpr RegExpOptions kDefaultRegExpOptions = preCaseLess | preSingleLine;

class RegExp {
 public:
  ~RegExp();
  RegExp(const RegExp&) = delete;
  RegExp& operator=(const RegExp&) = delete;

  // True when the pattern matches somewhere in `subject` (never an empty
  // match). Compiles the pattern first if needed; an empty or invalid pattern
  // throws here, at this and every later call. A match that PCRE2 gives up on
  // (its match, depth or heap limit) throws ERegularExpressionError with
  // PCRE2's text: it is no answer, so it must not pass for "no match". A
  // subject that is not valid UTF-8 does not match. The subject must stay
  // alive while its groups are read.
  bool Match(std::string_view subject) { return Match(subject, false); }
  // The same for a subject the caller knows to be valid UTF-8, which spares
  // PCRE2 its own check of every byte (undefined results otherwise).
  bool Match(std::string_view subject, bool valid_utf8);

  // False when the pattern has no group called `name`. Otherwise true, with
  // `value` the group's text in the last match (empty when the group did not
  // take part or lies beyond what the match set). `value` views the subject
  // passed to the last Match.
  bool SubexpressionByName(std::string_view name, std::string_view& value) const;
  std::string_view SubexpressionByName(std::string_view name) const;

  // The number of the group called `name` (after a first Match), -1 when the
  // pattern has none; and a group's text by number. A caller that reads the
  // same groups of many matches looks the numbers up once.
  int SubexpressionNumber(std::string_view name) const;
  std::string_view Subexpression(int number) const;

  const std::string& Pattern() const { return pattern_; }
  RegExpOptions Options() const { return options_; }

 private:
  struct Compiled;
  RegExp(std::string pattern, RegExpOptions options);
  void Compile();

  std::string pattern_;
  RegExpOptions options_;
  std::unique_ptr<Compiled> compiled_;
  std::string_view subject_;
  int offset_count_ = 0;

  friend std::unique_ptr<RegExp> CreateRegExp(std::string_view, RegExpOptions);
};

// The only way to make a RegExp. Nothing is compiled yet.
std::unique_ptr<RegExp> CreateRegExp(std::string_view pattern,
                                     RegExpOptions options = kDefaultRegExpOptions);

inline void FreeRegExp(std::unique_ptr<RegExp> regexp) { regexp.reset(); }
inline void FreeAndNilRegExp(std::unique_ptr<RegExp>& regexp) { regexp.reset(); }

}  // namespace hv
