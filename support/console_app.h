// The frame of a console program: it creates the application object, prints
// the banner, runs the program's main routine and turns every failure into an
// exit code. It hands out the command-line arguments, writes to the console
// (colours as SGR sequences on a terminal only) and passes control events
// (Ctrl+C, Ctrl+\, a closed terminal) to every live application.
//
// Wiring in main, before any other thread starts:
//
//   hv::platform::BlockControlSignals();
//   hv::platform::ControlSignalThread signals(&hv::ConsoleApp::ConsoleCtrlHandler);
//   hv::ConsoleApp::SetArguments(argc, argv);
//   return hv::ConsoleApp::Run<MyApp>();
//
// Construction has two phases. The constructor registers the object and
// resets the base class's state; a virtual call from a constructor cannot
// reach a subclass, so Initialize, called once the object is complete, runs
// the Clear override and from then on lets control events reach the object.
// Run does both; code that builds an application itself calls Initialize too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace hv {

class TextStream;

class ConsoleApp {
 public:
  // The handler of control events: (sender, control type, handled flag).
  using ConsoleCtrlEvent =
      std::function<void(ConsoleApp& sender, unsigned ctrl_type, bool& handled)>;
  using Factory = std::function<std::unique_ptr<ConsoleApp>()>;

  // The attribute taken as current at start: light grey on black.
  static constexpr uint8_t kDefaultTextAttr = 7;
  // The colours the program writes in (foreground attributes).
  static constexpr uint8_t kLightGreen = 10;
  static constexpr uint8_t kLightRed = 12;
  static constexpr uint8_t kLightMagenta = 13;
  static constexpr uint8_t kYellow = 14;
  static constexpr uint8_t kWhite = 15;
  // The width of the banner's first field, in UTF-16 code units.
  static constexpr std::size_t kBannerWidth = 42;
  static constexpr int kAbortExitCode = 254;
  static constexpr int kFailureExitCode = 255;

  // Creates the application with `factory`, initializes and executes it and
  // destroys it. Returns the result of Execute; 254 for an abort (EAbort or a
  // descendant), which Execute also makes of every other failure of the main
  // routine; 255 for any other failure (of the factory, Initialize, the banner
  // or the destruction), after writing "ERROR <class>: <message>" uncoloured
  // straight to standard output (to standard error when that fails). Also
  // 255 when any write to standard output failed, said once on standard
  // error. Anything that is not a std::exception passes on.
  static int Run(const Factory& factory);
  template <class App>
  static int Run() {
    return Run([] { return std::make_unique<App>(); });
  }

  // The command-line arguments that NextParam hands out; argv[0], the
  // program's name, is not one of them.
  static void SetArguments(int argc, const char* const* argv);
  static void SetArguments(std::vector<std::string> arguments);

  // Passes a control event to every live application in creation order, all
  // sharing one handled flag, and returns that flag. Meant for the control
  // signal thread. A DoConsoleCtrl that throws counts as leaving the flag as
  // it was. Handlers run under the lock of the list of live applications, so
  // they must not create or destroy applications.
  static bool ConsoleCtrlHandler(unsigned ctrl_type);

  virtual ~ConsoleApp();
  ConsoleApp(const ConsoleApp&) = delete;
  ConsoleApp& operator=(const ConsoleApp&) = delete;

  // The second phase of construction (see above).
  void Initialize();
  // Takes the object out of the list of live applications, so that no
  // control event reaches it any more. Run calls it before destroying the
  // object, because a subclass is half gone once its destructor has run; the
  // destructor calls it too.
  void Unregister();

  // The banner, then DoExecute. A failure of DoExecute other than an abort is
  // written in light red as "ERROR <class>: <message>" and raised again as an
  // EAbort with that text.
  int Execute();

  void SetOnConsoleCtrl(ConsoleCtrlEvent handler);

 protected:
  // Takes the console that is current now; it must outlive the object.
  ConsoleApp();

  virtual std::string GetName() = 0;
  virtual std::string GetVersion() = 0;
  // The main routine; its result is the exit code.
  virtual int DoExecute() = 0;
  // Resets the per-run state: the argument walk starts again. Overrides call
  // this first.
  virtual void Clear();
  // Runs on the control signal thread: calls OnConsoleCtrl when one is set.
  // Overrides decide, then call this; they must only record the event.
  virtual void DoConsoleCtrl(unsigned ctrl_type, bool& handled);
  // The error message in light red and an empty line (when there is one),
  // then "Syntax: " and the executable's name and a blank in white, without
  // a line end: overrides call this first and go on with the line.
  virtual void ShowSyntax(const std::string& error_msg);
  // Appends `msg` as one line to the file (created when missing), or writes
  // it as a console line when `file_name` is empty. Never fails. A log that
  // is no regular file (a FIFO, a terminal, standard output) is opened once
  // and kept open while the object lives; a regular one is opened for each
  // line.
  virtual void WriteLog(const std::string& file_name, const std::string& msg);
  // Opens a log that is no regular file now, before the run has a line for
  // it, so that its reader sees the end when the run is over even when
  // nothing was logged. Never fails.
  void KeepLogOpen(const std::string& file_name);

  // The next argument in `s` and true, or an empty `s` and false once they
  // are used up.
  bool NextParam(std::string& s);

  // Text is UTF-8 and is written at once, each byte that is not part of
  // valid UTF-8 as \xNN; a failure raises EInOutError, and makes Run end
  // with 255 and say so on standard error.
  void Write(std::string_view s);
  void WriteLn(std::string_view s = {});
  // The text in the colour, then the previous attribute again (also when the
  // write fails).
  void WriteColored(uint8_t color, std::string_view s);
  // The line end comes after the previous attribute is back.
  void WriteLnColored(uint8_t color, std::string_view s);
  // Light red text and a line end, also for an empty text.
  void WriteError(std::string_view s);
  // The column (from 0) where the next character goes, counted by the write
  // operations in UTF-16 units since the last CR or LF, a backspace moving
  // one back; -1 when standard output is redirected.
  int GetCursorColumn() const;

  // Bits 0-3 foreground, bits 4-7 background. Only the foreground shows, as
  // an SGR sequence on a terminal; the terminal's own background stays.
  uint8_t GetTextAttr() const { return text_attr_; }
  void SetTextAttr(uint8_t attr);
  void SetColors(uint8_t fore, uint8_t back);
  uint8_t GetBackground() const { return static_cast<uint8_t>(text_attr_ >> 4); }
  void SetForeground(uint8_t color);

  platform::Console& Console() const { return console_; }
  // Standard output is not a terminal.
  bool StdOutRedirected() const { return std_out_redirected_; }

 private:
  void WriteBanner();
  // The log kept open for `file_name`, opened now where it is no regular
  // file; null for a regular one.
  TextStream* KeptLog(const std::string& file_name);
  void AdvanceCursor(std::string_view written);

  const bool std_out_redirected_;
  int current_param_index_ = 0;
  platform::Console& console_;
  uint8_t text_attr_ = kDefaultTextAttr;
  const std::string line_separator_ = "\r\n";
  int cursor_column_ = 0;
  // Guarded by the lock of the list of live applications.
  ConsoleCtrlEvent on_console_ctrl_;
  // The message of the first write to standard output that failed.
  std::string std_out_failure_;
  // The error log that stays open, and its name.
  std::unique_ptr<TextStream> kept_log_;
  std::string kept_log_name_;
};

}  // namespace hv
