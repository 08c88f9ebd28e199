#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix_file.h"

namespace hv::platform {

namespace {

class PosixDirectoryHandle final : public DirectoryHandle {
 public:
  PosixDirectoryHandle(int fd, const std::string& path) : fd_(fd), path_length_(DirectoryPathLength(path)) {}
  ~PosixDirectoryHandle() override { ::close(fd_); }
  PosixDirectoryHandle(const PosixDirectoryHandle&) = delete;
  PosixDirectoryHandle& operator=(const PosixDirectoryHandle&) = delete;

  ErrorCode Stat(const std::string& name, FileStatus* status) override {
    return StatNameIn(fd_, path_length_, name, status);
  }

  ErrorCode OpenForReading(const std::string& name, bool follow_links, std::unique_ptr<ReadableFile>* file,
                           FileStatus* status) override {
    return OpenNameIn(fd_, path_length_, name, follow_links, file, status);
  }

 private:
  int fd_;
  size_t path_length_;
};

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills
// the buffer); these overloads accept whichever the C library declares.
[[maybe_unused]] std::string ErrorTextFrom(const char* result, const char*) { return result; }
[[maybe_unused]] std::string ErrorTextFrom(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}

class PosixFileSystem final : public FileSystem {
 public:
  PosixFileSystem() = default;
  ~PosixFileSystem() override {
    for (const auto& [name, fd] : unnamed_) ::close(fd);
  }
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  ErrorCode Stat(const std::string& path, FileStatus* status) override {
    return StatAt(kCurrentDirectory, path.c_str(), 0, status);
  }

  ErrorCode OpenForReading(const std::string& path, int64_t unbuffered_from, bool follow_links,
                           std::unique_ptr<ReadableFile>* file, FileStatus* status) override {
    FileStatus unwanted;
    return OpenRegularForReading(kCurrentDirectory, path, unbuffered_from, follow_links, DescriptorDirectory(), file,
                                 status != nullptr ? status : &unwanted);
  }

  void UseOwnDescriptors() override { platform::UseOwnDescriptors(); }
  void CloseDeferred() override { platform::CloseDeferred(); }

  ErrorCode OpenDirectoryHandle(const std::string& path, std::unique_ptr<DirectoryHandle>* handle) override {
    const int fd = OpenRetrying(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return errno;
    *handle = std::make_unique<PosixDirectoryHandle>(fd, path);
    return 0;
  }

  ErrorCode Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    return OpenPosixFile(path, mode, file);
  }

  ErrorCode DeleteFile(const std::string& path) override {
    // A temporary without a name goes with its last descriptor.
    if (const int fd = TakeUnnamed(path); fd != -1) {
      ::close(fd);
      return 0;
    }
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
  }

  ErrorCode OpenDirectory(const std::string& path,
                          std::unique_ptr<DirectoryReader>* reader) override {
    return OpenPosixDirectory(path, reader);
  }

  ErrorCode CreateTemporary(const std::string& near_path, std::string* temp_path,
                            std::unique_ptr<File>* file) override {
    // A hidden name beside the target, so that the rename stays within one
    // file system and a left-over file is easy to recognise.
    const size_t slash = near_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : near_path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? near_path : near_path.substr(slash + 1);
    // Where the file system allows it, the file gets that name only in
    // Rename: a process killed while writing it then leaves nothing behind.
    const int unnamed = OpenUnnamed(directory);
    static std::atomic<uint32_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      const uint64_t tag = (static_cast<uint64_t>(::getpid()) << 32) ^
                           (static_cast<uint64_t>(::time(nullptr)) << 8) ^ counter.fetch_add(1);
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".tmp%012llx", static_cast<unsigned long long>(tag & 0xFFFFFFFFFFFFull));
      std::string name = directory + "." + base + suffix;
      if (unnamed != -1) {
        struct stat st;
        if (::lstat(name.c_str(), &st) == 0) continue;
        // Kept until Rename links it or DeleteFile drops it.
        const int kept = ::fcntl(unnamed, F_DUPFD_CLOEXEC, 0);
        if (kept == -1) {
          const ErrorCode error = errno;
          ::close(unnamed);
          return error;
        }
        {
          std::lock_guard lock(unnamed_mutex_);
          unnamed_[name] = kept;
        }
        *temp_path = std::move(name);
        *file = WrapPosixFile(unnamed);
        return 0;
      }
      const int fd = OpenRetrying(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd != -1) {
        *temp_path = std::move(name);
        *file = WrapPosixFile(fd);
        return 0;
      }
      if (errno != EEXIST) return errno;
    }
    if (unnamed != -1) ::close(unnamed);
    return EEXIST;
  }

  ErrorCode Rename(const std::string& from, const std::string& to) override {
    if (const int fd = TakeUnnamed(from); fd != -1) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      const int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, from.c_str(), AT_SYMLINK_FOLLOW);
      const ErrorCode error = linked == 0 ? 0 : errno;
      ::close(fd);
      if (error != 0) return error;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  bool IsUnnamedPipe(const std::string& path) override {
    struct statfs file_system;
    return ::statfs(path.c_str(), &file_system) == 0 && file_system.f_type == PIPEFS_MAGIC;
  }

  std::string ResolveLinks(const std::string& path) override {
    std::string name = path;
    // As many links as the kernel follows in one name: more, and Stat has
    // told already that the name leads nowhere.
    for (int links = 0; links <= 40; ++links) {
      if (char* resolved = ::realpath(name.c_str(), nullptr)) {
        std::string result(resolved);
        std::free(resolved);
        return result;
      }
      if (errno != ENOENT) break;
      // Nothing there yet: a link that leads nowhere names the file to be
      // created, a relative one from the link's own directory.
      char target[PATH_MAX];
      const ssize_t length = ::readlink(name.c_str(), target, sizeof target);
      if (length <= 0) return name;
      const std::string_view text(target, static_cast<size_t>(length));
      name = text.front() == '/' ? std::string(text) : name.substr(0, name.rfind('/') + 1).append(text);
    }
    return path;
  }

  ErrorCode SyncDirectory(const std::string& directory) override {
    const int fd = OpenRetrying(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return errno;
    int error = 0;
    while (::fsync(fd) != 0) {
      if (errno == EINTR) continue;
      // Some file systems cannot sync a directory; the rename itself stands.
      if (errno != EINVAL && errno != EROFS) error = errno;
      break;
    }
    ::close(fd);
    return error;
  }

  ErrorCode ReadExtendedAttributes(const std::string& path,
                                   std::vector<std::pair<std::string, std::string>>* attributes) override {
    attributes->clear();
    std::vector<char> names;
    for (;;) {
      const ssize_t length = ::listxattr(path.c_str(), nullptr, 0);
      if (length < 0) return errno == ENOTSUP ? 0 : errno;
      names.resize(static_cast<size_t>(length));
      const ssize_t got = ::listxattr(path.c_str(), names.data(), names.size());
      if (got >= 0) {
        names.resize(static_cast<size_t>(got));
        break;
      }
      // The list grew between the two calls.
      if (errno != ERANGE) return errno;
    }
    for (size_t at = 0; at < names.size();) {
      const std::string name(names.data() + at);
      at += name.size() + 1;
      std::string value;
      for (;;) {
        const ssize_t length = ::getxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (length < 0) break;
        value.resize(static_cast<size_t>(length));
        const ssize_t got = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (got >= 0) {
          value.resize(static_cast<size_t>(got));
          attributes->emplace_back(name, std::move(value));
          break;
        }
        if (errno != ERANGE) break;
      }
      // An attribute that went away or cannot be read is not there to copy.
    }
    return 0;
  }

  std::string CurrentDirectory() override {
    std::vector<char> buffer(4096);
    for (;;) {
      if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
      if (errno != ERANGE) return {};
      buffer.resize(buffer.size() * 2);
    }
  }

  std::string ErrorText(ErrorCode error) override {
    char buffer[256] = {};
    std::string text = ErrorTextFrom(::strerror_r(error, buffer, sizeof buffer), buffer);
    if (text.empty()) text = "Unknown error " + std::to_string(error);
    return text;
  }

 private:
  // An unnamed file in `directory`, or -1 where there is none to be had (no
  // O_TMPFILE, or no /proc to link it through).
  static int OpenUnnamed(const std::string& directory) {
    if (::access("/proc/self/fd", X_OK) != 0) return -1;
    return OpenRetrying(directory.empty() ? "." : directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  }

  int TakeUnnamed(const std::string& name) {
    std::lock_guard lock(unnamed_mutex_);
    const auto it = unnamed_.find(name);
    if (it == unnamed_.end()) return -1;
    const int fd = it->second;
    unnamed_.erase(it);
    return fd;
  }

  std::mutex unnamed_mutex_;
  std::map<std::string, int> unnamed_;
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace hv::platform
