#include "support/file_stream.h"

#include <cerrno>

#include "platform/console.h"
#include "platform/file_system.h"
#include "support/exceptions.h"

namespace hv {

namespace {

// Modes in which the program opens the files it writes rather than reads.
bool Writes(OpenMode mode) {
  return mode == OpenMode::fmCreate || mode == OpenMode::fmOpenWrite || mode == OpenMode::fmAppend;
}

[[noreturn]] void ThrowOpenError(const std::string& file_name, OpenMode mode, platform::ErrorCode error) {
  platform::FileSystem& fs = platform::CurrentFileSystem();
  const std::string text = fs.ErrorText(error != 0 ? error : EIO);
  const std::string path = fs.FullPath(file_name);
  if (Writes(mode)) throw EFCreateError("Cannot create file \"" + path + "\". " + text);
  throw EFOpenError("Cannot open file \"" + path + "\". " + text);
}

enum class OutputKind { kFile, kInPlace, kStandardOutput };

OutputKind OutputKindOf(const std::string& file_name) {
  platform::FileStatus status;
  // A name that leads nowhere (a dangling link too) is a new file.
  if (platform::CurrentFileSystem().Stat(file_name, &status) != 0) return OutputKind::kFile;
  if (platform::CurrentConsole().IsStandardOutput(status)) return OutputKind::kStandardOutput;
  if (status.is_regular() || status.is_directory()) return OutputKind::kFile;
  return OutputKind::kInPlace;
}

}  // namespace

FileStream::FileStream(const std::string& file_name, OpenMode mode) : file_name_(file_name) {
  const platform::ErrorCode error = platform::CurrentFileSystem().Open(file_name, mode, &file_);
  if (error != 0 || file_ == nullptr) ThrowOpenError(file_name, mode, error);
  seekable_ = file_->Seekable();
}

FileStream::FileStream(std::unique_ptr<platform::File> file, std::string file_name)
    : file_(std::move(file)), file_name_(std::move(file_name)) {
  seekable_ = file_ == nullptr || file_->Seekable();
}

FileStream::~FileStream() = default;

std::unique_ptr<FileStream> FileStream::CreateOutput(const std::string& file_name) {
  switch (OutputKindOf(file_name)) {
    case OutputKind::kStandardOutput: {
      // Opening the name again would start at its beginning, over what the
      // program has written there already.
      std::unique_ptr<platform::File> file;
      const platform::ErrorCode error = platform::CurrentConsole().OpenStandardOutput(&file);
      if (error != 0 || file == nullptr) ThrowOpenError(file_name, OpenMode::fmOpenWrite, error);
      return std::make_unique<FileStream>(std::move(file), file_name);
    }
    case OutputKind::kInPlace: return std::make_unique<FileStream>(file_name, OpenMode::fmOpenWrite);
    case OutputKind::kFile: break;
  }
  return std::make_unique<FileStream>(file_name, OpenMode::fmCreate);
}

bool FileStream::WrittenInPlace(const std::string& file_name) {
  return OutputKindOf(file_name) != OutputKind::kFile;
}

int64_t FileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (file_ == nullptr) throw EReadError(kStreamReadError);
  platform::ErrorCode error = 0;
  const int64_t n = file_->Read(buffer, count, &error);
  if (n < 0) throw EReadError(kStreamReadError);
  sequential_position_ += n;
  return n;
}

int64_t FileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  last_error_ = file_ == nullptr ? EBADF : file_->Write(buffer, count);
  if (last_error_ != 0) throw EWriteError(kStreamWriteError);
  sequential_position_ += count;
  return count;
}

int64_t FileStream::Seek(int64_t offset, SeekOrigin origin) {
  if (!seekable_) {
    const int64_t target = SeekTarget(offset, origin, sequential_position_, [] { return int64_t{-1}; });
    if (file_ == nullptr || target != sequential_position_) throw EStreamError(kStreamSeekError);
    return sequential_position_;
  }
  const auto whence = static_cast<platform::Whence>(static_cast<int>(origin));
  int64_t position = 0;
  if (file_ == nullptr || file_->Seek(offset, whence, &position) != 0) throw EStreamError(kStreamSeekError);
  return position;
}

int64_t FileStream::Size() {
  if (!seekable_) return -1;
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
