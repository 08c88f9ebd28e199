// The real File: a POSIX file descriptor.
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/file_system.h"

namespace hv::platform {

// Opens `path` in `mode`: fmOpenRead as O_RDONLY, fmOpenReadWrite as O_RDWR,
// fmCreate as O_RDWR | O_CREAT | O_TRUNC with permissions 0666 less the umask,
// fmOpenWrite as O_WRONLY, fmAppend as O_WRONLY | O_CREAT | O_APPEND.
// A directory is refused with EISDIR. Returns 0 and fills `file`, or the error.
ErrorCode OpenPosixFile(const std::string& path, OpenMode mode, std::unique_ptr<File>* file);

// open(2), retried while a signal interrupts it: the descriptor, or -1 with
// errno set.
int OpenRetrying(const std::string& path, int flags, unsigned mode = 0);

// A descriptor opened for a file: EISDIR (and the descriptor closed) when it
// is a directory, which open(2) accepts for reading but which is no file.
ErrorCode RejectDirectory(int fd);

// Takes ownership of an open descriptor. A `sequential` file is never
// positioned, whatever it is (a descriptor shared with another writer).
std::unique_ptr<File> WrapPosixFile(int fd, bool sequential = false);

// FileSystem::Stat of `name`, relative to the open directory `directory_fd`
// (or to the current directory with AT_FDCWD).
ErrorCode StatAt(int directory_fd, const char* name, FileStatus* status);

// What a stat's mode says a name is.
FileKind FileKindOf(unsigned mode);

// FileSystem::OpenForReading of the real file system. The file looked at is
// opened through `reopen_directory` + the number of a descriptor that only
// names it ("/proc/self/fd/"); where that directory is missing, its name is
// opened again without blocking and kept only when it is still that file.
ErrorCode OpenRegularForReading(const std::string& path, bool unbuffered, bool follow_links,
                                const std::string& reopen_directory, std::unique_ptr<ReadableFile>* file,
                                FileKind* kind);

}  // namespace hv::platform
