#include "platform/control_signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "helpers/temp_dir.h"
#include "platform/console.h"

namespace hv::platform {
namespace {

// A bound on waiting for the signal thread, so that a broken handler ends
// the child instead of hanging the test; the waits normally end at once.
constexpr int kWaitRounds = 30000;

bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < kWaitRounds && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return flag.load();
}

TEST(ControlSignalsTest, ThreadStartsAndStopsWithoutAnyEvent) {
  std::atomic<int> calls = 0;
  for (int i = 0; i < 3; ++i) {
    ControlSignalThread thread([&calls](unsigned) {
      ++calls;
      return true;
    });
  }
  EXPECT_EQ(calls.load(), 0);
}

TEST(ControlSignalsTest, HandledInterruptReachesTheSignalThreadAndTheProcessLives) {
  const ChildOutcome outcome = RunInChildProcess([] {
    BlockControlSignals();
    std::atomic<bool> called = false;
    std::atomic<bool> on_other_thread = false;
    std::atomic<unsigned> type = 99;
    const std::thread::id main_thread = std::this_thread::get_id();
    {
      ControlSignalThread thread([&](unsigned ctrl_type) {
        type = ctrl_type;
        on_other_thread = std::this_thread::get_id() != main_thread;
        called = true;
        return true;
      });
      RaiseControlEvent(kCtrlCEvent);
      if (!WaitFor(called)) return 2;
    }
    if (!on_other_thread) return 3;
    return type == kCtrlCEvent ? 0 : 4;
  });
  ASSERT_TRUE(outcome.exited) << "killed by signal " << outcome.term_signal;
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST(ControlSignalsTest, QuitAndHangupArriveAsTheirControlTypes) {
  for (const unsigned ctrl_type : {kCtrlBreakEvent, kCtrlCloseEvent}) {
    const ChildOutcome outcome = RunInChildProcess([ctrl_type] {
      BlockControlSignals();
      std::atomic<bool> called = false;
      std::atomic<unsigned> type = 99;
      ControlSignalThread thread([&](unsigned received) {
        type = received;
        called = true;
        return true;
      });
      RaiseControlEvent(ctrl_type);
      if (!WaitFor(called)) return 2;
      return type == ctrl_type ? 0 : 3;
    });
    ASSERT_TRUE(outcome.exited) << "type " << ctrl_type << " killed by " << outcome.term_signal;
    EXPECT_EQ(outcome.exit_code, 0) << "type " << ctrl_type;
  }
}

TEST(ControlSignalsTest, UnhandledInterruptEndsTheProcessBySigint) {
  const ChildOutcome outcome = RunInChildProcess([] {
    BlockControlSignals();
    std::atomic<bool> called = false;
    ControlSignalThread thread([&called](unsigned) {
      called = true;
      return false;
    });
    RaiseControlEvent(kCtrlCEvent);
    WaitFor(called);
    // Still alive well after the handler declined: the default action failed.
    std::atomic<bool> never = false;
    WaitFor(never);
    return 5;
  });
  ASSERT_TRUE(outcome.signaled) << "exited with " << outcome.exit_code;
  EXPECT_EQ(outcome.term_signal, SIGINT);
}

TEST(ControlSignalsTest, HandlerThatThrowsCountsAsUnhandled) {
  const ChildOutcome outcome = RunInChildProcess([] {
    BlockControlSignals();
    ControlSignalThread thread([](unsigned) -> bool { throw std::runtime_error("boom"); });
    RaiseControlEvent(kCtrlCloseEvent);
    std::atomic<bool> never = false;
    WaitFor(never);
    return 5;
  });
  ASSERT_TRUE(outcome.signaled) << "exited with " << outcome.exit_code;
  EXPECT_EQ(outcome.term_signal, SIGHUP);
}

TEST(ControlSignalsTest, BrokenPipeSignalIsIgnored) {
  const ChildOutcome outcome = RunInChildProcess([] {
    BlockControlSignals();
    std::raise(SIGPIPE);
    return 0;
  });
  ASSERT_TRUE(outcome.exited) << "killed by signal " << outcome.term_signal;
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST(ControlSignalsTest, ChildOutcomeReportsExitCode) {
  const ChildOutcome outcome = RunInChildProcess([] { return 42; });
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 42);
}

// The real console lives in this folder too, and its failures only show with
// standard input and output replaced, which only a child may do.

TEST(RealConsoleTest, FailedWriteReturnsTheErrorNumber) {
  const ChildOutcome outcome = RunInChildProcess([] {
    if (std::freopen("/dev/full", "w", stdout) == nullptr) return 2;
    Console& console = RealConsole();
    if (console.IsTerminal()) return 3;
    if (console.Write("") != 0) return 4;
    return console.Write("some text") == ENOSPC ? 0 : 5;
  });
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST(RealConsoleTest, WritesEveryByteToStandardOutput) {
  testing::TempDir dir;
  const std::string file = dir.File("out.txt");
  const ChildOutcome outcome = RunInChildProcess([&file] {
    if (std::freopen(file.c_str(), "w", stdout) == nullptr) return 2;
    const std::string big(1 << 20, 'x');
    if (RealConsole().Write("a\r\n") != 0) return 3;
    return RealConsole().Write(big) == 0 ? 0 : 4;
  });
  ASSERT_TRUE(outcome.exited);
  ASSERT_EQ(outcome.exit_code, 0);
  std::FILE* f = std::fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string contents;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) contents.append(buffer, n);
  std::fclose(f);
  EXPECT_EQ(contents, "a\r\n" + std::string(1 << 20, 'x'));
}

TEST(RealConsoleTest, ReadsLinesOfStandardInputUntilItsEnd) {
  testing::TempDir dir;
  const std::string file = dir.Write("in.txt", "first\r\nsecond\n\nlast");
  const ChildOutcome outcome = RunInChildProcess([&file] {
    if (std::freopen(file.c_str(), "r", stdin) == nullptr) return 2;
    Console& console = RealConsole();
    std::string line;
    if (!console.ReadLine(&line) || line != "first") return 3;
    if (!console.ReadLine(&line) || line != "second") return 4;
    if (!console.ReadLine(&line) || !line.empty()) return 5;
    if (!console.ReadLine(&line) || line != "last") return 6;
    if (console.ReadLine(&line) || !line.empty()) return 7;
    return 0;
  });
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST(RealConsoleTest, KnowsTheExecutableAndTheSystemTexts) {
  Console& console = RealConsole();
  EXPECT_EQ(console.ExecutableName(), "platform_tests");
  EXPECT_FALSE(console.DebuggerAttached());
  EXPECT_EQ(console.ErrorText(ENOENT), "No such file or directory");
}

class OtherConsole : public Console {
 public:
  bool IsTerminal() override { return true; }
  ErrorCode Write(std::string_view) override { return 0; }
  ErrorCode WriteStandardError(std::string_view) override { return 0; }
  bool IsStandardOutput(const FileStatus&) override { return false; }
  ErrorCode OpenStandardOutput(std::unique_ptr<File>*) override { return ENOTSUP; }
  bool ReadLine(std::string*) override { return false; }
  std::string ExecutableName() override { return "other"; }
  bool DebuggerAttached() override { return false; }
  std::string ErrorText(ErrorCode) override { return {}; }
};

TEST(RealConsoleTest, ScopedConsoleReplacesTheCurrentOneForItsLifetime) {
  OtherConsole other;
  EXPECT_EQ(&CurrentConsole(), &RealConsole());
  {
    ScopedConsole scope(other);
    EXPECT_EQ(&CurrentConsole(), &other);
  }
  EXPECT_EQ(&CurrentConsole(), &RealConsole());
}

}  // namespace
}  // namespace hv::platform
