// One entry of a hash list: a file named by its path relative to a base
// directory, with size, last-write time (UTC), the Base64 text of its MD4
// digest, its classification after a comparison and the entry it was paired
// with. Also the two text forms of an entry: the hash-list line and the
// result lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "engine/progress.h"
#include "support/date_time.h"
#include "support/exceptions.h"

namespace hv {

enum HashState : uint8_t {
  hsOK,
  hsNew,
  hsChanged,
  hsDeleted,
  hsCopied,
  hsRenamed,
  // A loaded entry whose file (or a directory above it) could not be read:
  // kept as it was, counted as present, never a result of its own.
  hsUnchecked,
};

// A set of HashState values in one byte, bit n for the state of value n.
class HashStates {
 public:
  constexpr HashStates() = default;
  constexpr HashStates(std::initializer_list<HashState> states) {
    for (HashState s : states) Include(s);
  }
  constexpr bool Contains(HashState s) const { return (bits_ >> s) & 1u; }
  constexpr void Include(HashState s) { bits_ = static_cast<uint8_t>(bits_ | (1u << s)); }
  constexpr void Exclude(HashState s) { bits_ = static_cast<uint8_t>(bits_ & ~(1u << s)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const HashStates&) const = default;

 private:
  uint8_t bits_ = 0;
};

HV_DECLARE_EXCEPTION(EHashItemError, EConvertError);

// Appends `path` in double quotes, inner quotes doubled, as the lines of a
// hash list and of the results write it.
void AppendQuoted(std::string& out, std::string_view path);

// The groups of the hash-list line's pattern, as views into the line. The
// date groups are empty where the line has no date, the milliseconds also
// where its date has none.
struct HashLineFields {
  std::string_view path, year, month, day, hour, minute, second, millisecond, size, hash;
  bool has_date = false;
};

// Matches a line against the hash-list line's pattern: false when it does
// not match. `valid_utf8` promises that the line is valid UTF-8.
bool MatchHashLine(std::string_view line, bool valid_utf8, HashLineFields& fields);
// The same by hand, for the forms that lists are made of and many times
// faster: true only where the pattern matches, with the same groups; false
// where it does not, and wherever the line holds anything the hand is not
// sure of (bytes beyond ASCII outside the path, unusual blanks), so that the
// pattern decides.
bool SplitHashLine(std::string_view line, bool valid_utf8, HashLineFields& fields);

// The Base64 text of an MD4 digest (22 characters, the last of them A, Q, g
// or w, then "==") packs into 16 bytes that compare, byte by byte, as the
// texts do. False, and nothing written, for any other text.
inline constexpr std::size_t kPackedHashSize = 16;
inline constexpr std::size_t kPackedHashTextLength = 24;
bool PackHash(std::string_view text, unsigned char* packed);
// Writes the first `count` characters of a packed hash's text.
void UnpackHash(const unsigned char* packed, char* text, std::size_t count = kPackedHashTextLength);

// The hash text of an entry: made from its packed form, or viewing the text
// the entry keeps. Either way the text lives only as long as this object,
// so only an object with a name gives a view of it: a view of a temporary
// (`std::string_view h = item.Hash();`) would dangle, and does not compile.
class HashText {
 public:
  explicit HashText(std::string_view kept) : kept_(kept) {}
  explicit HashText(const unsigned char* packed) : packed_(true) { UnpackHash(packed, unpacked_); }

  std::string_view View() const& { return packed_ ? std::string_view(unpacked_, sizeof unpacked_) : kept_; }
  std::string_view View() const&& = delete;
  operator std::string_view() const& { return View(); }
  operator std::string_view() const&& = delete;
  std::size_t size() const { return View().size(); }
  bool empty() const { return View().empty(); }

  friend bool operator==(const HashText& a, const HashText& b) { return a.View() == b.View(); }
  friend bool operator==(const HashText& a, std::string_view b) { return a.View() == b; }

 private:
  std::string_view kept_;
  bool packed_ = false;
  char unpacked_[kPackedHashTextLength];
};

class Arena;

class HashItem {
 public:
  HashItem() = default;
  ~HashItem();
  HashItem(const HashItem&) = delete;
  HashItem& operator=(const HashItem&) = delete;

  // Every field back to its empty value: no paths, size -1, date 0, no hash,
  // state hsOK, no related entry.
  void Clear();
  // Copies all fields; the related entry is shared, not copied.
  void Assign(const HashItem& source);

  // Base directories are few and shared by many entries, so each is kept
  // once for the whole process and an entry only refers to it.
  const std::string& BasePath() const;
  void SetBasePath(std::string_view base_path);
  void SetBasePath(const std::shared_ptr<const std::string>& base_path) {
    SetBasePath(base_path ? std::string_view(*base_path) : std::string_view());
  }

  std::string_view Path() const { return {text_, PathLength()}; }
  void SetPath(std::string_view path) {
    const HashText hash = Hash();
    SetText(path, hash, nullptr);
  }
  int64_t Size() const { return size_; }
  void SetSize(int64_t size) { size_ = size; }
  DateTime Date() const { return date_; }
  void SetDate(DateTime date) { date_ = date; }
  HashText Hash() const {
    const char* hash = text_ + PathLength();
    return packed_hash_ ? HashText(reinterpret_cast<const unsigned char*>(hash))
                        : HashText(std::string_view(hash, HashLength()));
  }
  void SetHash(std::string_view hash) { SetText(Path(), hash, nullptr); }
  // The hash in its packed form (see PackHash), or null where the entry
  // keeps the text as it came.
  const unsigned char* PackedHash() const {
    return packed_hash_ ? reinterpret_cast<const unsigned char*>(text_ + PathLength()) : nullptr;
  }
  // Where the hash is kept, packed or not: for fetching it ahead.
  const void* HashData() const { return text_ + PathLength(); }
  HashState State() const { return static_cast<HashState>(state_); }
  void SetState(HashState state) { state_ = state; }
  HashItem* Related() const { return related_; }
  void SetRelated(HashItem* related) { related_ = related; }

  // The name to hand to the OS: the base directory followed by the path,
  // its '\' separators turned into '/'.
  std::string FileName() const;

  // The hash-list line: "%-80s %s %10s %s" of the quoted path, the date text
  // (empty when the date is not greater than 0), the size and the hash text.
  std::string AsString() const;
  // The same, appended to `out`.
  void AppendAsString(std::string& out) const;
  // Parses a hash-list line into this entry (which is cleared first). Throws
  // EHashItemError "Invalid AsString input." or EConvertError for a date,
  // time or size out of range. With `arena`, the entry's text is placed there;
  // `valid_utf8` promises that the line is valid UTF-8 (as text streams give).
  void SetAsString(std::string_view line, Arena* arena = nullptr, bool valid_utf8 = false);

  // The path in double quotes, inner quotes doubled.
  std::string QuotedPath() const;

  // Detailed: AsString(); otherwise the quoted path.
  std::string BuildOutput(bool detailed) const;
  // The result line: "MATCHED\t%s", ... "RENAMED\t%s\tfrom\t%s". Detailed,
  // with AsString() and every name exact, as the output file holds it;
  // otherwise with quoted paths as the console shows them (DisplayUtf8).
  std::string MatchOutput(bool detailed) const;
  // The same, appended to `out`.
  void AppendMatchOutput(std::string& out, bool detailed) const;
  std::string DupesOutput(bool detailed) const { return MatchOutput(detailed); }

  // Hashes the file base_path + path into this entry, with the size and
  // last-write time that the file opened had before it was read. Throws
  // EFOpenError when the file cannot be opened or is no regular file (a
  // symbolic link counts as what it leads to only with `follow_links`), and
  // EReadError when a read fails; aborts thrown by `on_progress` pass
  // through. True when the size is known (>= 0).
  bool ReadFromFile(std::string_view base_path, std::string path,
                    const progress::ProgressEvent& on_progress, bool follow_links = true);
  bool ReadFromFile(const std::shared_ptr<const std::string>& base_path, std::string path,
                    const progress::ProgressEvent& on_progress, bool follow_links = true) {
    return ReadFromFile(base_path ? std::string_view(*base_path) : std::string_view(), std::move(path),
                        on_progress, follow_links);
  }

  // Size in bytes, -1 when not available.
  static int64_t GetFileSize(const std::string& file_name);
  // Last-write time in UTC to the millisecond, 0 when not available; the
  // file's other times do not matter.
  static DateTime GetFileDate(const std::string& file_name);

  // An entry that lives in a list's arena is destroyed but not freed.
  bool InArena() const { return in_arena_; }
  void MarkInArena() { in_arena_ = true; }

 private:
  // Path and hash share one block: the path's bytes, then the hash, packed
  // where it can be. A list loads a million entries at a time, so every
  // byte counts: lengths that do not fit their fields here stand in the
  // eight bytes in front of the block, path first.
  static constexpr uint32_t kShortPathLimit = (1u << 20) - 1;
  static constexpr uint32_t kShortHashLimit = (1u << 5) - 1;
  static constexpr std::size_t kLongLengthsSize = 8;

  std::size_t PathLength() const { return long_lengths_ ? LongLength(0) : path_length_; }
  std::size_t HashLength() const { return long_lengths_ ? LongLength(1) : hash_length_; }
  std::size_t LongLength(int which) const {
    uint32_t length;
    std::memcpy(&length, text_ - kLongLengthsSize + 4 * which, sizeof length);
    return length;
  }
  void SetText(std::string_view path, std::string_view hash, Arena* arena);
  void FreeText();

  char* text_ = nullptr;
  HashItem* related_ = nullptr;
  int64_t size_ = -1;
  DateTime date_ = 0;
  uint32_t path_length_ : 20 = 0;
  uint32_t hash_length_ : 5 = 0;
  uint32_t state_ : 3 = hsOK;
  uint32_t text_owned_ : 1 = 0;
  uint32_t in_arena_ : 1 = 0;
  uint32_t packed_hash_ : 1 = 0;
  uint32_t long_lengths_ : 1 = 0;
  uint32_t base_path_id_ = 0;
};

}  // namespace hv
