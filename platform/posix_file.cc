#include "platform/posix_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string>
#include <vector>

namespace hv::platform {

namespace {

static_assert(sizeof(off_t) == 8, "files need 64-bit offsets (_FILE_OFFSET_BITS=64)");
static_assert(kCurrentDirectory == AT_FDCWD);

// Larger single transfers are split: the kernel caps one call near 2 GiB anyway.
constexpr int64_t kMaxChunk = int64_t{1} << 30;

// Milliseconds since the epoch, rounded toward minus infinity (nanoseconds
// are never negative), saturated instead of overflowing for absurd times.
int64_t ToMilliseconds(int64_t seconds, int64_t nanoseconds) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000 - 1;
  if (seconds > kLimit) return std::numeric_limits<int64_t>::max();
  if (seconds < -kLimit) return std::numeric_limits<int64_t>::min();
  return seconds * 1000 + nanoseconds / 1000000;
}

void FillFromStat(const struct stat& st, FileStatus* status) {
  status->kind = FileKindOf(st.st_mode);
  status->size = static_cast<int64_t>(st.st_size);
  status->modified_ms = ToMilliseconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  status->accessed_ms = ToMilliseconds(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  status->has_birth_time = false;
  status->birth_ms = 0;
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->modified = {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int32_t>(st.st_mtim.tv_nsec)};
  status->changed = {static_cast<int64_t>(st.st_ctim.tv_sec), static_cast<int32_t>(st.st_ctim.tv_nsec)};
  status->permissions = static_cast<uint32_t>(st.st_mode & 07777);
  status->link_count = static_cast<uint32_t>(st.st_nlink);
  status->owner = static_cast<uint32_t>(st.st_uid);
  status->group = static_cast<uint32_t>(st.st_gid);
}

void FillFromStatx(const struct statx& stx, FileStatus* status) {
  status->kind = FileKindOf(stx.stx_mode);
  status->size = static_cast<int64_t>(stx.stx_size);
  status->modified_ms = ToMilliseconds(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  status->accessed_ms = ToMilliseconds(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
  status->has_birth_time = (stx.stx_mask & STATX_BTIME) != 0;
  status->birth_ms =
      status->has_birth_time ? ToMilliseconds(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec) : 0;
  status->device = static_cast<uint64_t>(makedev(stx.stx_dev_major, stx.stx_dev_minor));
  status->inode = static_cast<uint64_t>(stx.stx_ino);
  status->modified = {static_cast<int64_t>(stx.stx_mtime.tv_sec), static_cast<int32_t>(stx.stx_mtime.tv_nsec)};
  status->changed = {static_cast<int64_t>(stx.stx_ctime.tv_sec), static_cast<int32_t>(stx.stx_ctime.tv_nsec)};
  status->permissions = static_cast<uint32_t>(stx.stx_mode & 07777);
  status->link_count = static_cast<uint32_t>(stx.stx_nlink);
  status->owner = static_cast<uint32_t>(stx.stx_uid);
  status->group = static_cast<uint32_t>(stx.stx_gid);
}

// openat(2), retried while a signal interrupts it.
int OpenAtRetrying(int directory, const char* name, int flags, unsigned mode = 0) {
  int fd;
  do {
    fd = ::openat(directory, name, flags, static_cast<mode_t>(mode));
  } while (fd == -1 && errno == EINTR);
  return fd;
}

// A thread with a table of descriptors of its own (UseOwnDescriptors) keeps
// the descriptors of the files it has read until CloseDeferred: closed one
// by one, each would cost a system call of its own.
thread_local bool t_own_descriptors = false;
thread_local std::vector<int> t_deferred_closes;
constexpr size_t kMaxDeferredCloses = 256;

// Closes `fd`, a descriptor of a file opened for reading, now or with the
// thread's next CloseDeferred.
void CloseReadDescriptor(int fd) {
  if (!t_own_descriptors) {
    ::close(fd);
    return;
  }
  t_deferred_closes.push_back(fd);
  if (t_deferred_closes.size() >= kMaxDeferredCloses) CloseDeferred();
}

// The stat of what `fd` stands for. Only ever asked what a descriptor is and
// whether its file changed, several times for each file hashed: plain fstat,
// cheaper than statx with its larger record, and no birth time.
ErrorCode StatDescriptor(int fd, FileStatus* status) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  FillFromStat(st, status);
  return 0;
}

class PosixFile : public File {
 public:
  PosixFile(int fd, bool sequential) : fd_(fd), sequential_(sequential) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int64_t Read(void* buffer, int64_t count, ErrorCode* error) override {
    if (fd_ < 0) return Fail(EBADF, error);
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    // A short read is not the end of a file on every file system, so go on
    // until read(2) reports the end.
    while (done < count) {
      const ssize_t n = ::read(fd_, out + done, static_cast<size_t>(std::min(count - done, kMaxChunk)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(errno, error);
      }
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  ErrorCode Write(const void* buffer, int64_t count) override {
    if (fd_ < 0) return EBADF;
    const auto* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, in + done, static_cast<size_t>(std::min(count - done, kMaxChunk)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      // No progress and no error: retrying would spin forever.
      if (n == 0) return EIO;
      done += n;
    }
    return 0;
  }

  ErrorCode Seek(int64_t offset, Whence whence, int64_t* position) override {
    if (fd_ < 0) return EBADF;
    const int how = whence == Whence::kBeginning ? SEEK_SET
                    : whence == Whence::kCurrent ? SEEK_CUR
                                                 : SEEK_END;
    const off_t result = ::lseek(fd_, static_cast<off_t>(offset), how);
    if (result < 0) return errno;
    *position = static_cast<int64_t>(result);
    return 0;
  }

  ErrorCode Size(int64_t* size) override {
    if (fd_ < 0) return EBADF;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    *size = static_cast<int64_t>(st.st_size);
    return 0;
  }

  ErrorCode Truncate(int64_t size) override {
    if (fd_ < 0) return EBADF;
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  ErrorCode Sync() override {
    if (fd_ < 0) return EBADF;
    while (::fsync(fd_) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  ErrorCode SetPermissions(uint32_t permissions) override {
    if (fd_ < 0) return EBADF;
    return ::fchmod(fd_, static_cast<mode_t>(permissions & 07777)) == 0 ? 0 : errno;
  }

  ErrorCode SetOwner(uint32_t owner, uint32_t group) override {
    if (fd_ < 0) return EBADF;
    return ::fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0 ? 0 : errno;
  }

  ErrorCode SetExtendedAttribute(const std::string& name, const std::string& value) override {
    if (fd_ < 0) return EBADF;
    return ::fsetxattr(fd_, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
  }

  ErrorCode Status(FileStatus* status) override { return fd_ < 0 ? EBADF : StatDescriptor(fd_, status); }

  ErrorCode Reserve(int64_t size) override {
    if (fd_ < 0) return EBADF;
    if (size <= 0) return 0;
    // posix_fallocate returns the error instead of setting errno.
    const int error = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    return error == EOPNOTSUPP || error == EINVAL ? 0 : error;
  }

  bool Seekable() override {
    if (sequential_) return false;
    if (!kind_known_ && fd_ >= 0) {
      struct stat st;
      // Only a regular file has a size and positions that mean anything.
      sequential_ = ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode);
      kind_known_ = true;
    }
    return !sequential_;
  }

  ErrorCode Close() override {
    if (fd_ < 0) return 0;
    const int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor even when close is interrupted, so EINTR
    // must not be retried (the number may already belong to another file).
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
  }

 private:
  static int64_t Fail(ErrorCode code, ErrorCode* error) {
    *error = code;
    return -1;
  }

  int fd_;
  bool sequential_;
  bool kind_known_ = false;
};

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(int fd, bool direct) : fd_(fd), direct_(direct) {}
  ~PosixReadableFile() override { CloseReadDescriptor(fd_); }
  PosixReadableFile(const PosixReadableFile&) = delete;
  PosixReadableFile& operator=(const PosixReadableFile&) = delete;

  ErrorCode Status(FileStatus* status) override { return StatDescriptor(fd_, status); }

  int64_t Read(void* buffer, size_t count, ErrorCode* error) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) return static_cast<int64_t>(n);
      if (errno == EINTR) continue;
      // Some file systems take O_DIRECT at open but refuse the read itself
      // (or this buffer or offset); then the file is read through the cache.
      if (errno == EINVAL && direct_) {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags != -1 && ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT) == 0) {
          direct_ = false;
          continue;
        }
        errno = EINVAL;
      }
      *error = errno;
      return -1;
    }
  }

 private:
  int fd_;
  bool direct_;
};

// The error open(2) would give for what is no regular file.
ErrorCode NotRegularError(FileKind kind) {
  switch (kind) {
    case FileKind::kDirectory: return EISDIR;
    case FileKind::kSymbolicLink: return ELOOP;
    default: return ENXIO;
  }
}

// Opens for reading, with `flags`, the regular file that `named` (a descriptor
// that only names it) stands for and whose stat gave `looked`. Through
// `reopen_directory` (a descriptor of "/proc/self/fd") and the descriptor's
// number it is that very file, whatever has become of its name since.
// Without that directory, `name` in `directory` is opened again without
// waiting for anything and kept only when it is still that file. The
// descriptor, or -1 with errno set.
int OpenNamedFile(int named, const FileStatus& looked, int directory, const std::string& name, bool follow_links,
                  int reopen_directory, int flags) {
  if (reopen_directory >= 0) {
    char number[16] = {};
    std::to_chars(number, number + sizeof number - 1, named);
    const int fd = OpenAtRetrying(reopen_directory, number, flags);
    if (fd != -1 || errno != ENOENT) return fd;
  }
  const int again = OpenAtRetrying(directory, name.c_str(), flags | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW));
  if (again == -1) return -1;
  FileStatus found;
  int status_flags = -1;
  ErrorCode error = StatDescriptor(again, &found);
  if (error == 0 && (status_flags = ::fcntl(again, F_GETFL)) == -1) {
    error = errno;
  } else if (error == 0 && (found.device != looked.device || found.inode != looked.inode)) {
    error = EAGAIN;  // replaced between the look and the open
  } else if (error == 0 && ::fcntl(again, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error == 0) return again;
  ::close(again);
  errno = error;
  return -1;
}

constexpr int kNotOpened = -2;
std::atomic<int> g_descriptor_directory{kNotOpened};
// A thread with a table of descriptors of its own finds them in
// "/proc/thread-self/fd", not in the process's.
thread_local int t_descriptor_directory = -1;

// A forked child must not reopen its parent's descriptors.
void ForgetDescriptorDirectory() {
  const int fd = g_descriptor_directory.exchange(kNotOpened);
  if (fd >= 0) ::close(fd);
  if (t_own_descriptors && t_descriptor_directory >= 0) ::close(t_descriptor_directory);
  CloseDeferred();
  t_own_descriptors = false;
}

}  // namespace

FileKind FileKindOf(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return FileKind::kRegular;
    case S_IFDIR: return FileKind::kDirectory;
    case S_IFLNK: return FileKind::kSymbolicLink;
    case S_IFIFO: return FileKind::kFifo;
    case S_IFSOCK: return FileKind::kSocket;
    case S_IFCHR: return FileKind::kCharacterDevice;
    case S_IFBLK: return FileKind::kBlockDevice;
    default: return FileKind::kOther;
  }
}

ErrorCode StatAt(int directory, const char* name, int flags, FileStatus* status) {
  struct statx stx;
  if (::statx(directory, name, flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
    FillFromStatx(stx, status);
    return 0;
  }
  // Kernels (or sandboxes) without statx: plain stat, no birth time.
  if (errno != ENOSYS && errno != EPERM) return errno;
  struct stat st;
  if (::fstatat(directory, name, &st, flags) != 0) return errno;
  FillFromStat(st, status);
  return 0;
}

bool UseOwnDescriptors() {
#ifdef HV_SHARED_DESCRIPTOR_TABLE
  return false;
#else
  if (t_own_descriptors) return true;
  if (::unshare(CLONE_FILES) != 0) return false;
  t_own_descriptors = true;
  t_descriptor_directory = OpenRetrying("/proc/thread-self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return true;
#endif
}

void CloseDeferred() {
  std::vector<int>& fds = t_deferred_closes;
  std::sort(fds.begin(), fds.end());
  // Descriptors opened one after the other have numbers one after the other.
  for (size_t first = 0, end = 0; first < fds.size(); first = end) {
    for (end = first + 1; end < fds.size() && fds[end] == fds[end - 1] + 1;) ++end;
    if (::close_range(static_cast<unsigned>(fds[first]), static_cast<unsigned>(fds[end - 1]), 0) != 0) {
      for (size_t i = first; i < end; ++i) ::close(fds[i]);
    }
  }
  fds.clear();
}

int DescriptorDirectory() {
  if (t_own_descriptors) return t_descriptor_directory;
  const int known = g_descriptor_directory.load(std::memory_order_acquire);
  if (known != kNotOpened) return known;
  [[maybe_unused]] static const int registered = ::pthread_atfork(nullptr, nullptr, ForgetDescriptorDirectory);
  const int opened = OpenRetrying("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  int expected = kNotOpened;
  if (g_descriptor_directory.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) return opened;
  // Another thread was first.
  if (opened >= 0) ::close(opened);
  return expected;
}

ErrorCode OpenRegularForReading(int directory, const std::string& name, int64_t unbuffered_from, bool follow_links,
                                int reopen_directory, std::unique_ptr<ReadableFile>* file, FileStatus* status) {
  // Looked at first without opening what the name stands for: opening a FIFO
  // waits for a writer, and a device may never stop giving bytes.
  const int named = OpenAtRetrying(directory, name.c_str(), O_PATH | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW));
  if (named == -1) return errno;
  const struct Closer {
    int fd;
    ~Closer() { CloseReadDescriptor(fd); }
  } closer{named};
  if (const ErrorCode error = StatDescriptor(named, status)) return error;
  if (!status->is_regular()) return NotRegularError(status->kind);
  const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
  bool direct = status->size >= unbuffered_from;
  int fd = OpenNamedFile(named, *status, directory, name, follow_links, reopen_directory,
                         flags | (direct ? O_DIRECT : 0));
  if (fd == -1 && direct && errno == EINVAL) {
    // The file system does not do O_DIRECT at all.
    direct = false;
    fd = OpenNamedFile(named, *status, directory, name, follow_links, reopen_directory, flags);
  }
  if (fd == -1) return errno;
  *file = std::make_unique<PosixReadableFile>(fd, direct);
  return 0;
}

int OpenRetrying(const std::string& path, int flags, unsigned mode) {
  return OpenAtRetrying(kCurrentDirectory, path.c_str(), flags, mode);
}

ErrorCode RejectDirectory(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const ErrorCode error = errno;
    ::close(fd);
    return error;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  return 0;
}

std::unique_ptr<File> WrapPosixFile(int fd, bool sequential) {
  return std::make_unique<PosixFile>(fd, sequential);
}

ErrorCode OpenPosixFile(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) {
  int flags = O_CLOEXEC;
  if (mode == OpenMode::fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else if (mode == OpenMode::fmAppend) {
    flags |= O_WRONLY | O_CREAT | O_APPEND;
  } else {
    switch (static_cast<uint16_t>(mode) & 3) {
      case 0:
        flags |= O_RDONLY;
        break;
      case 1:
        flags |= O_WRONLY;
        break;
      default:
        flags |= O_RDWR;
        break;
    }
  }
  const int fd = OpenRetrying(path, flags, 0666);
  if (fd < 0) return errno;
  if (const ErrorCode error = RejectDirectory(fd)) return error;
  // Appending writes at the end whatever the position says, so positions
  // mean nothing there either.
  *file = std::make_unique<PosixFile>(fd, mode == OpenMode::fmAppend);
  return 0;
}

size_t DirectoryPathLength(const std::string& path) { return path.size() + (path.ends_with('/') ? 0 : 1); }

ErrorCode StatNameIn(int directory, size_t path_length, const std::string& name, FileStatus* status) {
  if (path_length + name.size() >= PATH_MAX) return ENAMETOOLONG;
  return StatAt(directory, name.c_str(), 0, status);
}

ErrorCode OpenNameIn(int directory, size_t path_length, const std::string& name, bool follow_links,
                     std::unique_ptr<ReadableFile>* file, FileStatus* status) {
  if (path_length + name.size() >= PATH_MAX) return ENAMETOOLONG;
  return OpenRegularForReading(directory, name, FileSystem::kAlwaysCached, follow_links, DescriptorDirectory(), file,
                               status);
}

}  // namespace hv::platform
