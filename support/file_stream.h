// A stream over an open platform file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "support/stream.h"

namespace hv {

using platform::OpenMode;

class FileStream : public Stream {
 public:
  // Opens `file_name` through the current file system. Failing that, raises
  // EFOpenError "Cannot open file \"%s\". %s" (EFCreateError "Cannot create
  // file ..." for fmCreate) with the full path and the system's error text.
  FileStream(const std::string& file_name, OpenMode mode);
  // Over a file that is already open; `file_name` is only for messages.
  FileStream(std::unique_ptr<platform::File> file, std::string file_name);
  // Closes quietly when Close was not called.
  ~FileStream() override;

  // Fewer bytes than asked only at the end of the file; a failure raises
  // EReadError "Stream read error".
  int64_t Read(void* buffer, int64_t count) override;
  // All bytes or EWriteError "Stream write error".
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  // Cuts or extends the file and moves the position to its new end.
  void SetSize(int64_t new_size) override;
  void Sync() override;
  // Releases the file; a failure raises EWriteError "Stream write error".
  void Close() override;

  const std::string& FileName() const { return file_name_; }
  // The system's reason for the last write, sync or close that failed; 0 when
  // none did.
  platform::ErrorCode LastError() const { return last_error_; }

 private:
  std::unique_ptr<platform::File> file_;
  std::string file_name_;
  platform::ErrorCode last_error_ = 0;
};

}  // namespace hv
