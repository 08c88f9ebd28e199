#include "platform/console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix_file.h"

namespace hv::platform {

namespace {

// Constant-initialised, so it is valid during static construction and
// destruction alike; null stands for the real console.
Console* g_current_console = nullptr;

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills
// the buffer); these overloads accept whichever the C library declares.
[[maybe_unused]] std::string ErrorTextFrom(const char* result, const char*) { return result; }
[[maybe_unused]] std::string ErrorTextFrom(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ErrorCode WriteAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A terminal or pipe may take less than asked for; the rest follows.
    data += written;
    left -= static_cast<size_t>(written);
  }
  return 0;
}

class PosixConsole final : public Console {
 public:
  bool IsTerminal() override { return ::isatty(STDOUT_FILENO) == 1; }

  ErrorCode Write(std::string_view bytes) override { return WriteAll(STDOUT_FILENO, bytes); }

  ErrorCode WriteStandardError(std::string_view bytes) override { return WriteAll(STDERR_FILENO, bytes); }

  bool IsStandardOutput(const FileStatus& status) override {
    struct stat st;
    return ::fstat(STDOUT_FILENO, &st) == 0 && static_cast<uint64_t>(st.st_dev) == status.device &&
           static_cast<uint64_t>(st.st_ino) == status.inode;
  }

  ErrorCode OpenStandardOutput(std::unique_ptr<File>* file) override {
    // The descriptor shares its offset with standard output, so the file is
    // written in order behind what is there and never positioned.
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return errno;
    *file = WrapPosixFile(fd, true);
    return 0;
  }

  bool ReadLine(std::string* line) override {
    line->clear();
    bool got_any = false;
    // One byte at a time, so that nothing after the line is taken from
    // standard input and lost.
    for (;;) {
      char c = 0;
      const ssize_t count = ::read(STDIN_FILENO, &c, 1);
      if (count < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (count == 0) return got_any;
      got_any = true;
      if (c == '\n') break;
      line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }

  std::string ExecutableName() override {
    std::vector<char> buffer(256);
    for (;;) {
      const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (length < 0) break;
      if (static_cast<size_t>(length) < buffer.size()) {
        return BaseName(std::string(buffer.data(), static_cast<size_t>(length)));
      }
      buffer.resize(buffer.size() * 2);
    }
    // Without /proc the name the process was started with is the best guess.
    return program_invocation_short_name;
  }

  bool DebuggerAttached() override {
    std::ifstream status("/proc/self/status");
    std::string line;
    constexpr std::string_view kKey = "TracerPid:";
    while (std::getline(status, line)) {
      if (line.compare(0, kKey.size(), kKey) != 0) continue;
      return std::strtol(line.c_str() + kKey.size(), nullptr, 10) != 0;
    }
    return false;
  }

  std::string ErrorText(ErrorCode error) override {
    char buffer[256] = {};
    std::string text = ErrorTextFrom(::strerror_r(error, buffer, sizeof buffer), buffer);
    if (text.empty()) text = "Unknown error " + std::to_string(error);
    return text;
  }
};

}  // namespace

Console& RealConsole() {
  static PosixConsole console;
  return console;
}

Console& CurrentConsole() {
  return g_current_console != nullptr ? *g_current_console : RealConsole();
}

ScopedConsole::ScopedConsole(Console& replacement) : previous_(g_current_console) {
  g_current_console = &replacement;
}

ScopedConsole::~ScopedConsole() { g_current_console = previous_; }

}  // namespace hv::platform
