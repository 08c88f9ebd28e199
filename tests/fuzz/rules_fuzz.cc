// Include and exclude rules. The input is lines; the first byte of each, modulo
// 5, says what the rest is: 0-3 a rule of that IncludeExcludeMask kind ('d' to
// 'g' in the corpus), 4 a path to test ('h'). A rule whose expression is bad
// may raise only hv::Exception. Wildcard masks of valid UTF-8 always give good
// expressions, each matches its own text, and each matches what the plain
// translation (every star a ".*") matches.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/verify.h"
#include "fuzz/fuzz_check.h"
#include "support/exceptions.h"
#include "support/reg_exp.h"
#include "support/utf8.h"

namespace {

// Few rules and paths, short paths: a pathological expression may take the
// matcher's whole step limit, which is the user's choice, not a fault.
constexpr int kMaxRules = 8;
constexpr int kMaxPaths = 16;
constexpr size_t kMaxPathLength = 256;

// Masks with at most this many stars, tested on paths at most this long, are
// also matched through the plain translation (every star a ".*"), which then
// stays far below the matcher's step limit.
constexpr int kMaxPlainStars = 3;
constexpr size_t kMaxPlainPathLength = 32;

class RuleTester : public hv::Verify {
 public:
  using Verify::IsIncluded;
};

std::string_view NameOf(std::string_view mask) {
  const size_t cut = mask.find_last_of("\\:");
  return cut == std::string_view::npos ? mask : mask.substr(cut + 1);
}

std::string PlainPattern(std::string_view name) {
  std::string pattern = "^";
  for (size_t i = 0; i < name.size();) {
    const size_t start = i;
    hv::DecodeUtf8(name, i);
    const std::string_view c = name.substr(start, i - start);
    if (c == "*") {
      pattern += ".*";
    } else if (c == "?") {
      pattern += '.';
    } else if (c == "]" || c == "^") {
      pattern += '\\';
      pattern += c;
    } else {
      pattern += '[';
      pattern += c;
      pattern += ']';
    }
  }
  return pattern + "$";
}

struct Wildcard {
  std::unique_ptr<hv::RegExp> regexp;
  std::unique_ptr<hv::RegExp> plain;
};

// Null when the mask is no UTF-8 or has too many stars to compare.
std::unique_ptr<Wildcard> CheckWildcard(std::string_view mask) {
  const std::string pattern = hv::WildcardToPattern(mask);
  HV_FUZZ_CHECK(pattern.starts_with('^') && pattern.ends_with('$'));
  const std::string_view name = NameOf(mask);
  if (!hv::IsValidUtf8(name)) return nullptr;
  if (!name.empty()) HV_FUZZ_CHECK(hv::WildcardToRegExp(mask)->Match(name));
  if (std::count(name.begin(), name.end(), '*') > kMaxPlainStars) return nullptr;
  return std::make_unique<Wildcard>(
      Wildcard{hv::WildcardToRegExp(mask), hv::CreateMaskRegExp(PlainPattern(name))});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  RuleTester verify;
  verify.Clear();
  int rules = 0;
  int paths = 0;
  // Only expressions from the input, and masks that are no UTF-8, may be bad.
  bool may_fail = false;
  std::vector<std::unique_ptr<Wildcard>> wildcards;
  for (size_t start = 0; start < input.size();) {
    const size_t end = std::min(input.find('\n', start), input.size());
    const std::string_view line = input.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const std::string text(line.substr(1));
    const unsigned kind = static_cast<uint8_t>(line[0]) % 5u;
    if (kind < 4) {
      if (++rules > kMaxRules) continue;
      const auto type = static_cast<hv::IncludeExcludeMask>(kind);
      if (type == hv::iemInclude || type == hv::iemExclude) {
        if (auto wildcard = CheckWildcard(text)) wildcards.push_back(std::move(wildcard));
        may_fail = may_fail || !hv::IsValidUtf8(text);
        verify.AddIncludeExcludeMask(text, type);
      } else {
        may_fail = true;
        // Bounds the matcher's backtracking, which is not ours to test.
        verify.AddIncludeExcludeMask("(*LIMIT_MATCH=200000)" + text, type);
      }
    } else {
      if (++paths > kMaxPaths || text.size() > kMaxPathLength) continue;
      if (text.size() <= kMaxPlainPathLength) {
        for (const auto& wildcard : wildcards) {
          HV_FUZZ_CHECK(wildcard->regexp->Match(text) == wildcard->plain->Match(text));
        }
      }
      try {
        verify.IsIncluded(text);
      } catch (const hv::Exception&) {
        HV_FUZZ_CHECK(may_fail);
      }
    }
  }
  return 0;
}
