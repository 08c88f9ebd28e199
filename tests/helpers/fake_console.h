// A console for tests: records everything written, pretends to be a terminal
// or a redirected output, feeds lines to standard input and fails writes on
// request.
#pragma once

#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace hv::testing {

class FakeConsole : public platform::Console {
 public:
  // Settings.
  bool is_terminal = false;
  std::deque<std::string> input_lines;
  std::string executable_name = "verify-x64";
  bool debugger_attached = false;
  // Every write fails with this error while it is not 0.
  platform::ErrorCode write_error = 0;
  // Only the write call with this number (1-based) fails, with
  // `fail_write_error`.
  int fail_write_call = 0;
  platform::ErrorCode fail_write_error = 0;

  // Usage.
  std::string output;               // every byte written successfully
  std::vector<std::string> writes;  // each successful write
  std::string error_output;         // every byte written to standard error
  int write_calls = 0;
  int read_calls = 0;

  bool IsTerminal() override { return is_terminal; }
  platform::ErrorCode Write(std::string_view bytes) override;
  platform::ErrorCode WriteStandardError(std::string_view bytes) override {
    error_output.append(bytes);
    return 0;
  }
  // No name leads to this standard output.
  bool IsStandardOutput(const platform::FileStatus&) override { return false; }
  platform::ErrorCode OpenStandardOutput(std::unique_ptr<platform::File>*) override { return ENOTSUP; }
  bool ReadLine(std::string* line) override;
  std::string ExecutableName() override { return executable_name; }
  bool DebuggerAttached() override { return debugger_attached; }
  std::string ErrorText(platform::ErrorCode error) override;

  // The output without its SGR sequences.
  std::string PlainOutput() const;
};

}  // namespace hv::testing
