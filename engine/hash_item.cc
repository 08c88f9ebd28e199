#include "engine/hash_item.h"

#include <algorithm>
#include <array>
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

// The classes of characters the line pattern knows. Blanks are what its \s
// stands for (PCRE2 without Unicode properties): HT, LF, VT, FF, CR and the
// blank.
enum CharClass : uint8_t { kBlank = 1, kDigit = 2, kHashLetter = 4 };

constexpr std::array<uint8_t, 256> kCharClasses = [] {
  std::array<uint8_t, 256> classes{};
  for (const char c : std::string_view(" \t\n\v\f\r")) classes[static_cast<uint8_t>(c)] = kBlank;
  for (int c = '0'; c <= '9'; ++c) classes[static_cast<size_t>(c)] = kDigit | kHashLetter;
  for (int c = 'a'; c <= 'z'; ++c) classes[static_cast<size_t>(c)] = kHashLetter;
  for (int c = 'A'; c <= 'Z'; ++c) classes[static_cast<size_t>(c)] = kHashLetter;
  for (const char c : std::string_view("+/=")) classes[static_cast<uint8_t>(c)] = kHashLetter;
  return classes;
}();

bool IsA(CharClass char_class, char c) { return (kCharClasses[static_cast<uint8_t>(c)] & char_class) != 0; }

// Reads the characters of the line one field at a time, by hand.
class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  bool AtEnd() const { return p_ == end_; }
  const char* Position() const { return p_; }
  void MoveTo(const char* p) { p_ = p; }
  bool Take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  // Blanks, and whether there was at least one. The writer pads with long
  // runs of them, which are passed eight at a time.
  bool SkipBlanks() {
    const char* start = p_;
    constexpr uint64_t kEightBlanks = 0x2020202020202020u;
    while (end_ - p_ >= 8) {
      uint64_t eight;
      std::memcpy(&eight, p_, sizeof eight);
      if (eight != kEightBlanks) break;
      p_ += 8;
    }
    while (p_ != end_ && IsA(kBlank, *p_)) ++p_;
    return p_ != start;
  }
  // Exactly `count` digits.
  bool Digits(size_t count, std::string_view& digits) {
    if (static_cast<size_t>(end_ - p_) < count) return false;
    for (size_t i = 0; i < count; ++i) {
      if (!IsA(kDigit, p_[i])) return false;
    }
    digits = {p_, count};
    p_ += count;
    return true;
  }
  // One or more characters of a class.
  bool Run(CharClass char_class, std::string_view& run) {
    const char* start = p_;
    while (p_ != end_ && IsA(char_class, *p_)) ++p_;
    run = {start, static_cast<size_t>(p_ - start)};
    return p_ != start;
  }
  // The text up to the next double quote, which is passed.
  bool UpToQuote(std::string_view& text) {
    const void* quote = std::memchr(p_, '"', static_cast<size_t>(end_ - p_));
    if (quote == nullptr) return false;
    text = {p_, static_cast<size_t>(static_cast<const char*>(quote) - p_)};
    p_ = static_cast<const char*>(quote) + 1;
    return true;
  }

 private:
  const char* p_;
  const char* end_;
};

// The date group with the blanks after it: YYYY-MM-DDTHH:MM:SS, maybe .mmm.
bool SplitDate(LineCursor& in, HashLineFields& fields) {
  if (!in.Digits(4, fields.year) || !in.Take('-') || !in.Digits(2, fields.month) || !in.Take('-') ||
      !in.Digits(2, fields.day) || !(in.Take('T') || in.Take('t')) || !in.Digits(2, fields.hour) ||
      !in.Take(':') || !in.Digits(2, fields.minute) || !in.Take(':') || !in.Digits(2, fields.second)) {
    return false;
  }
  if (in.Take('.') && !in.Digits(3, fields.millisecond)) return false;
  return in.SkipBlanks();
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

// Base64 characters in byte order, so that their ranks order as they do.
constexpr std::string_view kBase64InByteOrder =
    "+/0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
// The last character of a digest's text holds its last two bits.
constexpr std::string_view kLastDigestCharacters = "AQgw";
constexpr size_t kDigestCharacters = 22;

constexpr std::array<int8_t, 256> kBase64Ranks = [] {
  std::array<int8_t, 256> ranks{};
  ranks.fill(-1);
  for (size_t i = 0; i < kBase64InByteOrder.size(); ++i) {
    ranks[static_cast<uint8_t>(kBase64InByteOrder[i])] = static_cast<int8_t>(i);
  }
  return ranks;
}();

}  // namespace

// Every byte of an entry counts a million times over in a loaded list.
static_assert(sizeof(void*) != 8 || sizeof(HashItem) == 40);

// The 21 ranks of six bits and the last character's two bits make a
// 128-bit number, stored big-endian.
bool PackHash(std::string_view text, unsigned char* packed) {
  if (text.size() != kPackedHashTextLength || text[22] != '=' || text[23] != '=') return false;
  const size_t last = kLastDigestCharacters.find(text[21]);
  if (last == std::string_view::npos) return false;
  // The first ten characters fill the high half but four bits; the
  // eleventh straddles both halves.
  const auto rank = [&text](size_t i) {
    return static_cast<uint64_t>(kBase64Ranks[static_cast<uint8_t>(text[i])]);
  };
  uint64_t high = 0;
  uint64_t low = 0;
  uint64_t invalid = 0;
  for (size_t i = 0; i < 10; ++i) {
    invalid |= rank(i);
    high = (high << 6) | (rank(i) & 63);
  }
  for (size_t i = 11; i + 1 < kDigestCharacters; ++i) {
    invalid |= rank(i);
    low = (low << 6) | (rank(i) & 63);
  }
  invalid |= rank(10);
  // A character outside the alphabet has rank -1, all bits set.
  if ((invalid & 64) != 0) return false;
  high = (high << 4) | (rank(10) >> 2);
  low = ((rank(10) & 3) << 62) | (low << 2) | last;
  for (size_t i = 0; i < 8; ++i) {
    packed[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
    packed[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
  }
  return true;
}

void UnpackHash(const unsigned char* packed, char* text, size_t count) {
  uint64_t high = 0;
  uint64_t low = 0;
  for (size_t i = 0; i < 8; ++i) {
    high = (high << 8) | packed[i];
    low = (low << 8) | packed[8 + i];
  }
  // Character i < 21 is the six bits from bit 6i on, counted from the top:
  // the first ten lie in the high half, the eleventh straddles both.
  constexpr size_t kInHigh = 10;
  const size_t in_high = std::min(count, kInHigh);
  for (size_t i = 0; i < in_high; ++i) text[i] = kBase64InByteOrder[(high >> (58 - 6 * i)) & 63];
  if (count <= kInHigh) return;
  text[kInHigh] = kBase64InByteOrder[((high & 15) << 2) | (low >> 62)];
  for (size_t i = kInHigh + 1; i < count && i + 1 < kDigestCharacters; ++i) {
    text[i] = kBase64InByteOrder[(low >> (122 - 6 * i)) & 63];
  }
  if (count >= kDigestCharacters) text[kDigestCharacters - 1] = kLastDigestCharacters[low & 3];
  for (size_t i = kDigestCharacters; i < count; ++i) text[i] = '=';
}

bool MatchHashLine(std::string_view line, bool valid_utf8, HashLineFields& fields) {
  RegExp& regexp = LineRegExp();
  if (!regexp.Match(line, valid_utf8)) return false;
  const LineGroups& g = Groups(regexp);
  fields.path = regexp.Subexpression(g.path);
  fields.has_date = !regexp.Subexpression(g.date).empty();
  fields.year = regexp.Subexpression(g.year);
  fields.month = regexp.Subexpression(g.month);
  fields.day = regexp.Subexpression(g.day);
  fields.hour = regexp.Subexpression(g.hour);
  fields.minute = regexp.Subexpression(g.minute);
  fields.second = regexp.Subexpression(g.second);
  fields.millisecond = regexp.Subexpression(g.millisecond);
  fields.size = regexp.Subexpression(g.size);
  fields.hash = regexp.Subexpression(g.hash);
  return true;
}

bool SplitHashLine(std::string_view line, bool valid_utf8, HashLineFields& fields) {
  fields = HashLineFields();
  LineCursor in(line);
  in.SkipBlanks();
  // The path is whatever stands between the first two quotes; the pattern
  // wants it valid UTF-8, which only ASCII is without a look.
  if (!in.Take('"') || !in.UpToQuote(fields.path) || fields.path.empty()) return false;
  if (!valid_utf8) {
    for (const char c : fields.path) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
  }
  if (!in.SkipBlanks()) return false;
  // Without the date, the size stands where the date would begin. The
  // pattern tries the date first and takes it once it is whole; it never
  // finds another way after that, as a size cannot be followed by a '-'.
  const char* after_path = in.Position();
  fields.has_date = SplitDate(in, fields);
  if (!fields.has_date) {
    const std::string_view path = fields.path;
    fields = HashLineFields();
    fields.path = path;
    in.MoveTo(after_path);
  }
  const char* size_start = in.Position();
  in.Take('-');
  std::string_view digits;
  if (!in.Run(kDigit, digits)) return false;
  fields.size = {size_start, static_cast<size_t>(in.Position() - size_start)};
  if (!in.SkipBlanks() || !in.Run(kHashLetter, fields.hash)) return false;
  in.SkipBlanks();
  return in.AtEnd();
}

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
  if (text_owned_) std::free(text_ - (long_lengths_ ? kLongLengthsSize : 0));
  text_ = nullptr;
  text_owned_ = false;
  packed_hash_ = false;
  long_lengths_ = false;
  path_length_ = 0;
  hash_length_ = 0;
}

void HashItem::SetText(std::string_view path, std::string_view hash, Arena* arena) {
  unsigned char packed[kPackedHashSize];
  const bool pack = PackHash(hash, packed);
  const std::string_view stored =
      pack ? std::string_view(reinterpret_cast<const char*>(packed), sizeof packed) : hash;
  const bool long_lengths = path.size() > kShortPathLimit || (!pack && hash.size() > kShortHashLimit);
  const size_t header = long_lengths ? kLongLengthsSize : 0;
  const size_t length = header + path.size() + stored.size();
  char* text = nullptr;
  if (length > 0) {
    char* block = static_cast<char*>(arena != nullptr ? arena->Allocate(length, 1) : std::malloc(length));
    if (block == nullptr) throw std::bad_alloc();
    if (long_lengths) {
      const uint32_t lengths[2] = {static_cast<uint32_t>(path.size()), static_cast<uint32_t>(stored.size())};
      std::memcpy(block, lengths, sizeof lengths);
    }
    text = block + header;
    // `path` or `hash` may point into the old block, so copy before freeing.
    if (!path.empty()) std::memcpy(text, path.data(), path.size());
    if (!stored.empty()) std::memcpy(text + path.size(), stored.data(), stored.size());
  }
  FreeText();
  text_ = text;
  text_owned_ = text != nullptr && arena == nullptr;
  packed_hash_ = pack;
  long_lengths_ = long_lengths;
  path_length_ = long_lengths ? 0 : static_cast<uint32_t>(path.size());
  hash_length_ = long_lengths || pack ? 0 : static_cast<uint32_t>(hash.size());
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
  // The text block is copied as it is, a packed hash packed.
  const size_t header = source.long_lengths_ ? kLongLengthsSize : 0;
  const size_t length =
      header + source.PathLength() + (source.packed_hash_ ? kPackedHashSize : source.HashLength());
  char* block = nullptr;
  if (length > 0) {
    block = static_cast<char*>(std::malloc(length));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, source.text_ - header, length);
  }
  FreeText();
  text_ = block != nullptr ? block + header : nullptr;
  text_owned_ = block != nullptr;
  packed_hash_ = source.packed_hash_;
  long_lengths_ = source.long_lengths_;
  path_length_ = source.path_length_;
  hash_length_ = source.hash_length_;
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
  std::string line;
  AppendAsString(line);
  return line;
}

void HashItem::AppendAsString(std::string& out) const {
  const std::string_view path = Path();
  const HashText hash_text = Hash();
  const std::string_view hash = hash_text;
  const auto quotes = static_cast<std::size_t>(std::count(path.begin(), path.end(), '"'));
  const std::size_t path_width = Utf16Length(path) + 2 + quotes;
  const std::size_t path_padding = path_width < kPathFieldWidth ? kPathFieldWidth - path_width : 0;

  char size_text[24];
  const char* size_end = std::to_chars(size_text, size_text + sizeof size_text, size_).ptr;
  const auto size_length = static_cast<std::size_t>(size_end - size_text);
  const std::size_t size_padding =
      size_length < kSizeFieldWidth ? kSizeFieldWidth - size_length : 0;

  out.reserve(out.size() + path.size() + quotes + 2 + path_padding + 1 + 23 + 1 + size_padding + size_length +
              1 + hash.size());
  AppendQuoted(out, path);
  out.append(path_padding, ' ');
  out.push_back(' ');
  if (date_ > 0) AppendHashListDate(out, date_);
  out.push_back(' ');
  out.append(size_padding, ' ');
  out.append(size_text, size_length);
  out.push_back(' ');
  out.append(hash);
}

void HashItem::SetAsString(std::string_view line, Arena* arena, bool valid_utf8) {
  Clear();
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());

  HashLineFields fields;
  if (!SplitHashLine(line, valid_utf8, fields) && !MatchHashLine(line, valid_utf8, fields)) {
    throw EHashItemError(kInvalidLine);
  }
  try {
    if (fields.has_date) {
      const DateTime date =
          EncodeDate(SmallNumber(fields.year), SmallNumber(fields.month), SmallNumber(fields.day));
      const DateTime time = EncodeTime(SmallNumber(fields.hour), SmallNumber(fields.minute),
                                       SmallNumber(fields.second), SmallNumber(fields.millisecond));
      date_ = date + time;
    }
    size_ = ParseSize(fields.size);
  } catch (...) {
    // A bad date or size still leaves the path read.
    SetText(fields.path, {}, nullptr);
    throw;
  }
  SetText(fields.path, fields.hash, arena);
}

std::string HashItem::BuildOutput(bool detailed) const {
  return detailed ? AsString() : QuotedPath();
}

std::string HashItem::MatchOutput(bool detailed) const {
  std::string line;
  AppendMatchOutput(line, detailed);
  return line;
}

void HashItem::AppendMatchOutput(std::string& out, bool detailed) const {
  // The console's line shows control characters in names as \xNN; the
  // output file's line keeps every name exact, since scripts read it back.
  const auto append_path = [&out, detailed](std::string_view path) {
    if (detailed) {
      AppendQuoted(out, path);
    } else {
      AppendQuoted(out, DisplayUtf8(path));
    }
  };
  out.append(StatePrefix(State()));
  if (detailed) {
    AppendAsString(out);
  } else {
    append_path(Path());
  }
  if ((State() == hsCopied || State() == hsRenamed) && related_ != nullptr) {
    out.append("\tfrom\t");
    append_path(related_->Path());
  }
}

}  // namespace hv
