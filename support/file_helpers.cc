#include "support/file_helpers.h"

#include "platform/file_system.h"

namespace hv {

namespace {

// Only a regular file has a size and times.
bool StatRegularFile(const std::string& file_name, platform::FileStatus* status) {
  return platform::CurrentFileSystem().Stat(file_name, status) == 0 && status->is_regular();
}

}  // namespace

int64_t FileSizeByName(const std::string& file_name) {
  platform::FileStatus status;
  return StatRegularFile(file_name, &status) ? status.size : -1;
}

DateTime FileDateByName(const std::string& file_name) {
  platform::FileStatus status;
  return StatRegularFile(file_name, &status) ? FileTimeToDateTime(status.modified_ms) : 0;
}

DateTime FileTimeToDateTime(int64_t unix_milliseconds) {
  return DateTimeFromUnixMilliseconds(unix_milliseconds);
}

bool GetFileTimes(const std::string& file_name, DateTime* created, DateTime* modified,
                  DateTime* accessed) {
  *created = 0;
  *modified = 0;
  *accessed = 0;
  platform::FileStatus status;
  if (!StatRegularFile(file_name, &status)) return false;
  if (status.has_birth_time) *created = FileTimeToDateTime(status.birth_ms);
  *modified = FileTimeToDateTime(status.modified_ms);
  *accessed = FileTimeToDateTime(status.accessed_ms);
  return true;
}

TempFileList::TempFileList() {
  // The real file system must outlive every list that may use it at exit.
  platform::RealFileSystem();
}

TempFileList::~TempFileList() {
  platform::FileSystem& file_system = platform::CurrentFileSystem();
  for (const std::string& name : names_) {
    // Missing files and failed deletions are no concern at exit.
    if (file_system.FileExists(name)) file_system.DeleteFile(name);
  }
}

void TempFileList::Add(std::string file_name) { names_.push_back(std::move(file_name)); }

TempFileList& TempFiles() {
  static TempFileList list;
  return list;
}

}  // namespace hv
