// Hashing a file into an entry, and a file's size and date by name.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/file_hashing.h"
#include "engine/hash_item.h"
#include "platform/file_system.h"
#include "support/file_helpers.h"

namespace hv {

namespace {

// One buffer for every read of every file: hashing allocates nothing per read.
std::byte* ReadBuffer() {
  static const AlignedBuffer buffer(kHashReadSize);
  return buffer.data();
}

}  // namespace

int64_t HashItem::GetFileSize(const std::string& file_name) { return FileSizeByName(file_name); }

DateTime HashItem::GetFileDate(const std::string& file_name) { return FileDateByName(file_name); }

bool HashItem::ReadFromFile(std::string_view base_path, std::string path,
                            const progress::ProgressEvent& on_progress, bool follow_links) {
  Clear();
  SetBasePath(base_path);
  SetPath(path);

  // The size and time stored are those of the very file read, taken before
  // its first byte: a file replaced or deleted meanwhile is listed as what
  // was read, and one that grows or shrinks with the size it had.
  platform::FileStatus status;
  const std::unique_ptr<platform::ReadableFile> file =
      OpenForHashing(platform::CurrentFileSystem(), FileName(), follow_links, &status);
  const int64_t size = status.size;

  FileReader reader(*file, ReadBuffer(), kHashReadSize);
  std::string hash = HashPieces(reader, [this, &on_progress, size](int64_t done) {
    if (on_progress) on_progress(this, done, size);
  });
  // Converted after the read, as a read error comes first, and before any
  // field is set, so that a failure leaves the entry with its cleared values.
  const DateTime date = DateTimeFromUnixMilliseconds(status.modified_ms);

  SetHash(std::move(hash));
  SetSize(size);
  SetDate(date);
  return size >= 0;
}

}  // namespace hv
