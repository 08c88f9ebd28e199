// Small UTF-8 helpers. Text is UTF-8 everywhere inside the program; widths
// shown to the user count UTF-16 code units, and Utf16Length is the one place
// that counts them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace hv {

// Marks a byte that does not start a complete sequence; such a byte decodes
// alone as kUtf8InvalidBase + byte, so malformed text still has a fixed
// decoding.
inline constexpr char32_t kUtf8InvalidBase = 0xDC00;

// Decodes the code point that starts at s[pos] (pos < s.size()) and moves
// pos past it. Meant for valid UTF-8; it never reads past the end.
inline char32_t DecodeUtf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto is_cont = [](unsigned b) { return (b & 0xC0u) == 0x80u; };
  const unsigned b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  const std::size_t left = s.size() - pos;
  if (b0 >= 0xC2 && b0 < 0xE0) {
    if (left >= 2 && is_cont(byte(pos + 1))) {
      const char32_t c = ((b0 & 0x1Fu) << 6) | (byte(pos + 1) & 0x3Fu);
      pos += 2;
      return c;
    }
  } else if (b0 >= 0xE0 && b0 < 0xF0) {
    if (left >= 3 && is_cont(byte(pos + 1)) && is_cont(byte(pos + 2))) {
      const char32_t c =
          ((b0 & 0x0Fu) << 12) | ((byte(pos + 1) & 0x3Fu) << 6) | (byte(pos + 2) & 0x3Fu);
      pos += 3;
      return c;
    }
  } else if (b0 >= 0xF0 && b0 < 0xF5) {
    if (left >= 4 && is_cont(byte(pos + 1)) && is_cont(byte(pos + 2)) && is_cont(byte(pos + 3))) {
      const char32_t c = ((b0 & 0x07u) << 18) | ((byte(pos + 1) & 0x3Fu) << 12) |
                         ((byte(pos + 2) & 0x3Fu) << 6) | (byte(pos + 3) & 0x3Fu);
      pos += 4;
      return c;
    }
  }
  ++pos;
  return kUtf8InvalidBase + b0;
}

// RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s);
// The length of the valid sequence at p (p < end), 0 when there is none.
std::size_t ValidSequenceLength(const unsigned char* p, const unsigned char* end);

// The number of UTF-16 code units the text takes: one per code point, two for
// code points above U+FFFF. Exact for valid UTF-8.
std::size_t Utf16Length(std::string_view s);

// Writes the UTF-8 form of `c` (a scalar value up to U+10FFFF) at `out`,
// which has room for four bytes, and returns the end of what it wrote.
inline char* AppendUtf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Appends the UTF-8 form of `c` (a scalar value up to U+10FFFF).
inline void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return;
  }
  char bytes[4];
  out.append(bytes, AppendUtf8(bytes, c));
}

// `s` as it may be shown or logged: valid UTF-8 as it is, and each byte that
// is not part of a valid sequence as the four characters \xNN (upper-case
// hex), so that whatever the program writes is valid UTF-8.
std::string VisibleUtf8(std::string_view s);
// A name, a path or an argument (or a message built from them) as the
// console and the error log show it: VisibleUtf8's form, with each control
// character (C0, DEL and C1) also shown as \xNN per byte, so that no name
// can move the cursor or rewrite what a terminal shows.
std::string DisplayUtf8(std::string_view s);

}  // namespace hv
