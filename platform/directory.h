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
class ReadableFile;

// A directory held open, so that the files in it are looked at and opened
// by their names alone, without the path above them being walked again for
// each.
class DirectoryHandle {
 public:
  virtual ~DirectoryHandle() = default;
  // FileSystem::Stat of the name `name` in this directory.
  virtual ErrorCode Stat(const std::string& name, FileStatus* status) = 0;
  // FileSystem::OpenForReading of the file `name` in this directory, read
  // through the system's cache; `*status` receives what Stat gave for the
  // name when it was opened (the regular file that was opened, or what the
  // name was found to be instead).
  virtual ErrorCode OpenForReading(const std::string& name, bool follow_links, std::unique_ptr<ReadableFile>* file,
                                   FileStatus* status) = 0;
};

struct DirectoryEntry {
  // Valid until the next call of Next on the same reader.
  std::string_view name;
  EntryKind kind = EntryKind::kOther;
};

// A directory open for listing, whose names can also be looked at and
// opened while it is open.
class DirectoryReader : public DirectoryHandle {
 public:

  // Identity of the listed directory, so that a walk can tell when it comes
  // back to a directory it is already inside.
  virtual uint64_t device() const = 0;
  virtual uint64_t inode() const = 0;

  // The next entry other than "." and "..". False at the end, or when the
  // listing failed; error() then tells which (0 at a normal end).
  virtual bool Next(DirectoryEntry* entry) = 0;
  virtual ErrorCode error() const = 0;
};

// Opens the directory `path` (symbolic links followed) for listing.
ErrorCode OpenPosixDirectory(const std::string& path, std::unique_ptr<DirectoryReader>* reader);

// Special files, which the program never makes but its tests need in order to
// show that scans pass them by.
ErrorCode CreateFifo(const std::string& path);
ErrorCode CreateSocketFile(const std::string& path);

}  // namespace hv::platform
