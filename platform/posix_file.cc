#include "platform/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace hv::platform {

namespace {

static_assert(sizeof(off_t) == 8, "files need 64-bit offsets (_FILE_OFFSET_BITS=64)");

// Larger single transfers are split: the kernel caps one call near 2 GiB anyway.
constexpr int64_t kMaxChunk = int64_t{1} << 30;

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

}  // namespace

int OpenRetrying(const std::string& path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
  } while (fd == -1 && errno == EINTR);
  return fd;
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
  struct stat st;
  if (mode == OpenMode::fmCreate && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    // Opened for reading too, a FIFO would be its own reader: what is still
    // in it at the close would be lost, or fill it and wait forever. Written
    // only, it waits for a reader as every writer of a FIFO does.
    flags |= O_WRONLY;
  } else if (mode == OpenMode::fmCreate) {
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

}  // namespace hv::platform
