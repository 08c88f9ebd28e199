#include "support/file_stream.h"

#include <cerrno>

#include "platform/file_system.h"
#include "support/exceptions.h"

namespace hv {

FileStream::FileStream(const std::string& file_name, OpenMode mode) : file_name_(file_name) {
  platform::FileSystem& fs = platform::CurrentFileSystem();
  const platform::ErrorCode error = fs.Open(file_name, mode, &file_);
  if (error != 0 || file_ == nullptr) {
    const std::string text = fs.ErrorText(error != 0 ? error : EIO);
    const std::string path = fs.FullPath(file_name);
    if (mode == OpenMode::fmCreate) throw EFCreateError("Cannot create file \"" + path + "\". " + text);
    throw EFOpenError("Cannot open file \"" + path + "\". " + text);
  }
}

FileStream::FileStream(std::unique_ptr<platform::File> file, std::string file_name)
    : file_(std::move(file)), file_name_(std::move(file_name)) {}

FileStream::~FileStream() = default;

int64_t FileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (file_ == nullptr) throw EReadError(kStreamReadError);
  platform::ErrorCode error = 0;
  const int64_t n = file_->Read(buffer, count, &error);
  if (n < 0) throw EReadError(kStreamReadError);
  return n;
}

int64_t FileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  last_error_ = file_ == nullptr ? EBADF : file_->Write(buffer, count);
  if (last_error_ != 0) throw EWriteError(kStreamWriteError);
  return count;
}

int64_t FileStream::Seek(int64_t offset, SeekOrigin origin) {
  const auto whence = static_cast<platform::Whence>(static_cast<int>(origin));
  int64_t position = 0;
  if (file_ == nullptr || file_->Seek(offset, whence, &position) != 0) throw EStreamError(kStreamSeekError);
  return position;
}

int64_t FileStream::Size() {
  int64_t size = 0;
  if (file_ == nullptr || file_->Size(&size) != 0) throw EReadError(kStreamReadError);
  return size;
}

void FileStream::SetSize(int64_t new_size) {
  if (file_ == nullptr || file_->Truncate(new_size) != 0) throw EWriteError(kStreamWriteError);
  Seek(new_size, SeekOrigin::soBeginning);
}

void FileStream::Sync() {
  last_error_ = file_ == nullptr ? EBADF : file_->Sync();
  if (last_error_ != 0) throw EWriteError(kStreamWriteError);
}

void FileStream::Close() {
  if (file_ == nullptr) return;
  last_error_ = file_->Close();
  file_.reset();
  if (last_error_ != 0) throw EWriteError(kStreamWriteError);
}

}  // namespace hv
