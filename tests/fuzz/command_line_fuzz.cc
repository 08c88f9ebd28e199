// The command-line parser. The first byte says whether standard output is a
// terminal; the rest is the arguments, separated by NUL bytes as in argv. The
// parser either takes the command line (0) or shows the help screen after a
// usage error (254); nothing else may come out of it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/verify_app.h"
#include "engine/verify.h"
#include "fuzz/fuzz_check.h"
#include "helpers/fake_console.h"
#include "helpers/fake_file_system.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "support/console_app.h"

namespace {

class ParserApp : public hv::VerifyApp {
 public:
  using VerifyApp::ParseCommandLine;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  hv::testing::FakeConsole console;
  console.is_terminal = (data[0] & 1u) != 0;
  hv::platform::ScopedConsole use_console(console);
  hv::testing::FakeFileSystem fs;
  fs.SetCurrentDirectory("/work");
  fs.AddDirectory("/work");
  fs.AddFile("/work/old.txt", "");
  fs.AddFile("old.txt", "");
  fs.AddDirectory("/work/dir");
  hv::platform::ScopedFileSystem use_fs(fs);

  std::vector<std::string> arguments;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  for (size_t start = 0; start < rest.size();) {
    const size_t end = std::min(rest.find('\0', start), rest.size());
    arguments.emplace_back(rest.substr(start, end - start));
    start = end + 1;
  }
  hv::ConsoleApp::SetArguments(std::move(arguments));

  ParserApp app;
  app.Initialize();
  const int result = app.ParseCommandLine();
  if (result == 0) {
    HV_FUZZ_CHECK(!app.Engine().HashesFileName().empty());
    HV_FUZZ_CHECK(!app.Engine().BaseDirectories().empty());
  } else {
    HV_FUZZ_CHECK(result == 254);
    HV_FUZZ_CHECK(console.output.find("Syntax: ") != std::string::npos);
  }
  hv::ConsoleApp::SetArguments({});
  return 0;
}
