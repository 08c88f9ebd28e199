// Hashing a file into an entry, and a file's size and date by name.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/hash_item.h"
#include "platform/file_system.h"
#include "support/base64.h"
#include "support/file_helpers.h"
#include "support/md4.h"

namespace hv {

namespace {

constexpr size_t kReadSize = 0x800000;
constexpr size_t kBufferBlockSize = 0x810000;
constexpr uintptr_t kBufferAlignment = 0x10000;
// Not 2^31: files from this size on are read past the system cache.
constexpr int64_t kUnbufferedThreshold = 2145300000;

// One buffer for every read of every file: hashing allocates nothing per read.
// It starts on the first 64 KiB boundary strictly above the block's start,
// which leaves the whole read size inside the block.
std::byte* ReadBuffer() {
  static const std::unique_ptr<std::byte[]> block =
      std::make_unique_for_overwrite<std::byte[]>(kBufferBlockSize);
  static std::byte* const buffer = [] {
    const uintptr_t start = reinterpret_cast<uintptr_t>(block.get());
    return block.get() + (kBufferAlignment - start % kBufferAlignment);
  }();
  return buffer;
}

}  // namespace

int64_t HashItem::GetFileSize(const std::string& file_name) { return FileSizeByName(file_name); }

DateTime HashItem::GetFileDate(const std::string& file_name) {
  DateTime created = 0;
  DateTime modified = 0;
  DateTime accessed = 0;
  GetFileTimes(file_name, &created, &modified, &accessed);
  return modified;
}

bool HashItem::ReadFromFile(std::string_view base_path, std::string path,
                            const progress::ProgressEvent& on_progress) {
  Clear();
  SetBasePath(base_path);
  SetPath(path);
  const std::string file_name = FileName();

  // Taken before the open; this is the size stored, whatever is read.
  const int64_t size = GetFileSize(file_name);

  platform::FileSystem& file_system = platform::CurrentFileSystem();
  std::unique_ptr<platform::ReadableFile> file;
  const platform::ErrorCode open_error =
      file_system.OpenForReading(file_name, size >= kUnbufferedThreshold, &file);
  if (open_error != 0) {
    throw EFOpenError("Cannot open file \"" + file_system.FullPath(file_name) + "\". " +
                      file_system.ErrorText(open_error));
  }

  DigestMD4 digest;
  digest.Init();
  std::byte* const buffer = ReadBuffer();
  int64_t done = 0;
  for (;;) {
    platform::ErrorCode read_error = 0;
    const int64_t n = file->Read(buffer, kReadSize, &read_error);
    if (n == 0) break;
    // A failed read is never taken for the end of the file: half a file
    // would otherwise be stored with a digest that looks valid.
    if (n < 0 || static_cast<uint64_t>(n) > kReadSize) throw EReadError(kStreamReadError);
    done += n;
    digest.Update(buffer, static_cast<size_t>(n));
    if (on_progress) on_progress(this, done, size);
  }

  unsigned char value[DigestMD4::kHashSizeBytes];
  digest.Final(value);
  std::string hash =
      Base64Encode(std::string_view(reinterpret_cast<const char*>(value), sizeof value));
  // Queried while the file is still open, and before any field is set, so
  // that a failure leaves the entry with its cleared values.
  const DateTime date = GetFileDate(file_name);

  SetHash(std::move(hash));
  SetSize(size);
  SetDate(date);
  return size >= 0;
}

}  // namespace hv
