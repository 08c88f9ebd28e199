// Include and exclude rules. Rules test paths relative to their base
// directory, as stored in hash lists (sub\file.txt); the last rule that
// matches decides.
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/verify.h"
#include "support/utf8.h"

namespace hv {

std::unique_ptr<RegExp> CreateMaskRegExp(std::string_view pattern) {
  return CreateRegExp(pattern, preCaseLess | preSingleLine);
}

std::string WildcardToPattern(std::string_view mask) {
  // A directory or drive part of a mask is dropped: sub\*.txt acts as *.txt.
  const size_t cut = mask.find_last_of("\\:");
  if (cut != std::string_view::npos) mask.remove_prefix(cut + 1);

  std::string pattern = "^";
  pattern.reserve(mask.size() * 3 + 8);
  // A star before the last one takes the first place where the text up to
  // the next star fits, and keeps it: a later place could only leave less
  // room for the rest. With a plain ".*" for every star the matcher tries
  // every split of the path among them and, on long paths, gives up.
  bool in_group = false;
  size_t i = 0;
  while (i < mask.size()) {
    // Each character stands alone in a class, so whatever it means in a
    // pattern it matches literally; a multi-byte character stays whole.
    const size_t start = i;
    DecodeUtf8(mask, i);
    const std::string_view c = mask.substr(start, i - start);
    if (c == "*") {
      // A run of stars means what one star does.
      i = std::min(mask.find_first_not_of('*', start), mask.size());
      if (in_group) pattern += ')';
      in_group = mask.find('*', i) != std::string_view::npos;
      pattern += in_group ? "(?>.*?" : ".*";
    } else if (c == "?") {
      pattern += '.';
    } else if (c == "]") {
      pattern += "\\]";
    } else if (c == "^") {
      pattern += "\\^";
    } else {
      pattern += '[';
      pattern += c;
      pattern += ']';
    }
  }
  pattern += '$';
  return pattern;
}

std::unique_ptr<RegExp> WildcardToRegExp(std::string_view mask) {
  return CreateMaskRegExp(WildcardToPattern(mask));
}

void Verify::ClearIncludeExcludeMasks() { include_exclude_list_.clear(); }

void Verify::AddIncludeExcludeMask(const std::string& mask, IncludeExcludeMask mask_type) {
  const bool include = mask_type == iemInclude || mask_type == iemIncludeRegExp;
  if (include_exclude_list_.empty()) {
    // The first rule decides what a path that no rule matches is: with an
    // include first, everything else is excluded, and the other way round.
    include_exclude_list_.push_back(Rule{!include, CreateMaskRegExp(".*")});
  }
  const bool wildcard = mask_type == iemInclude || mask_type == iemExclude;
  include_exclude_list_.push_back(
      Rule{include, wildcard ? WildcardToRegExp(mask) : CreateMaskRegExp(mask)});
}

bool Verify::IsIncludedBy(std::vector<Rule>& rules, const std::string& path) {
  bool included = true;
  // Every rule is tried, so a bad expression fails at the first path tested.
  for (Rule& rule : rules) {
    if (rule.regexp->Match(path)) included = rule.include;
  }
  return included;
}

bool Verify::IsIncluded(const std::string& path) { return IsIncludedBy(include_exclude_list_, path); }

std::function<bool(const std::string&)> Verify::RulesForAnotherThread() const {
  auto rules = std::make_shared<std::vector<Rule>>();
  for (const Rule& rule : include_exclude_list_) {
    rules->push_back(Rule{rule.include, CreateRegExp(rule.regexp->Pattern(), rule.regexp->Options())});
  }
  return [rules](const std::string& path) { return IsIncludedBy(*rules, path); };
}

void Verify::FilterList(HashList& list) {
  // Without rules every path is included.
  if (include_exclude_list_.empty()) return;
  std::string path;
  list.DeleteWhere([this, &path](const HashItem& item) {
    path.assign(item.Path());
    return !IsIncluded(path);
  });
}

}  // namespace hv
