#include "support/utf8.h"

#include <cstdint>
#include <cstring>

namespace hv {

std::size_t ValidSequenceLength(const unsigned char* p, const unsigned char* end) {
  const unsigned b0 = *p;
  if (b0 < 0x80) return 1;
  // The second byte's range depends on the lead byte: that is where
  // overlongs, surrogates and code points past U+10FFFF are shut out.
  std::size_t length;
  unsigned low = 0x80, high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xC0u) != 0x80u) return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  while (p < end) {
    // ASCII runs are the common case.
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t length = ValidSequenceLength(p, end);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

namespace {

// A control character: C0, DEL, or C1 (U+0080 to U+009F, C2 80 to C2 9F),
// given as its valid sequence of `length` bytes at p.
bool IsControl(const unsigned char* p, std::size_t length) {
  if (length == 1) return *p < 0x20 || *p == 0x7F;
  return length == 2 && p[0] == 0xC2 && p[1] < 0xA0;
}

// `s` with each byte that is not part of a valid sequence, and with
// `controls` each byte of a control character, as \xNN.
std::string Escaped(std::string_view s, bool controls) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  while (p < end) {
    const std::size_t length = ValidSequenceLength(p, end);
    if (length != 0 && !(controls && IsControl(p, length))) {
      out.append(reinterpret_cast<const char*>(p), length);
      p += length;
      continue;
    }
    for (const auto* const stop = p + (length == 0 ? 1 : length); p < stop; ++p) {
      out += "\\x";
      out.push_back(kHex[*p >> 4]);
      out.push_back(kHex[*p & 0x0F]);
    }
  }
  return out;
}

}  // namespace

std::string VisibleUtf8(std::string_view s) {
  if (IsValidUtf8(s)) return std::string(s);
  return Escaped(s, false);
}

std::string DisplayUtf8(std::string_view s) { return Escaped(s, true); }

std::size_t Utf16Length(std::string_view s) {
  // Every byte but a continuation byte starts a code point; a four-byte
  // lead adds the second unit of a surrogate pair. Counted eight bytes at a
  // time: bit 7 of each byte of x << k is bit 7 - k of that same byte.
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  const auto count = [](uint64_t high_bits) {
    return static_cast<std::size_t>(((high_bits >> 7) * 0x0101010101010101u) >> 56);
  };
  std::size_t units = s.size();
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, s.data() + i, 8);
    if ((x & kHighBits) == 0) continue;
    units -= count(x & ~(x << 1) & kHighBits);
    units += count(x & (x << 1) & (x << 2) & (x << 3) & kHighBits);
  }
  for (; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    units -= static_cast<std::size_t>((b & 0xC0u) == 0x80u);
    units += static_cast<std::size_t>(b >= 0xF0u);
  }
  return units;
}

}  // namespace hv
