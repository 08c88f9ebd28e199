// An open file that can be read, written and positioned. The text stream and
// every file the program writes go through this interface, so tests can put
// failing files in place of real ones.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/error_code.h"

namespace hv::platform {

struct FileStatus;

// How a file is opened. Of the modes that open an existing file, the low two
// bits give the access: 0 read only, 1 write only, 2 read and write.
enum class OpenMode : uint16_t {
  fmOpenRead = 0x0020,       // must exist; read only
  fmOpenReadWrite = 0x0022,  // must exist; read and write
  fmCreate = 0xFF00,         // created, or an existing file emptied; read and write
  // For the files that are written in place or appended to.
  fmOpenWrite = 0x0021,  // must exist; write only, never emptied (a FIFO or a device)
  fmAppend = 0xFF01,     // created when missing, never emptied; write only, every write at the end
};

enum class Whence { kBeginning = 0, kCurrent = 1, kEnd = 2 };

class File {
 public:
  File() = default;
  // A file that is destroyed without Close is closed quietly.
  virtual ~File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads up to `count` bytes at the current position. Returns the number of
  // bytes read, fewer than `count` only at the end of the file, or -1 with
  // `*error` set when the read failed.
  virtual int64_t Read(void* buffer, int64_t count, ErrorCode* error) = 0;
  // Writes all `count` bytes at the current position, or returns the error.
  virtual ErrorCode Write(const void* buffer, int64_t count) = 0;
  // Moves the position; `*position` receives the new one.
  virtual ErrorCode Seek(int64_t offset, Whence whence, int64_t* position) = 0;
  virtual ErrorCode Size(int64_t* size) = 0;
  // Cuts or extends the file to `size` bytes; the position does not move.
  virtual ErrorCode Truncate(int64_t size) = 0;
  // Pushes everything written so far to the storage device.
  virtual ErrorCode Sync() = 0;
  // Sets the permission bits (07777) of the file.
  virtual ErrorCode SetPermissions(uint32_t permissions) = 0;
  // Gives the file this owner and group. Files that have no owners say ENOTSUP.
  virtual ErrorCode SetOwner(uint32_t /*owner*/, uint32_t /*group*/) { return ENOTSUP; }
  // Sets one extended attribute (an access control list is one).
  virtual ErrorCode SetExtendedAttribute(const std::string& /*name*/, const std::string& /*value*/) {
    return ENOTSUP;
  }
  // What FileSystem::Stat gives for the open file, whatever has become of
  // its name. Files that cannot tell say ENOTSUP.
  virtual ErrorCode Status(FileStatus* /*status*/) { return ENOTSUP; }
  // Sets aside room for `size` bytes, so that writing them cannot run out of
  // space; 0 also where the file system cannot do that (writes may fail then).
  virtual ErrorCode Reserve(int64_t /*size*/) { return 0; }

  // False for a file that is read and written only in order: a pipe, a FIFO,
  // a device, a terminal, or a file opened for appending. Seek and Size mean
  // nothing there; only a read that returns 0 tells where it ends.
  virtual bool Seekable() { return true; }
  // Releases the file and reports what the system says about it. Every later
  // operation fails; a second Close returns 0.
  virtual ErrorCode Close() = 0;
};

}  // namespace hv::platform
