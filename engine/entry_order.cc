#include "engine/entry_order.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/hash_item.h"
#include "support/case_fold.h"
#include "support/utf8.h"

namespace hv {

namespace {

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

// The bytes of every word a key can be asked for.
constexpr size_t kKeyBytes = 8 * (static_cast<size_t>(KeyWord::kSecond) + 1);

// Up to eight bytes, big-endian and zero-padded: comparing two such keys as
// numbers orders them as their byte strings, a shorter one first.
uint64_t PackKey(const unsigned char* bytes, size_t count) {
  uint64_t key = 0;
  for (size_t k = 0; k < 8; ++k) key = (key << 8) | (k < count ? bytes[k] : 0u);
  return key;
}

}  // namespace

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
  const std::size_t limit = std::min(hash1.size(), hash2.size());
  const int bytes = limit == 0 ? 0 : std::memcmp(hash1.data(), hash2.data(), limit);
  if (bytes != 0) return Order(bytes, 0);
  if (hash1.size() != hash2.size()) return Order(hash1.size(), hash2.size());
  return Order(size1, size2);
}

int CompareByHash(const HashItem& item1, const HashItem& item2) {
  // Packed hashes compare as their texts do.
  const unsigned char* packed1 = item1.PackedHash();
  const unsigned char* packed2 = item2.PackedHash();
  if (packed1 != nullptr && packed2 != nullptr) {
    const int bytes = std::memcmp(packed1, packed2, kPackedHashSize);
    if (bytes != 0) return Order(bytes, 0);
    return Order(item1.Size(), item2.Size());
  }
  const HashText hash1 = item1.Hash();
  const HashText hash2 = item2.Hash();
  return CompareHashAndSize(hash1, item1.Size(), hash2, item2.Size());
}

// The path with every character folded, as UTF-8 (whose byte order is the
// code-point order).
uint64_t FoldedPathKey(std::string_view path, KeyWord word) {
  const size_t from = 8 * static_cast<size_t>(word);
  if (path.size() >= from + 8) {
    // ASCII folds byte by byte, eight at a time.
    uint64_t bytes;
    uint64_t before = 0;
    std::memcpy(&bytes, path.data() + from, 8);
    if (from > 0) std::memcpy(&before, path.data(), 8);
    if (((bytes | before) & kHighBits) == 0) {
      const uint64_t folded = FoldAscii8(bytes);
      if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(folded);
      return folded;
    }
  }
  // Room for the last character's other bytes too.
  char bytes[kKeyBytes + 3];
  const size_t wanted = 8 * (static_cast<size_t>(word) + 1);
  char* end = bytes;
  size_t pos = 0;
  while (static_cast<size_t>(end - bytes) < wanted && pos < path.size()) {
    end = AppendUtf8(end, SimpleCaseFold(DecodeUtf8(path, pos)));
  }
  const size_t have = static_cast<size_t>(end - bytes);
  return PackKey(reinterpret_cast<const unsigned char*>(bytes) + from,
                 have > from ? std::min<size_t>(have - from, 8) : 0);
}

uint64_t HashKey(std::string_view hash, KeyWord word) {
  const size_t from = 8 * static_cast<size_t>(word);
  return PackKey(reinterpret_cast<const unsigned char*>(hash.data()) + std::min(from, hash.size()),
                 hash.size() > from ? std::min<size_t>(hash.size() - from, 8) : 0);
}

uint64_t HashKey(const HashItem& item, KeyWord word) {
  const unsigned char* packed = item.PackedHash();
  if (packed == nullptr) {
    const HashText hash = item.Hash();
    return HashKey(hash, word);
  }
  char text[kKeyBytes];
  const size_t from = 8 * static_cast<size_t>(word);
  UnpackHash(packed, text, from + 8);
  return PackKey(reinterpret_cast<const unsigned char*>(text) + from, 8);
}

}  // namespace hv
