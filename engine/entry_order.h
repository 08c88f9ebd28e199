// The two orders of hash-list entries, which every sort and search of a list
// follows: by path, and by content (hash text, then size). Each comes with
// a sort key, the first bytes of what is compared, so that a sort decides
// most comparisons without reaching the entry.
#pragma once

#include <cstdint>
#include <string_view>

namespace hv {

class HashItem;

// Case-insensitive order by Unicode simple case folding, ties broken by exact
// code-point order: only identical paths compare equal.
int CompareByPath(const HashItem& item1, const HashItem& item2);
int ComparePaths(std::string_view path1, std::string_view path2);

// Hash texts byte by byte (unsigned, a prefix first), then sizes.
int CompareByHash(const HashItem& item1, const HashItem& item2);
int CompareHashAndSize(std::string_view hash1, int64_t size1, std::string_view hash2, int64_t size2);

// Which eight bytes of what is compared a sort key holds: the first, or the
// next ones, for the entries whose first keys are equal. No other word can
// be asked for.
enum class KeyWord : uint8_t { kFirst = 0, kSecond = 1 };

// Sort keys: eight bytes of what is compared, from byte 8 * `word` on. Two
// keys of the same word that differ (the words before being equal) order
// their entries as the comparisons above do; equal keys leave it to the
// comparison.
uint64_t FoldedPathKey(std::string_view path, KeyWord word = KeyWord::kFirst);
uint64_t HashKey(std::string_view hash, KeyWord word = KeyWord::kFirst);
uint64_t HashKey(const HashItem& item, KeyWord word = KeyWord::kFirst);

}  // namespace hv
