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

// Sort keys: eight bytes of what is compared, from byte 8 * `word` (0 or 1)
// on. Two
// keys of the same word that differ (the words before being equal) order
// their entries as the comparisons above do; equal keys leave it to the
// comparison.
uint64_t FoldedPathKey(std::string_view path, int word = 0);
uint64_t HashKey(std::string_view hash, int word = 0);
uint64_t HashKey(const HashItem& item, int word = 0);

}  // namespace hv
