#include "engine/hash_item.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/arena.h"
#include "engine/os_path.h"
#include "support/case_fold.h"
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

// Length of the common byte prefix, in wide steps with few branches: paths
// usually part within their first few dozen bytes.
std::size_t CommonPrefix(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  const char* pa = a.data();
  const char* pb = b.data();
#if defined(__SSE2__)
  const auto differ16 = [pa, pb](std::size_t at) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pa + at));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb + at));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFFFu;
  };
  if (limit >= 16) {
    std::size_t i = 0;
    for (; i + 16 <= limit; i += 16) {
      if (const unsigned d = differ16(i)) return i + static_cast<std::size_t>(std::countr_zero(d));
    }
    // The last block overlaps bytes already known to be equal.
    if (i < limit) {
      if (const unsigned d = differ16(limit - 16)) {
        return limit - 16 + static_cast<std::size_t>(std::countr_zero(d));
      }
    }
    return limit;
  }
#endif
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    const auto differ8 = [pa, pb](std::size_t at) {
      uint64_t x;
      uint64_t y;
      std::memcpy(&x, pa + at, 8);
      std::memcpy(&y, pb + at, 8);
      return x ^ y;
    };
    if (limit >= 8) {
      for (; i + 8 <= limit; i += 8) {
        if (const uint64_t d = differ8(i)) return i + static_cast<std::size_t>(std::countr_zero(d) / 8);
      }
      if (i < limit) {
        if (const uint64_t d = differ8(limit - 8)) {
          return limit - 8 + static_cast<std::size_t>(std::countr_zero(d) / 8);
        }
      }
      return limit;
    }
  }
  while (i < limit && pa[i] == pb[i]) ++i;
  return i;
}

// -1, 0 or 1 without a branch: in a sort the outcome is a coin toss, and a
// mispredicted branch here costs as much as the whole comparison.
template <typename T>
int Order(T a, T b) {
  return static_cast<int>(a > b) - static_cast<int>(a < b);
}

char32_t FoldAscii(unsigned c) { return (c - 'A' < 26u) ? c + 32 : c; }

constexpr uint64_t kEveryByte = 0x0101010101010101u;
constexpr uint64_t kHighBits = 0x8080808080808080u;

// Case folding of eight ASCII bytes at once: 0x20 is added to every byte in
// 'A'..'Z'. No byte may have its high bit set, so no sum carries over.
uint64_t FoldAscii8(uint64_t x) {
  const uint64_t at_least_a = x + (0x80 - 'A') * kEveryByte;
  const uint64_t beyond_z = x + (0x80 - 'Z' - 1) * kEveryByte;
  return x | (((at_least_a & ~beyond_z) & kHighBits) >> 2);
}

// The general comparison from `start`, a character boundary in both paths
// before which they are identical; `common` is their common byte prefix.
// Kept out of line so that the common case stays small.
[[gnu::noinline]] int ComparePathsFrom(std::string_view path1, std::string_view path2,
                                       std::size_t start, std::size_t common) {
  std::size_t i = start;
  std::size_t j = start;
  for (;;) {
    if constexpr (std::endian::native == std::endian::little) {
      // Runs of ASCII, eight characters at a time.
      while (i + 8 <= path1.size() && j + 8 <= path2.size()) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, path1.data() + i, 8);
        std::memcpy(&y, path2.data() + j, 8);
        if (((x | y) & kHighBits) != 0) break;
        if (x != y) {
          const uint64_t fx = FoldAscii8(x);
          const uint64_t fy = FoldAscii8(y);
          if (fx != fy) {
            const int shift = std::countr_zero(fx ^ fy) & ~7;
            return Order((fx >> shift) & 0xFF, (fy >> shift) & 0xFF);
          }
        }
        i += 8;
        j += 8;
      }
    }
    if (i >= path1.size() || j >= path2.size()) break;
    const auto b1 = static_cast<unsigned char>(path1[i]);
    const auto b2 = static_cast<unsigned char>(path2[j]);
    char32_t c1;
    char32_t c2;
    if ((b1 | b2) < 0x80) {
      c1 = b1;
      c2 = b2;
      ++i;
      ++j;
    } else {
      c1 = DecodeUtf8(path1, i);
      c2 = DecodeUtf8(path2, j);
    }
    if (c1 != c2) {
      const char32_t f1 = SimpleCaseFold(c1);
      const char32_t f2 = SimpleCaseFold(c2);
      if (f1 != f2) return Order(f1, f2);
    }
  }
  const bool end1 = i == path1.size();
  const bool end2 = j == path2.size();
  if (end1 != end2) return end1 ? -1 : 1;

  // Equal but for case: the first differing byte decides, which for UTF-8
  // is the code-point order.
  if (common < path1.size() && common < path2.size()) {
    return Order(static_cast<unsigned char>(path1[common]),
                 static_cast<unsigned char>(path2[common]));
  }
  return Order(path1.size(), path2.size());
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
  const std::string_view path_ = Path();
  const std::string_view hash_ = Hash();
  const auto quotes = static_cast<std::size_t>(std::count(path_.begin(), path_.end(), '"'));
  const std::size_t path_width = Utf16Length(path_) + 2 + quotes;
  const std::size_t path_padding = path_width < kPathFieldWidth ? kPathFieldWidth - path_width : 0;

  char size_text[24];
  const char* size_end = std::to_chars(size_text, size_text + sizeof size_text, size_).ptr;
  const auto size_length = static_cast<std::size_t>(size_end - size_text);
  const std::size_t size_padding =
      size_length < kSizeFieldWidth ? kSizeFieldWidth - size_length : 0;

  std::string line;
  line.reserve(path_.size() + quotes + 2 + path_padding + 1 + 23 + 1 + size_padding + size_length +
               1 + hash_.size());
  AppendQuoted(line, path_);
  line.append(path_padding, ' ');
  line.push_back(' ');
  if (date_ > 0) AppendHashListDate(line, date_);
  line.push_back(' ');
  line.append(size_padding, ' ');
  line.append(size_text, size_length);
  line.push_back(' ');
  line.append(hash_);
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

int ComparePaths(std::string_view path1, std::string_view path2) {
  const std::size_t common = CommonPrefix(path1, path2);
  const bool at_boundary = common == 0 || static_cast<unsigned char>(path1[common - 1]) < 0x80;
  if (at_boundary) {
    // The usual case: the paths part at an ASCII character, or one ends.
    const bool more1 = common < path1.size();
    const bool more2 = common < path2.size();
    if (more1 && more2) {
      const auto b1 = static_cast<unsigned char>(path1[common]);
      const auto b2 = static_cast<unsigned char>(path2[common]);
      if ((b1 | b2) < 0x80) {
        const char32_t f1 = FoldAscii(b1);
        const char32_t f2 = FoldAscii(b2);
        if (f1 != f2) return Order(f1, f2);
      }
    } else {
      return more1 ? 1 : (more2 ? -1 : 0);
    }
  }
  // Restart at a character boundary: the byte before it is ASCII (or there
  // is none), and the bytes before `common` are the same in both.
  std::size_t start = common;
  while (start > 0 && static_cast<unsigned char>(path1[start - 1]) >= 0x80) --start;
  return ComparePathsFrom(path1, path2, start, common);
}

int CompareByPath(const HashItem& item1, const HashItem& item2) {
  return ComparePaths(item1.Path(), item2.Path());
}

int CompareHashAndSize(std::string_view hash1, int64_t size1, std::string_view hash2,
                       int64_t size2) {
  if (hash1 != hash2) {
    const std::size_t limit = std::min(hash1.size(), hash2.size());
    const int bytes = limit == 0 ? 0 : std::memcmp(hash1.data(), hash2.data(), limit);
    if (bytes != 0) return Order(bytes, 0);
    return Order(hash1.size(), hash2.size());
  }
  return Order(size1, size2);
}

int CompareByHash(const HashItem& item1, const HashItem& item2) {
  return CompareHashAndSize(item1.Hash(), item1.Size(), item2.Hash(), item2.Size());
}

}  // namespace hv
