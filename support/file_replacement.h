// A new version of a text file, written beside the old one and put in its
// place only once it is complete: until Commit the old file stays as it was,
// so a failure, a refusal or a kill never leaves it half-written or lost.
//
// The new file takes the old one's owner and group (where the process may
// set them), permission bits and extended attributes (access control lists
// among them). A file reached through a symbolic link is replaced where the
// link leads, or created there when the link leads nowhere yet; the link
// stays.
//
// Some files cannot be replaced by a rename: one with more than one name
// (its names would part), one whose directory refuses a new file for lack of
// permission, and one that is no regular file (a device, a FIFO) or is the
// program's own standard output. Their new
// contents are collected in memory and written over the old ones by Commit,
// so the old file changes only once everything is ready; such a rewrite is
// not safe against a kill.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "support/text_stream.h"

namespace hv {

class FileStream;
class MemoryStream;

class FileReplacement {
 public:
  // Prepares the new file. Throws EFCreateError "Cannot create file \"%s\". %s"
  // (the file's full path and the system's reason) when it cannot be made.
  explicit FileReplacement(const std::string& file_name);
  // Without Commit, the new file goes and the old one stays as it was.
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // The new contents, written as a new text file is (UTF-8, CR LF). Write
  // through WriteLine to have failures named.
  TextStream& Text() { return *text_; }
  // One line of the new contents. A failure throws EWriteError "Cannot write
  // file \"%s\". %s" with the file's full path and the system's reason.
  void WriteLine(std::string_view line);
  // Puts the new contents in the old file's place (or creates the file).
  // Failures throw, named as above; the old file is then as it was.
  void Commit();

  // The new file where a directory scan can meet it while it is written:
  // true, with its name and what fstat of its descriptor gave when it was
  // made; false when it has no name until Commit (an unnamed file) or is
  // collected in memory.
  bool VisibleTemporary(std::string* name, platform::FileStatus* status) const;

 private:
  [[noreturn]] void FailCreate(platform::ErrorCode error) const;
  [[noreturn]] void FailWrite(platform::ErrorCode error) const;
  // The system's reason for the last failure of the new file's stream.
  platform::ErrorCode LastWriteError() const;
  // Gives the new file what the old one had.
  void CopyAttributes(platform::File& file) const;
  void CommitInPlace();

  platform::FileSystem& fs_;
  std::string file_name_;  // as given
  std::string target_;     // the file that is replaced: links resolved
  bool old_exists_ = false;
  platform::FileStatus old_status_;
  std::string temp_name_;  // empty when the contents are collected in memory
  platform::FileStatus temp_status_;  // a link count of 0: no name until Commit
  // Written in place as an output file is (a device, a FIFO, standard output).
  bool written_as_output_ = false;
  // Not owned: the stream under `text_`, a file or memory.
  FileStream* file_stream_ = nullptr;
  MemoryStream* memory_ = nullptr;
  std::unique_ptr<TextStream> text_;
  bool done_ = false;
};

}  // namespace hv
