// Listing one directory. The scan of a tree reads each directory once, name
// by name, and needs the kind of each entry without a stat per file; the
// kinds come from the directory itself wherever the file system keeps them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error_code.h"

namespace hv::platform {

enum class EntryKind : uint8_t {
  kRegular,
  kDirectory,
  kSymbolicLink,
  // FIFOs, sockets and device files.
  kOther,
};

struct FileStatus;

struct DirectoryEntry {
  // Valid until the next call of Next on the same reader.
  std::string_view name;
  EntryKind kind = EntryKind::kOther;
};

class DirectoryReader {
 public:
  virtual ~DirectoryReader() = default;

  // Identity of the listed directory, so that a walk can tell when it comes
  // back to a directory it is already inside.
  virtual uint64_t device() const = 0;
  virtual uint64_t inode() const = 0;

  // The next entry other than "." and "..". False at the end, or when the
  // listing failed; error() then tells which (0 at a normal end).
  virtual bool Next(DirectoryEntry* entry) = 0;
  virtual ErrorCode error() const = 0;

  // FileSystem::Stat of the entry `name` of this directory (symbolic links
  // followed), found in the open directory rather than by walking its path.
  virtual ErrorCode Stat(std::string_view name, FileStatus* status) = 0;
};

// Opens the directory `path` (symbolic links followed) for listing.
ErrorCode OpenPosixDirectory(const std::string& path, std::unique_ptr<DirectoryReader>* reader);

// Special files, which the program never makes but its tests need in order to
// show that scans pass them by.
ErrorCode CreateFifo(const std::string& path);
ErrorCode CreateSocketFile(const std::string& path);

}  // namespace hv::platform
