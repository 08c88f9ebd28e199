// The program's application: it owns the engine, turns the command line into
// the engine's settings, runs the one command asked for and shows what the
// engine reports (status lines, results, statistics, errors, a percentage),
// and offers to quit when Ctrl+C, Ctrl+\ or a closed terminal interrupts it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/verify.h"
#include "engine/verify_state.h"
#include "support/console_app.h"

namespace hv {

class VerifyApp : public ConsoleApp {
 public:
  // Milliseconds of a monotonic clock, wrapping around at 2^32.
  using TickSource = std::function<uint32_t()>;

  static constexpr uint32_t kNoControlEvent = 0xFFFFFFFF;
  // The least time between two percentages, in milliseconds.
  static constexpr uint32_t kProgressInterval = 1000;

  // Result colour of each HashState.
  static constexpr uint8_t kStateColors[6] = {kWhite,        kLightGreen, kLightMagenta,
                                              kLightMagenta, kYellow,     kYellow};

  VerifyApp();
  // Takes `engine` in place of a plain one (tests put a subclass here).
  explicit VerifyApp(std::unique_ptr<Verify> engine);
  ~VerifyApp() override;

  Verify& Engine() { return *verify_; }
  const std::string& ErrorLogFileName() const { return error_log_file_name_; }
  // Replaces the steady clock of the progress display.
  void SetTickSource(TickSource ticks) { tick_source_ = std::move(ticks); }

  // The steady clock in milliseconds, cut to 32 bits.
  static uint32_t SteadyTicks();

  // The engine's event handler.
  void HandleStateChange(VerifyState state, const StateChangeObject* info);

 protected:
  std::string GetName() override;
  std::string GetVersion() override;
  int DoExecute() override;
  void Clear() override;
  // Runs on the control signal thread: records the first Ctrl+C, Ctrl+\ or
  // close event and nothing else.
  void DoConsoleCtrl(unsigned ctrl_type, bool& handled) override;
  void ShowSyntax(const std::string& error_msg) override;

  // 0 when the command line is complete; 254 after a usage error or a help
  // request, once the help screen is written.
  virtual int ParseCommandLine();
  virtual void HandleProgress(int64_t position, int64_t max);
  virtual void EndProgressLine();
  // Asks whether to quit when a control event is pending: "Q" or "q" raises
  // EAbort at once, any other answer asks the engine to stop at its next
  // check.
  virtual void CheckControlEvent();

  uint32_t ControlEvent() const { return control_event_.load(); }
  bool DisplayingProgress() const { return displaying_progress_; }

 private:
  // The option table and its actions.
  struct CommandLine;

  // Shows the help screen after `msg` and raises EAbort.
  [[noreturn]] void SyntaxError(const std::string& msg);
  // SyntaxError of `fmt` with its "%s" replaced by `arg`.
  [[noreturn]] void SyntaxErrorFmt(const std::string& fmt, const std::string& arg);
  // The engine command that the command line chose, and its result.
  int RunCommand();
  // Usage errors that depend on more than one option, checked after the
  // walk so that the order of the options does not matter.
  void CheckFileClashes();

  void WriteCount(const char* caption, int32_t count, uint8_t zero_color, uint8_t count_color);
  void WriteStatistics(const StateChangeStatistics& stats);

  std::unique_ptr<Verify> verify_;
  // Written by the control signal thread, read and reset by the main thread.
  std::atomic<uint32_t> control_event_{kNoControlEvent};
  bool displaying_progress_ = false;
  uint32_t last_progress_ticks_ = 0;
  std::string error_log_file_name_;
  TickSource tick_source_;
};

}  // namespace hv
