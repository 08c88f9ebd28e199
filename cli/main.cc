#include <exception>
#include <string>

#include "cli/verify_app.h"
#include "platform/console.h"
#include "platform/control_signals.h"
#include "support/build_profile.h"
#include "support/console_app.h"
#include "support/exceptions.h"
#include "support/utf8.h"

int main(int argc, char** argv) {
  // Bound before anything else and released after everything that main made.
  const hv::build_profile::ProgramBinding binding;
  // First of all: every thread started later inherits the blocked signals.
  hv::platform::BlockControlSignals();
  int exit_code = 0;
  try {
    hv::platform::ControlSignalThread signals(&hv::ConsoleApp::ConsoleCtrlHandler);
    hv::ConsoleApp::SetArguments(argc, argv);
    exit_code = hv::ConsoleApp::Run<hv::VerifyApp>();

    hv::platform::Console& console = hv::platform::CurrentConsole();
    if (console.DebuggerAttached()) {
      // The exit code is settled; a failure of this prompt changes nothing.
      console.Write("\r\nPress any key to exit.");
      std::string line;
      console.ReadLine(&line);
    }
  } catch (const std::exception& e) {
    const std::string message =
        std::string("Exception ") + hv::ExceptionClassName(e) + ": " + hv::DisplayUtf8(e.what()) + "\r\n";
    hv::platform::Console& console = hv::platform::CurrentConsole();
    if (console.Write(message) != 0) console.WriteStandardError(message);
    exit_code = 255;
  }
  return exit_code;
}
