#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/directory.h"
#include "platform/posix_file.h"

namespace hv::platform {

namespace {

EntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kRegular;
  if (S_ISDIR(mode)) return EntryKind::kDirectory;
  if (S_ISLNK(mode)) return EntryKind::kSymbolicLink;
  return EntryKind::kOther;
}

class PosixDirectoryReader final : public DirectoryReader {
 public:
  PosixDirectoryReader(DIR* dir, const struct stat& st, const std::string& path)
      : dir_(dir),
        device_(static_cast<uint64_t>(st.st_dev)),
        inode_(static_cast<uint64_t>(st.st_ino)),
        path_length_(DirectoryPathLength(path)) {}
  ~PosixDirectoryReader() override { ::closedir(dir_); }
  PosixDirectoryReader(const PosixDirectoryReader&) = delete;
  PosixDirectoryReader& operator=(const PosixDirectoryReader&) = delete;

  uint64_t device() const override { return device_; }
  uint64_t inode() const override { return inode_; }
  ErrorCode error() const override { return error_; }

  bool Next(DirectoryEntry* entry) override {
    if (error_ != 0) return false;
    for (;;) {
      errno = 0;
      const struct dirent* d = ::readdir(dir_);
      if (d == nullptr) {
        error_ = errno;
        return false;
      }
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      EntryKind kind;
      switch (d->d_type) {
        case DT_REG: kind = EntryKind::kRegular; break;
        case DT_DIR: kind = EntryKind::kDirectory; break;
        case DT_LNK: kind = EntryKind::kSymbolicLink; break;
        case DT_UNKNOWN: {
          // Some file systems do not keep the kind in the directory.
          struct stat st;
          if (::fstatat(::dirfd(dir_), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since it was listed: as if it had never been there.
            if (errno == ENOENT) continue;
            kind = EntryKind::kOther;
          } else {
            kind = KindOfMode(st.st_mode);
          }
          break;
        }
        default: kind = EntryKind::kOther; break;
      }
      entry->name = std::string_view(name, std::strlen(name));
      entry->kind = kind;
      return true;
    }
  }

  ErrorCode Stat(const std::string& name, FileStatus* status) override {
    return StatNameIn(::dirfd(dir_), path_length_, name, status);
  }

  ErrorCode OpenForReading(const std::string& name, bool follow_links, std::unique_ptr<ReadableFile>* file,
                           FileStatus* status) override {
    return OpenNameIn(::dirfd(dir_), path_length_, name, follow_links, file, status);
  }

 private:
  DIR* dir_;
  uint64_t device_;
  uint64_t inode_;
  size_t path_length_;
  ErrorCode error_ = 0;
};

}  // namespace

ErrorCode OpenPosixDirectory(const std::string& path, std::unique_ptr<DirectoryReader>* reader) {
  const int fd = OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  // Closed here should the reader not come into being.
  std::unique_ptr<DIR, int (*)(DIR*)> owned(dir, ::closedir);
  *reader = std::make_unique<PosixDirectoryReader>(dir, st, path);
  owned.release();
  return 0;
}

ErrorCode CreateFifo(const std::string& path) {
  return ::mkfifo(path.c_str(), 0600) == 0 ? 0 : errno;
}

ErrorCode CreateSocketFile(const std::string& path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return errno;
  // The file stays behind when the socket is closed.
  const int error =
      ::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace hv::platform
