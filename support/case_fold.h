// Unicode simple case folding of single code points (one code point to one
// code point), the basis of the case-insensitive path order.
#pragma once

namespace hv {

// Folding of code points from U+0080 on; kept out of line so that only one
// translation unit carries the tables.
char32_t SimpleCaseFoldNonAscii(char32_t c);

// The simple case folding of `c`; `c` itself when it has none.
inline char32_t SimpleCaseFold(char32_t c) {
  if (c < 0x80) return (c - U'A' < 26u) ? c + 32 : c;
  return SimpleCaseFoldNonAscii(c);
}

}  // namespace hv
