// The program's window onto its terminal: standard output, standard input and
// a few facts about the running process. Everything above this folder reaches
// them through Console, so tests can put a fake in its place.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/error_code.h"
#include "platform/file.h"
#include "platform/file_system.h"

namespace hv::platform {

class Console {
 public:
  virtual ~Console() = default;

  // Standard output is a terminal (otherwise it is redirected to a file, a
  // pipe or a device).
  virtual bool IsTerminal() = 0;

  // Writes all of `bytes` to standard output. Returns 0, or the system's
  // error number (a closed pipe gives EPIPE, since SIGPIPE is ignored).
  virtual ErrorCode Write(std::string_view bytes) = 0;

  // Writes all of `bytes` to standard error, the channel left when standard
  // output itself fails.
  virtual ErrorCode WriteStandardError(std::string_view bytes) = 0;

  // `status` (of a name) is the file that standard output writes to: the
  // same device and inode.
  virtual bool IsStandardOutput(const FileStatus& status) = 0;
  // Standard output as a file of its own (a second descriptor), written in
  // order after what the program has written there and never positioned.
  virtual ErrorCode OpenStandardOutput(std::unique_ptr<File>* file) = 0;

  // One line of standard input without its line end. False at the end of
  // input or on a read error.
  virtual bool ReadLine(std::string* line) = 0;

  // The file name of the running executable, without its directory.
  virtual std::string ExecutableName() = 0;

  // The process runs under a debugger (or any other tracer).
  virtual bool DebuggerAttached() = 0;

  // The system's text for an error number.
  virtual std::string ErrorText(ErrorCode error) = 0;
};

// The console of the running process.
Console& RealConsole();

// The console that the program uses: the real one unless a test has put
// another in its place.
Console& CurrentConsole();

// Replaces the current console for the lifetime of this object.
class ScopedConsole {
 public:
  explicit ScopedConsole(Console& replacement);
  ~ScopedConsole();
  ScopedConsole(const ScopedConsole&) = delete;
  ScopedConsole& operator=(const ScopedConsole&) = delete;

 private:
  Console* previous_;
};

}  // namespace hv::platform
