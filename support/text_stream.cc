#include "support/text_stream.h"

#include <algorithm>
#include <bit>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/file_system.h"
#include "support/code_pages.h"
#include "support/exceptions.h"
#include "support/file_stream.h"
#include "support/utf8.h"

namespace hv {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How many bytes at the start of `bytes` a UTF-8 line takes over as they
// are: ASCII but CR and LF, and whole valid sequences (which decode to what
// they are). Sixteen bytes are looked at a time where the processor can.
size_t PlainUtf8Run(std::string_view bytes) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = begin + bytes.size();
  const auto* p = begin;
  for (;;) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i stop = _mm_or_si128(x, _mm_or_si128(_mm_cmpeq_epi8(x, cr), _mm_cmpeq_epi8(x, lf)));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
      if (mask != 0) {
        p += std::countr_zero(mask);
        break;
      }
      p += 16;
    }
#endif
    while (p < end && *p < 0x80 && *p != '\r' && *p != '\n') ++p;
    if (p == end || *p < 0x80) break;
    const size_t length = ValidSequenceLength(p, end);
    if (length == 0) break;
    p += length;
  }
  return static_cast<size_t>(p - begin);
}

}  // namespace

TextStream::TextStream(const std::string& file_name, OpenMode mode)
    : BufferedStream(std::make_unique<FileStream>(file_name, mode)) {
  Initialize();
}

TextStream::TextStream(std::unique_ptr<Stream> stream) : BufferedStream(std::move(stream)) { Initialize(); }

TextStream::TextStream(Stream* stream) : BufferedStream(stream) { Initialize(); }

void TextStream::Initialize() {
  default_encoding_ = feUTF8;
  encoding_ = feAuto;
  big_endian_ = false;
  line_separator_ = "\r\n";
  // A pipe is looked at by its first read, when there is something to read
  // (one written to must never wait for input).
  if (CanSeek() && Size() != 0) DetectEncoding();
}

void TextStream::DetectEncoding() {
  encoding_ = feANSI;
  big_endian_ = false;
  int64_t return_position = Position();
  int64_t size;
  // Whether there is more than the sample, and so no telling whether the
  // size is even.
  bool longer = false;
  if (CanSeek()) {
    size = Size();
  } else {
    // Where nothing can be read twice, the sample is what the first read
    // brings into the buffer (at position 0, where this runs).
    uint8_t byte;
    if (BufferedBytes().empty() && ReadByte(&byte)) Seek(-1, SeekOrigin::soCurrent);
    size = static_cast<int64_t>(BufferedBytes().size());
    longer = size >= kDetectionSampleSize;
  }

  [&] {
    if (size <= 1) return;
    if (longer || size % 2 == 0) {
      SetPosition(0);
      uint8_t mark[2];
      if (Read(mark, 2) == 2) {
        if (mark[0] == 0xFF && mark[1] == 0xFE) {
          encoding_ = feUTF16;
          return_position = 2;
          return;
        }
        if (mark[0] == 0xFE && mark[1] == 0xFF) {
          encoding_ = feUTF16;
          big_endian_ = true;
          return_position = 2;
          return;
        }
      }
    }
    if (size >= 3) {
      SetPosition(0);
      uint8_t mark[3];
      if (Read(mark, 3) == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
        encoding_ = feUTF8;
        return_position = 3;
        return;
      }
    }

    SetPosition(0);
    std::string sample(static_cast<size_t>(std::min(kDetectionSampleSize, size)), '\0');
    sample.resize(
        static_cast<size_t>(std::max<int64_t>(0, Read(sample.data(), static_cast<int64_t>(sample.size())))));

    // Only a sample that is the whole file can show that the file is UTF-8.
    // A sequence cut off at its end must not spoil the test, so trailing
    // bytes with the top bit set are left out of it.
    if (size <= kDetectionSampleSize && !longer) {
      std::string_view text(sample);
      while (!text.empty() && static_cast<uint8_t>(text.back()) >= 0x80) text.remove_suffix(1);
      if (!text.empty() && IsValidUtf8(text)) {
        encoding_ = feUTF8;
        return;
      }
    }

    // UTF-16 text of mostly Latin characters has a zero byte in every other
    // place: at odd offsets for little-endian, at even ones for big-endian.
    int64_t zeros_odd = 0;
    int64_t zeros_even = 0;
    for (size_t i = 0; i < sample.size(); ++i) {
      if (sample[i] == '\0') ++(i % 2 == 0 ? zeros_even : zeros_odd);
    }
    if (zeros_odd > 30 && zeros_odd > 100 * zeros_even) {
      encoding_ = feUTF16;
    } else if (zeros_even > 30 && zeros_even > 100 * zeros_odd) {
      encoding_ = feUTF16;
      big_endian_ = true;
    }
  }();

  SetPosition(return_position);
}

bool TextStream::Eof() {
  // Bytes still loaded cannot lie past the end; only an exhausted buffer
  // needs to ask the file for its size (a system call per line otherwise).
  if (!BufferedBytes().empty()) return false;
  if (!CanSeek()) {
    // Nothing tells where a pipe ends but a read that brings nothing.
    uint8_t byte;
    if (!ReadByte(&byte)) return true;
    Seek(-1, SeekOrigin::soCurrent);
    return false;
  }
  return Position() >= Size();
}

bool TextStream::ReadUtf16Unit(char16_t* unit) {
  uint8_t first;
  uint8_t second;
  if (!ReadByte(&first) || !ReadByte(&second)) return false;
  *unit =
      big_endian_ ? static_cast<char16_t>(first << 8 | second) : static_cast<char16_t>(second << 8 | first);
  return true;
}

char32_t TextStream::ReadUtf8Rest(uint8_t lead) {
  int continuation;
  uint32_t value;
  if (lead < 0x80) {
    return lead;
  } else if (lead >= 0xC0 && lead <= 0xDF) {
    continuation = 1;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuation = 2;
    value = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    continuation = 3;
    value = lead & 0x07u;
  } else if (lead >= 0xF8 && lead <= 0xFB) {
    continuation = 4;
    value = lead & 0x03u;
  } else if (lead == 0xFC || lead == 0xFD) {
    continuation = 5;
    value = lead & 0x01u;
  } else {
    // A continuation byte without a lead, FE or FF: the byte's own value.
    return lead;
  }
  for (int i = 0; i < continuation; ++i) {
    uint8_t byte;
    if (!ReadByte(&byte)) continue;
    if ((byte & 0xC0u) != 0x80u) {
      // That byte starts the next character.
      Seek(-1, SeekOrigin::soCurrent);
      break;
    }
    value = value << 6 | (byte & 0x3Fu);
  }
  // Forms longer than four bytes, and values past the last code point, keep
  // their low 16 bits; whatever lands on a surrogate is no character.
  if (continuation > 3 || value > 0x10FFFF) value &= 0xFFFFu;
  if (IsSurrogate(value)) return kReplacementCharacter;
  return value;
}

bool TextStream::ReadChar(char32_t* ch) {
  if (encoding_ == feAuto && Position() == 0) DetectEncoding();
  switch (encoding_) {
    case feUTF16: {
      char16_t unit;
      if (!ReadUtf16Unit(&unit)) return false;
      if (IsHighSurrogate(unit)) {
        const int64_t after_first = Position();
        char16_t low;
        if (ReadUtf16Unit(&low) && IsLowSurrogate(low)) {
          *ch = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
          return true;
        }
        // The unit after a lone high surrogate is a character of its own.
        SetPosition(after_first);
        *ch = kReplacementCharacter;
        return true;
      }
      *ch = IsLowSurrogate(unit) ? kReplacementCharacter : unit;
      return true;
    }
    case feUTF8: {
      uint8_t lead;
      if (!ReadByte(&lead)) return false;
      *ch = ReadUtf8Rest(lead);
      return true;
    }
    case feOEM: {
      uint8_t byte;
      if (!ReadByte(&byte)) return false;
      *ch = CodePageCharToWide(CodePage::kOem, byte);
      return true;
    }
    default: {
      uint8_t byte;
      if (!ReadByte(&byte)) return false;
      *ch = AnsiCharToWideChar(byte);
      return true;
    }
  }
}

bool TextStream::ReadLine(std::string* line, size_t limit) {
  line->clear();
  // A pipe's mark is passed before its end is looked for: a mark alone is
  // no line.
  if (encoding_ == feAuto && !CanSeek() && Position() == 0) DetectEncoding();
  if (Eof()) return false;
  // In the 8-bit encodings and UTF-8 a byte below 80 is its own character,
  // so runs of them (and in UTF-8 of whole sequences) are taken straight
  // from the buffer.
  const bool utf8 = encoding_ == feUTF8;
  const bool ascii_runs = encoding_ != feUTF16 && encoding_ != feAuto;
  char32_t ch;
  while (line->size() <= limit) {
    if (ascii_runs) {
      const std::string_view bytes = BufferedBytes();
      size_t run = 0;
      if (utf8) {
        run = PlainUtf8Run(bytes);
      } else {
        while (run < bytes.size()) {
          const auto byte = static_cast<uint8_t>(bytes[run]);
          if (byte >= 0x80 || byte == '\r' || byte == '\n') break;
          ++run;
        }
      }
      if (run > 0) {
        line->append(bytes.data(), run);
        SkipBuffered(run);
        continue;
      }
      // The usual line end, when the buffer holds all of it.
      if (utf8 && !bytes.empty() && (bytes[0] == '\n' || (bytes[0] == '\r' && bytes.size() > 1))) {
        SkipBuffered(bytes[0] == '\r' && bytes[1] == '\n' ? 2 : 1);
        break;
      }
    }
    if (!ReadChar(&ch)) break;
    if (ch == U'\r') {
      const int64_t after_cr = Position();
      char32_t next;
      if (ReadChar(&next) && next != U'\n') SetPosition(after_cr);
      break;
    }
    if (ch == U'\n') break;
    AppendUtf8(*line, ch);
  }
  return true;
}

void TextStream::SetEncoding(FileEncoding value) {
  if (Position() == 0) {
    if (value == feUTF16) {
      WriteBuffer("\xFF\xFE", 2);
      big_endian_ = false;
    } else if (value == feUTF8) {
      WriteBuffer("\xEF\xBB\xBF", 3);
    }
  }
  encoding_ = value;
}

void TextStream::WriteStr(std::string_view text) {
  if (text.empty()) return;
  if (encoding_ == feAuto) SetEncoding(default_encoding_);
  switch (encoding_) {
    case feANSI:
    case feOEM: {
      std::string bytes = Utf8ToCodePage(CodePage::kAnsi, text);
      // OEM text goes through the ANSI page, so a character that page lacks
      // is already its replacement here, even where CP437 has it.
      if (encoding_ == feOEM) bytes = AnsiToOem(bytes);
      WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
      return;
    }
    case feUTF16: {
      const std::u16string units = Utf8ToWide(text);
      std::string bytes;
      bytes.reserve(units.size() * 2);
      for (const char16_t unit : units) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        bytes.push_back(big_endian_ ? high : low);
        bytes.push_back(big_endian_ ? low : high);
      }
      WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
      return;
    }
    case feUTF8:
    case feAuto:
      if (!IsValidUtf8(text)) throw EStringError(kConversionFailed);
      WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
      return;
  }
  throw EWriteError("Invalid encoding");
}

void TextStream::WriteLine(std::string_view text) {
  WriteStr(text);
  WriteStr(line_separator_);
}

void TextStream::WriteVisibleLine(std::string_view text) {
  if (IsValidUtf8(text)) {
    WriteLine(text);
  } else {
    WriteLine(VisibleUtf8(text));
  }
}

void TextStream::AppendLine(const std::string& file_name, std::string_view msg, FileEncoding encoding) {
  // The file's encoding comes from a look at its content; the line is then
  // appended (O_APPEND) in one write, so that processes sharing the file
  // never write over each other's lines.
  FileEncoding file_encoding = feAuto;
  bool big_endian = false;
  platform::FileStatus status;
  if (platform::CurrentFileSystem().Stat(file_name, &status) == 0 && status.is_regular() && status.size > 0) {
    // Only read, so it closes quietly.
    const TextStream reader(file_name, OpenMode::fmOpenRead);
    file_encoding = reader.encoding_;
    big_endian = reader.big_endian_;
  }
  TextStream stream(std::make_unique<FileStream>(file_name, OpenMode::fmAppend));
  if (encoding != feAuto) stream.SetDefaultEncoding(encoding);
  // Taken over without a mark: the file has its own in front.
  stream.encoding_ = file_encoding;
  stream.big_endian_ = big_endian;
  stream.WriteLine(msg);
  stream.Close();
}

}  // namespace hv
