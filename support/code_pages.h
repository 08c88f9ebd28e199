// Conversions between the program's UTF-8 text and 8-bit text in a code page.
// The "ANSI" code page is Windows-1252 and the "OEM" code page is CP437, both
// built in; the locale plays no part. UTF-16 appears only at the edges that
// need it. Empty input always gives an empty result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hv {

enum class CodePage : uint16_t {
  kOem = 437,
  kAnsi = 1252,
  kUtf8 = 65001,
};

// Every conversion that cannot be done raises EStringError with this text.
inline constexpr char kConversionFailed[] = "Conversion failed.";

// ANSI bytes to OEM bytes, one for one; characters CP437 lacks become '?'.
std::string AnsiToOem(std::string_view ansi);

// The character of one byte in an 8-bit code page (kAnsi or kOem). The five
// bytes Windows-1252 leaves undefined stand for U+0081, U+008D, U+008F,
// U+0090 and U+009D.
char16_t CodePageCharToWide(CodePage code_page, uint8_t byte);
char16_t AnsiCharToWideChar(uint8_t byte);

// Bytes in `code_page` to UTF-8. For kUtf8 every sequence that is not valid
// UTF-8 becomes U+FFFD, so the result is always valid UTF-8.
std::string CodePageToUtf8(CodePage code_page, std::string_view bytes);
std::string AnsiToUtf8(std::string_view bytes);

// UTF-8 text to bytes in `code_page`; characters the code page lacks become
// '?'. Text that is not valid UTF-8 raises EStringError.
std::string Utf8ToCodePage(CodePage code_page, std::string_view utf8);

// UTF-16 to UTF-8; a surrogate that is not part of a pair becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
// UTF-8 to UTF-16 with surrogate pairs; text that is not valid UTF-8 raises
// EStringError.
std::u16string Utf8ToWide(std::string_view utf8);

}  // namespace hv
