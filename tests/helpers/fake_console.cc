#include "helpers/fake_console.h"

#include <system_error>

namespace hv::testing {

platform::ErrorCode FakeConsole::Write(std::string_view bytes) {
  ++write_calls;
  if (write_error != 0) return write_error;
  if (fail_write_call != 0 && write_calls == fail_write_call) return fail_write_error;
  output.append(bytes);
  writes.emplace_back(bytes);
  return 0;
}

bool FakeConsole::ReadLine(std::string* line) {
  ++read_calls;
  line->clear();
  if (input_lines.empty()) return false;
  *line = std::move(input_lines.front());
  input_lines.pop_front();
  return true;
}

std::string FakeConsole::ErrorText(platform::ErrorCode error) {
  return std::generic_category().message(error);
}

std::string FakeConsole::PlainOutput() const {
  std::string plain;
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\x1b' && i + 1 < output.size() && output[i + 1] == '[') {
      std::size_t end = output.find('m', i);
      if (end != std::string::npos) {
        i = end;
        continue;
      }
    }
    plain.push_back(output[i]);
  }
  return plain;
}

}  // namespace hv::testing
