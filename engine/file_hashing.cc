#include "engine/file_hashing.h"

#include <cstdint>
#include <string_view>

#include "support/base64.h"
#include "support/exceptions.h"

namespace hv {

namespace {

constexpr uintptr_t kAlignment = 0x10000;

// What a name that is no regular file has turned out to be, in the words of
// the system's "Is a directory".
const char* NotRegularText(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::kDirectory: return "Is a directory";
    case platform::FileKind::kSymbolicLink: return "Is a symbolic link";
    case platform::FileKind::kFifo: return "Is a FIFO";
    case platform::FileKind::kSocket: return "Is a socket";
    case platform::FileKind::kCharacterDevice: return "Is a character device";
    case platform::FileKind::kBlockDevice: return "Is a block device";
    case platform::FileKind::kRegular:
    case platform::FileKind::kOther: break;
  }
  return "Is not a regular file";
}

// The digest finished, as Base64 text.
std::string FinalText(DigestMD4& digest) {
  uint8_t value[DigestMD4::kHashSizeBytes];
  digest.Final(value);
  return DigestText(value);
}

}  // namespace

AlignedBuffer::AlignedBuffer(size_t size)
    : block_(std::make_unique_for_overwrite<std::byte[]>(size + kAlignment)) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(block_.get());
  data_ = block_.get() + (kAlignment - start % kAlignment);
}

std::unique_ptr<platform::ReadableFile> OpenForHashing(platform::FileSystem& fs, const std::string& file_name,
                                                       bool follow_links, platform::FileStatus* status) {
  std::unique_ptr<platform::ReadableFile> file;
  // Stays a regular file where the name could not be looked at.
  status->kind = platform::FileKind::kRegular;
  if (const platform::ErrorCode error =
          fs.OpenForReading(file_name, kUnbufferedThreshold, follow_links, &file, status)) {
    const std::string text =
        status->is_regular() ? fs.ErrorText(error) : NotRegularText(status->kind);
    throw EFOpenError("Cannot open file \"" + fs.FullPath(file_name) + "\". " + text);
  }
  return file;
}

int64_t ReadPiece(platform::ReadableFile& file, std::byte* buffer, size_t size) {
  platform::ErrorCode error = 0;
  const int64_t n = file.Read(buffer, size, &error);
  if (n < 0 || static_cast<uint64_t>(n) > size) throw EReadError(kStreamReadError);
  return n;
}

const std::byte* FileReader::Next(int64_t* count) {
  *count = ReadPiece(file_, buffer_, read_size_);
  return buffer_;
}

std::string HashPieces(PieceSource& source, const std::function<void(int64_t done)>& on_piece) {
  DigestMD4 digest;
  digest.Init();
  int64_t done = 0;
  for (;;) {
    int64_t n = 0;
    const std::byte* piece = source.Next(&n);
    if (n == 0) break;
    digest.Update(piece, static_cast<size_t>(n));
    done += n;
    if (on_piece) on_piece(done);
  }
  return FinalText(digest);
}

std::string DigestText(const uint8_t (&digest)[DigestMD4::kHashSizeBytes]) {
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string HashBytes(const std::byte* bytes, size_t size) {
  DigestMD4 digest;
  digest.Init();
  digest.Update(bytes, size);
  return FinalText(digest);
}

}  // namespace hv
