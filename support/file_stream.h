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
  // file ..." for the modes that write: fmCreate, fmOpenWrite, fmAppend) with
  // the full path and the system's error text.
  FileStream(const std::string& file_name, OpenMode mode);
  // Over a file that is already open; `file_name` is only for messages.
  FileStream(std::unique_ptr<platform::File> file, std::string file_name);
  // Closes quietly when Close was not called.
  ~FileStream() override;

  // A file that the program writes from its beginning (its output file, an
  // error log kept open), opened as what the name leads to allows: standard
  // output itself is written through a second descriptor, behind what the
  // program wrote there; a FIFO or a device is opened for writing as it is,
  // never emptied or replaced; anything else is created, or emptied
  // (fmCreate), a symbolic link leading to the file. Failures as above.
  static std::unique_ptr<FileStream> CreateOutput(const std::string& file_name);
  // CreateOutput writes `file_name` in place: it is standard output, a FIFO
  // or a device.
  static bool WrittenInPlace(const std::string& file_name);

  // Fewer bytes than asked only at the end of the file; a failure raises
  // EReadError "Stream read error".
  int64_t Read(void* buffer, int64_t count) override;
  // All bytes or EWriteError "Stream write error".
  int64_t Write(const void* buffer, int64_t count) override;
  // A file that cannot seek keeps count of the bytes moved: a seek to where
  // it stands is answered, any other raises EStreamError.
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  bool CanSeek() override { return seekable_; }
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

  bool seekable_ = true;
  // The bytes read and written so far, where the file cannot seek.
  int64_t sequential_position_ = 0;
};

}  // namespace hv
