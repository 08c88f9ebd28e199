// The reader and writer of text files: recognises the encoding of an existing
// file (byte-order marks, then a look at its first bytes), reads characters
// and lines as UTF-8, and writes UTF-8 text in the stream's encoding, with a
// byte-order mark for UTF-8 and UTF-16 and CR LF line ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "support/buffered_stream.h"

namespace hv {

using platform::OpenMode;

enum FileEncoding : uint8_t {
  feAuto = 0,  // not decided yet
  feANSI = 1,  // Windows-1252
  feOEM = 2,   // CP437
  feUTF16 = 3,
  feUTF8 = 4,
};

class TextStream : public BufferedStream {
 public:
  // The sample that decides the encoding of a file without a byte-order mark.
  static constexpr int64_t kDetectionSampleSize = 16384;

  // Opens or creates the file (FileStream) and recognises its encoding. A
  // file that cannot seek (a pipe) is recognised by its first read instead,
  // from what that brings (up to the sample size).
  TextStream(const std::string& file_name, OpenMode mode);
  // Owns `stream`; Close closes it.
  explicit TextStream(std::unique_ptr<Stream> stream);
  // Borrows `stream`, which must outlive this object.
  explicit TextStream(Stream* stream);

  FileEncoding Encoding() const { return encoding_; }
  // At position 0, feUTF8 writes EF BB BF and feUTF16 writes FF FE (and makes
  // the stream little-endian); elsewhere, or for other values, nothing is
  // written.
  void SetEncoding(FileEncoding value);
  // The encoding the first non-empty write takes while there is none.
  FileEncoding DefaultEncoding() const { return default_encoding_; }
  void SetDefaultEncoding(FileEncoding value) { default_encoding_ = value; }
  bool BigEndian() const { return big_endian_; }
  const std::string& LineSeparator() const { return line_separator_; }
  void SetLineSeparator(std::string value) { line_separator_ = std::move(value); }

  bool Eof();
  // One character as a code point: UTF-16 surrogate pairs are joined, and
  // anything that cannot be a character (a lone surrogate) is U+FFFD. False
  // at the end of the data; read failures raise.
  bool ReadChar(char32_t* ch);
  // One line without its end (CR LF, LF or a lone CR), as valid UTF-8. False
  // when the stream stands at its end. A line stops as soon as it holds more
  // than `limit` bytes; the next call goes on from there.
  bool ReadLine(std::string* line, size_t limit = std::string::npos);
  // `text` is UTF-8; it is written in the stream's encoding. Text that is not
  // valid UTF-8 raises EStringError.
  void WriteStr(std::string_view text);
  void WriteLine(std::string_view text);
  // The same for text that may hold bytes that are not valid UTF-8: each of
  // them is written as VisibleUtf8 shows it.
  void WriteVisibleLine(std::string_view text);

  // Appends `msg` as one line at the end of the file in the file's own
  // encoding; a missing file is created, in `encoding` unless that is feAuto
  // (then UTF-8). The file is opened for appending (O_APPEND), so lines of
  // processes sharing it never overwrite each other, and closed again; every
  // failure, the closing included, reaches the caller.
  static void AppendLine(const std::string& file_name, std::string_view msg, FileEncoding encoding);

 protected:
  void Initialize() override;

 private:
  void DetectEncoding();
  bool ReadUtf16Unit(char16_t* unit);
  char32_t ReadUtf8Rest(uint8_t lead);

  FileEncoding default_encoding_ = feUTF8;
  FileEncoding encoding_ = feAuto;
  bool big_endian_ = false;
  std::string line_separator_ = "\r\n";
};

}  // namespace hv
