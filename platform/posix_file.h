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

// What a stat's mode says a name is.
FileKind FileKindOf(unsigned mode);

// In place of a directory's descriptor: the current directory (AT_FDCWD).
inline constexpr int kCurrentDirectory = -100;

// The stat of `name` in the directory with descriptor `directory`, with
// statx where the system has it; `flags` as statx takes them (AT_EMPTY_PATH:
// of `directory` itself).
ErrorCode StatAt(int directory, const char* name, int flags, FileStatus* status);

// "/proc/self/fd" held open for the process (for a thread with descriptors
// of its own, "/proc/thread-self/fd" for the thread), through which a
// descriptor is opened anew by its number; -1 where there is none.
int DescriptorDirectory();

// FileSystem::UseOwnDescriptors of the real file system: false where the
// system refuses the calling thread a table of descriptors of its own, and
// always in a build with HV_OWN_DESCRIPTOR_TABLES off.
bool UseOwnDescriptors();

// FileSystem::CloseDeferred of the real file system.
void CloseDeferred();

// FileSystem::OpenForReading of the real file system, of `name` in the
// directory with descriptor `directory`; `*status` receives the stat of what
// the name was found to be, and stays as it is when the name could not be
// looked at. The file looked at is opened again through `reopen_directory`
// (DescriptorDirectory) and the number of a descriptor that only names it;
// without that directory (-1), its name is opened again without blocking
// and kept only when it is still that file.
ErrorCode OpenRegularForReading(int directory, const std::string& name, int64_t unbuffered_from, bool follow_links,
                                int reopen_directory, std::unique_ptr<ReadableFile>* file, FileStatus* status);

// DirectoryHandle::Stat and OpenForReading of the real file system, for the
// directory with descriptor `directory` whose path with its '/' is
// `path_length` bytes long: a name is refused (ENAMETOOLONG) where its whole
// path would be, as the system's other calls refuse it.
ErrorCode StatNameIn(int directory, size_t path_length, const std::string& name, FileStatus* status);
ErrorCode OpenNameIn(int directory, size_t path_length, const std::string& name, bool follow_links,
                     std::unique_ptr<ReadableFile>* file, FileStatus* status);
// The `path_length` of a directory named `path`.
size_t DirectoryPathLength(const std::string& path);

}  // namespace hv::platform
