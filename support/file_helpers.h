// Size and times of a file by its name, without reading it, and the list of
// files to delete when the program ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/date_time.h"

namespace hv {

// The size in bytes of the regular file `file_name` (symbolic links
// followed); -1 for anything else or when it cannot be queried.
int64_t FileSizeByName(const std::string& file_name);
// Its last-write time in UTC to the millisecond, the file's other times
// left alone; 0 for anything else or when it cannot be queried. A time
// after the year 9999 throws EConvertError.
DateTime FileDateByName(const std::string& file_name);

// A file time in milliseconds since 1970-01-01 UTC as a UTC DateTime; 0 for a
// time before 1601. Throws EConvertError "Invalid argument to date encode"
// for a time after the year 9999.
DateTime FileTimeToDateTime(int64_t unix_milliseconds);

// Creation (0 where the file system keeps none), last-write and last-access
// times of a regular file, in UTC to the millisecond. False with all three 0
// when there is no such regular file. A time after the year 9999 throws
// EConvertError; outputs converted before it (in the order created,
// modified, accessed) keep their values.
bool GetFileTimes(const std::string& file_name, DateTime* created, DateTime* modified,
                  DateTime* accessed);

// Names of files deleted, where they still exist, when the list is destroyed.
class TempFileList {
 public:
  TempFileList();
  ~TempFileList();
  TempFileList(const TempFileList&) = delete;
  TempFileList& operator=(const TempFileList&) = delete;

  void Add(std::string file_name);
  const std::vector<std::string>& Names() const { return names_; }

 private:
  std::vector<std::string> names_;
};

// The program's list, processed at exit.
TempFileList& TempFiles();

}  // namespace hv
