// What every way of hashing a file shares: the aligned buffers, the sizes of
// the reads and the read loop that feeds the digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "support/md4.h"

namespace hv {

// Bytes asked for by every read of a file being hashed (8 MiB).
inline constexpr size_t kHashReadSize = 0x800000;
// Not 2^31: files from this size on are read past the system cache.
inline constexpr int64_t kUnbufferedThreshold = 2145300000;

// `size` bytes starting on the first 64 KiB boundary strictly above the
// start of a block of `size` + 64 KiB, as reads past the system cache need.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t size);
  std::byte* data() const { return data_; }

 private:
  std::unique_ptr<std::byte[]> block_;
  std::byte* data_;
};

// Opens `file_name` to be hashed. Only a regular file is opened: what the
// scan listed may have become a FIFO or a link to a device since, and that
// is a file error that says what it has become. With `follow_links` a
// symbolic link counts as what it leads to, otherwise as itself. `*status`
// receives the status of the very file opened, before any of it is read:
// the size and time that belong to the bytes about to be hashed, whatever
// becomes of the name meanwhile. Throws EFOpenError
// "Cannot open file \"%s\". %s".
std::unique_ptr<platform::ReadableFile> OpenForHashing(platform::FileSystem& fs, const std::string& file_name,
                                                       bool follow_links, platform::FileStatus* status);

// Reads up to `size` bytes of `file` into `buffer`: the count, 0 at the end
// of the file. Throws EReadError when the read failed: half a file would
// otherwise be stored with a digest that looks valid.
int64_t ReadPiece(platform::ReadableFile& file, std::byte* buffer, size_t size);

// Where hashing gets a file's bytes, one piece at a time.
class PieceSource {
 public:
  virtual ~PieceSource() = default;
  // The next piece, its length in `*count`; 0 at the end of the file. Throws
  // EReadError when a read failed. The piece stays valid until the next call.
  virtual const std::byte* Next(int64_t* count) = 0;
};

// Pieces read from a file into one buffer, up to `read_size` bytes each.
class FileReader final : public PieceSource {
 public:
  FileReader(platform::ReadableFile& file, std::byte* buffer, size_t read_size)
      : file_(file), buffer_(buffer), read_size_(read_size) {}
  const std::byte* Next(int64_t* count) override;

 private:
  platform::ReadableFile& file_;
  std::byte* buffer_;
  size_t read_size_;
};

// The read loop of hashing: every piece up to the first empty one goes into
// an MD4 digest, and after each `on_piece` (when set) gets the bytes done so
// far; whatever it throws ends the loop. Returns the digest's Base64 text.
std::string HashPieces(PieceSource& source, const std::function<void(int64_t done)>& on_piece);

// The Base64 text of the digest of `size` bytes at `bytes`: what HashPieces
// gives for a file of these bytes.
std::string HashBytes(const std::byte* bytes, size_t size);

// A digest as Base64 text, as HashPieces gives it.
std::string DigestText(const uint8_t (&digest)[DigestMD4::kHashSizeBytes]);

}  // namespace hv
