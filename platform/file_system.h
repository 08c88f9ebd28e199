// The program's one window onto the file system. Everything above this folder
// reaches files through FileSystem, so tests can put a fake in its place and
// provoke failures (open errors, failing or short reads, odd sizes) at will.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "platform/error_code.h"
#include "platform/file.h"

namespace hv::platform {

// What a name is. A symbolic link shows only where links are not followed.
enum class FileKind : uint8_t {
  kRegular,
  kDirectory,
  kSymbolicLink,
  kFifo,
  kSocket,
  kCharacterDevice,
  kBlockDevice,
  kOther,
};

// A time to the nanosecond, as the file system keeps it.
struct FileTime {
  int64_t seconds = 0;
  int32_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
};

// What a stat of a name (following symbolic links) tells about it. The `_ms`
// times are milliseconds since 1970-01-01 00:00 UTC, truncated toward minus
// infinity.
struct FileStatus {
  FileKind kind = FileKind::kOther;
  int64_t size = 0;
  int64_t modified_ms = 0;
  int64_t accessed_ms = 0;
  bool has_birth_time = false;  // the file system keeps a creation time
  int64_t birth_ms = 0;
  // The last change of the data, and of the data or the inode: no tool can
  // put the change time back, so together they tell whether a file was
  // touched since it was last looked at.
  FileTime modified;
  FileTime changed;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t permissions = 0;  // the mode's permission bits (07777)
  uint32_t link_count = 0;
  uint32_t owner = 0;
  uint32_t group = 0;

  bool is_regular() const { return kind == FileKind::kRegular; }
  bool is_directory() const { return kind == FileKind::kDirectory; }
};

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `count` bytes into `buffer`. Returns the number of bytes read,
  // 0 at the end of the file, or -1 with `*error` set when the read failed.
  virtual int64_t Read(void* buffer, size_t count, ErrorCode* error) = 0;
  // What Stat gives for the open file now, whatever has become of its name.
  virtual ErrorCode Status(FileStatus* status) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Follows symbolic links. Returns 0 and fills `status`, or the error.
  virtual ErrorCode Stat(const std::string& path, FileStatus* status) = 0;

  // Opens an existing regular file for reading, and nothing else. The name
  // is looked at first without opening what it names (a symbolic link as its
  // last part followed only with `follow_links`), and only a regular file is
  // then opened, as the very file looked at: no FIFO, device or socket is
  // ever opened, so nothing can block or be read forever. `*status` (when
  // not null) receives what the look found: the status of the file opened,
  // taken before any of its bytes is read, or what the name was instead; it
  // stays as it is where the name could not be looked at. A directory gives
  // EISDIR, a link not followed ELOOP, anything else that is no regular file
  // ENXIO. A file of `unbuffered_from` bytes or more (kAlwaysCached: none) is
  // read past the system's cache where the file system allows that; `buffer`
  // handed to Read must then be aligned to 64 KiB and `count` a multiple of it.
  virtual ErrorCode OpenForReading(const std::string& path, int64_t unbuffered_from, bool follow_links,
                                   std::unique_ptr<ReadableFile>* file, FileStatus* status) = 0;
  static constexpr int64_t kAlwaysCached = INT64_MAX;

  // Gives the calling thread, where the system allows it, a table of
  // descriptors of its own, so that its opens and closes do not wait on
  // those of other threads. The thread then uses only what it opens itself
  // from here on, and what it opened stays its own. The files it opens for
  // reading are closed together by CloseDeferred (and every few hundred),
  // not each when it is dropped. Nothing to do for a file system without
  // descriptors.
  virtual void UseOwnDescriptors() {}
  // Closes the files for reading that the calling thread has dropped since
  // UseOwnDescriptors or the last CloseDeferred.
  virtual void CloseDeferred() {}

  // Opens the directory `path` (symbolic links followed) to open the files
  // in it by name. Unless a file system does better, a handle only puts
  // `path`, '/' and the name together, and a missing directory shows at the
  // first open.
  virtual ErrorCode OpenDirectoryHandle(const std::string& path, std::unique_ptr<DirectoryHandle>* handle);

  // Opens `path` for the text stream and the files the program writes:
  // fmOpenRead and fmOpenReadWrite need an existing file, fmCreate creates one
  // or empties it. A directory gives EISDIR. Returns 0 and fills `file`, or
  // the error.
  virtual ErrorCode Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) = 0;

  virtual ErrorCode DeleteFile(const std::string& path) = 0;

  // Opens the directory `path` (symbolic links followed) for listing; a
  // missing one gives ENOENT, one that is no directory ENOTDIR.
  virtual ErrorCode OpenDirectory(const std::string& path,
                                  std::unique_ptr<DirectoryReader>* reader) = 0;

  // Creates a new, empty file for reading and writing in the directory of
  // `near_path`, under a name no other file has; `*temp_path` receives it.
  virtual ErrorCode CreateTemporary(const std::string& near_path, std::string* temp_path,
                                    std::unique_ptr<File>* file) = 0;
  // True when `path` (symbolic links followed) is a pipe without a name, as
  // /dev/stdin and /dev/fd/N may lead to: one on the system's pipe file
  // system, not a FIFO in a directory.
  virtual bool IsUnnamedPipe(const std::string& /*path*/) { return false; }
  // Replaces `to` by `from` in one step.
  virtual ErrorCode Rename(const std::string& from, const std::string& to) = 0;
  // `path` with its symbolic links resolved, so that a file reached through a
  // link is replaced rather than the link. A link that leads nowhere yet
  // gives the name it leads to, where the file is to be created. `path`
  // itself when nothing is there to resolve or its links go round.
  virtual std::string ResolveLinks(const std::string& path) { return path; }
  // Pushes the directory's entries (a rename into it) to the storage device.
  virtual ErrorCode SyncDirectory(const std::string& directory) = 0;
  // The extended attributes of `path` (symbolic links followed) as name and
  // value, those the process may read.
  virtual ErrorCode ReadExtendedAttributes(const std::string& path,
                                           std::vector<std::pair<std::string, std::string>>* attributes) = 0;

  // The process's current directory, absolute, without a trailing '/'
  // (except for the root itself). Empty when it cannot be read.
  virtual std::string CurrentDirectory() = 0;

  // The system's text for an error number.
  virtual std::string ErrorText(ErrorCode error) = 0;

  // True when `path` names something other than a directory, symbolic links
  // followed (a dangling link does not exist).
  bool FileExists(const std::string& path);

  // Whether two names lead to one file: the same device and inode, or the
  // same absolute path.
  bool SameFile(const std::string& a, const std::string& b);

  // `path` made absolute against the current directory and normalised
  // lexically: "." and ".." resolved, repeated '/' folded, symbolic links left
  // alone. A trailing '/' is kept. Without a current directory a relative
  // path comes back unchanged.
  std::string FullPath(const std::string& path);
};

// The real file system of the running process.
FileSystem& RealFileSystem();

// The file system that the program uses: the real one unless a test has put
// another in its place.
FileSystem& CurrentFileSystem();

// A handle that reaches the names of a directory through the file system,
// path and name put together: what a file system gives that cannot do better.
class JoinedDirectoryHandle final : public DirectoryHandle {
 public:
  JoinedDirectoryHandle(FileSystem& file_system, std::string directory);
  ErrorCode Stat(const std::string& name, FileStatus* status) override;
  ErrorCode OpenForReading(const std::string& name, bool follow_links, std::unique_ptr<ReadableFile>* file,
                           FileStatus* status) override;

 private:
  FileSystem& file_system_;
  std::string directory_;
};

// Replaces the current file system for the lifetime of this object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// Lexical normalisation of an absolute '/'-separated path (see FullPath).
std::string NormalizeAbsolutePath(const std::string& path);

}  // namespace hv::platform
