#include "engine/hash_item.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "engine/arena.h"
#include "engine/os_path.h"
#include "support/reg_exp.h"
#include "support/utf8.h"

namespace hv {

namespace {

constexpr char kLinePattern[] =
    "^\\s*\"(?P<PATH>[^\"]+)\"\\s+(?P<DATE>(?P<YEAR>[0-9]{4})-(?P<MONTH>[0-9]{2})-(?P<DAY>[0-9]{2})T(?P<HOUR>[0-9]{2}):(?P<MINUTE>[0-9]{2}):(?P<SECOND>[0-9]{2})(?:\\.(?P<MILLISECOND>[0-9]{3}))?\\s+)?(?P<SIZE>-?[0-9]+)\\s+(?P<HASH>[0-9a-zA-Z+/=]+)\\s*$";

constexpr char kInvalidLine[] = "Invalid AsString input.";
constexpr std::size_t kPathFieldWidth = 80;
constexpr std::size_t kSizeFieldWidth = 10;

// Compiled once and reused for every line of every list; its match state
// makes line parsing a one-thread affair.
RegExp& LineRegExp() {
  static const std::unique_ptr<RegExp> regexp = CreateRegExp(kLinePattern);
  return *regexp;
}

// The numbers of the line's named groups, looked up once (after the first
// match has compiled the pattern) instead of by name for every line.
struct LineGroups {
  int path, date, year, month, day, hour, minute, second, millisecond, size, hash;
};

const LineGroups& Groups(const RegExp& regexp) {
  static const LineGroups groups{
      regexp.SubexpressionNumber("PATH"),   regexp.SubexpressionNumber("DATE"),
      regexp.SubexpressionNumber("YEAR"),   regexp.SubexpressionNumber("MONTH"),
      regexp.SubexpressionNumber("DAY"),    regexp.SubexpressionNumber("HOUR"),
      regexp.SubexpressionNumber("MINUTE"), regexp.SubexpressionNumber("SECOND"),
      regexp.SubexpressionNumber("MILLISECOND"), regexp.SubexpressionNumber("SIZE"),
      regexp.SubexpressionNumber("HASH")};
  return groups;
}

// The groups hold only ASCII digits, as the pattern makes sure.
int SmallNumber(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

int64_t ParseSize(std::string_view text) {
  int64_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last) {
    std::string message = "''";
    message.append(text);
    message.append("'' is not a valid integer value");
    throw EConvertError(std::move(message));
  }
  return value;
}

const char* StatePrefix(HashState state) {
  switch (state) {
    case hsOK: return "MATCHED\t";
    case hsNew: return "ADDED\t";
    case hsChanged: return "CHANGED\t";
    case hsDeleted: return "DELETED\t";
    case hsCopied: return "COPIED\t";
    case hsRenamed: return "RENAMED\t";
    case hsUnchecked: return "";
  }
  return "MATCHED\t";
}

// Every base directory once for the whole process; entries keep its number.
// Id 0 is the empty base path.
class BasePathTable {
 public:
  uint32_t Intern(std::string_view path) {
    if (path.empty()) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto it = ids_.find(path); it != ids_.end()) return it->second;
    paths_.push_back(std::make_unique<const std::string>(path));
    const auto id = static_cast<uint32_t>(paths_.size() - 1);
    ids_.emplace(*paths_.back(), id);
    return id;
  }

  const std::string& Get(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return *paths_[id];
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<const std::string>> paths_ = [] {
    std::vector<std::unique_ptr<const std::string>> paths;
    paths.push_back(std::make_unique<const std::string>());
    return paths;
  }();
  std::unordered_map<std::string_view, uint32_t> ids_;
};

BasePathTable& BasePaths() {
  static BasePathTable table;
  return table;
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view path) {
  out.push_back('"');
  for (std::size_t start = 0;;) {
    const std::size_t quote = path.find('"', start);
    if (quote == std::string_view::npos) {
      out.append(path.substr(start));
      break;
    }
    out.append(path.substr(start, quote + 1 - start));
    out.push_back('"');
    start = quote + 1;
  }
  out.push_back('"');
}

HashItem::~HashItem() { FreeText(); }

void HashItem::FreeText() {
  if (text_owned_) std::free(text_);
  text_ = nullptr;
  text_owned_ = false;
  path_length_ = 0;
  hash_length_ = 0;
}

void HashItem::SetText(std::string_view path, std::string_view hash, Arena* arena) {
  const size_t length = path.size() + hash.size();
  char* text = nullptr;
  if (length > 0) {
    text = static_cast<char*>(arena != nullptr ? arena->Allocate(length, 1) : std::malloc(length));
    if (text == nullptr) throw std::bad_alloc();
    // `path` or `hash` may point into the old block, so copy before freeing.
    if (!path.empty()) std::memcpy(text, path.data(), path.size());
    if (!hash.empty()) std::memcpy(text + path.size(), hash.data(), hash.size());
  }
  FreeText();
  text_ = text;
  text_owned_ = text != nullptr && arena == nullptr;
  path_length_ = static_cast<uint32_t>(path.size());
  hash_length_ = static_cast<uint32_t>(hash.size());
}

void HashItem::Clear() {
  base_path_id_ = 0;
  FreeText();
  size_ = -1;
  date_ = 0;
  state_ = hsOK;
  related_ = nullptr;
}

void HashItem::Assign(const HashItem& source) {
  if (&source == this) return;
  base_path_id_ = source.base_path_id_;
  SetText(source.Path(), source.Hash(), nullptr);
  size_ = source.size_;
  date_ = source.date_;
  state_ = source.state_;
  related_ = source.related_;
}

const std::string& HashItem::BasePath() const { return BasePaths().Get(base_path_id_); }

void HashItem::SetBasePath(std::string_view base_path) { base_path_id_ = BasePaths().Intern(base_path); }

std::string HashItem::FileName() const { return OsPath(BasePath(), Path()); }

std::string HashItem::QuotedPath() const {
  const std::string_view path = Path();
  std::string quoted;
  quoted.reserve(path.size() + 2);
  AppendQuoted(quoted, path);
  return quoted;
}

std::string HashItem::AsString() const {
  const std::string_view path = Path();
  const std::string_view hash = Hash();
  const auto quotes = static_cast<std::size_t>(std::count(path.begin(), path.end(), '"'));
  const std::size_t path_width = Utf16Length(path) + 2 + quotes;
  const std::size_t path_padding = path_width < kPathFieldWidth ? kPathFieldWidth - path_width : 0;

  char size_text[24];
  const char* size_end = std::to_chars(size_text, size_text + sizeof size_text, size_).ptr;
  const auto size_length = static_cast<std::size_t>(size_end - size_text);
  const std::size_t size_padding =
      size_length < kSizeFieldWidth ? kSizeFieldWidth - size_length : 0;

  std::string line;
  line.reserve(path.size() + quotes + 2 + path_padding + 1 + 23 + 1 + size_padding + size_length +
               1 + hash.size());
  AppendQuoted(line, path);
  line.append(path_padding, ' ');
  line.push_back(' ');
  if (date_ > 0) AppendHashListDate(line, date_);
  line.push_back(' ');
  line.append(size_padding, ' ');
  line.append(size_text, size_length);
  line.push_back(' ');
  line.append(hash);
  return line;
}

void HashItem::SetAsString(std::string_view line, Arena* arena, bool valid_utf8) {
  Clear();
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());

  RegExp& regexp = LineRegExp();
  if (!regexp.Match(line, valid_utf8)) throw EHashItemError(kInvalidLine);

  const LineGroups& g = Groups(regexp);
  const std::string_view path = regexp.Subexpression(g.path);
  try {
    if (!regexp.Subexpression(g.date).empty()) {
      const DateTime date = EncodeDate(SmallNumber(regexp.Subexpression(g.year)),
                                       SmallNumber(regexp.Subexpression(g.month)),
                                       SmallNumber(regexp.Subexpression(g.day)));
      const DateTime time = EncodeTime(SmallNumber(regexp.Subexpression(g.hour)),
                                       SmallNumber(regexp.Subexpression(g.minute)),
                                       SmallNumber(regexp.Subexpression(g.second)),
                                       SmallNumber(regexp.Subexpression(g.millisecond)));
      date_ = date + time;
    }
    size_ = ParseSize(regexp.Subexpression(g.size));
  } catch (...) {
    // A bad date or size still leaves the path read.
    SetText(path, {}, nullptr);
    throw;
  }
  SetText(path, regexp.Subexpression(g.hash), arena);
}

std::string HashItem::BuildOutput(bool detailed) const {
  return detailed ? AsString() : QuotedPath();
}

std::string HashItem::MatchOutput(bool detailed) const {
  std::string line = StatePrefix(state_);
  if (detailed) {
    line.append(AsString());
  } else {
    AppendQuoted(line, Path());
  }
  if ((state_ == hsCopied || state_ == hsRenamed) && related_ != nullptr) {
    line.append("\tfrom\t");
    AppendQuoted(line, related_->Path());
  }
  return line;
}

}  // namespace hv
