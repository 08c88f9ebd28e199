#include "cli/verify_app.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/verify.h"
#include "engine/verify_state.h"
#include "helpers/fake_console.h"
#include "platform/console.h"
#include "platform/control_signals.h"
#include "support/exceptions.h"

namespace hv {
namespace {

// An engine whose commands are whatever the test says they are.
class ScriptedEngine : public Verify {
 public:
  std::vector<std::string> calls;
  std::function<int(ScriptedEngine&)> body;

  int Build() override { return Run("Build"); }
  int Redure() override { return Run("Redure"); }
  int Update() override { return Run("Update"); }
  int Match() override { return Run("Match"); }
  int Dupes(bool one_file_only) override { return Run(one_file_only ? "Dupes1" : "Dupes"); }

  void Report(VerifyState state, std::unique_ptr<StateChangeObject> info = nullptr) {
    DoStateChange(state, std::move(info));
  }
  void Progress(int64_t done, int64_t total) { ItemProgress(nullptr, done, total); }

 private:
  int Run(const char* name) {
    calls.emplace_back(name);
    return body ? body(*this) : 0;
  }
};

// The banner's first field is 42 characters wide.
#if defined(HV_VARIANT32)
const std::string kTitle = "Redure v0.24 (Unicode)                    ";
#else
const std::string kTitle = "Zavere-z64 v0.24 (Unicode)                ";
#endif
const std::string kBanner = kTitle + "\r\n" + std::string(79, '-') + "\r\n";
const std::string kQuestion =
    "Do you want to quit (Q) now or show results first (anything else)?";

class VerifyAppTest : public ::testing::Test {
 protected:
  VerifyAppTest() : console_scope_(console_) {}
  ~VerifyAppTest() override { ConsoleApp::SetArguments({}); }

  // Runs the program on `args` with a scripted engine; returns the exit code.
  int RunProgram(std::vector<std::string> args, std::function<int(ScriptedEngine&)> body = {},
                 bool terminal = false) {
    console_.is_terminal = terminal;
    ConsoleApp::SetArguments(std::move(args));
    calls_.clear();
    return ConsoleApp::Run([this, &body]() -> std::unique_ptr<ConsoleApp> {
      auto engine = std::make_unique<ScriptedEngine>();
      engine->body = [this, body](ScriptedEngine& e) {
        const int result = body ? body(e) : 0;
        calls_ = e.calls;
        return result;
      };
      return std::make_unique<VerifyApp>(std::move(engine));
    });
  }

  testing::FakeConsole console_;
  platform::ScopedConsole console_scope_;
  std::vector<std::string> calls_;
};

TEST_F(VerifyAppTest, HelpShowsBannerAndScreenAndRunsNothing) {
  bool ran = false;
  EXPECT_EQ(RunProgram({"-h"}, [&ran](ScriptedEngine&) { return ran = true, 0; }), 254);
  EXPECT_FALSE(ran);
  ASSERT_TRUE(console_.output.starts_with(kBanner + "Syntax: verify-x64 [<arg>]"));
  EXPECT_TRUE(console_.output.ends_with(
      " -sr[-] ......... [Don't] Show renamed files (default: -sr).\r\n\r\n"));
}

TEST_F(VerifyAppTest, BannerOnTerminalIsWhite) {
  EXPECT_EQ(RunProgram({"-h"}, {}, /*terminal=*/true), 254);
  EXPECT_TRUE(console_.output.starts_with("\x1b[97m" + kTitle + "\r\n" + std::string(79, '-') +
                                          "\r\n\x1b[0m"));
}

TEST_F(VerifyAppTest, UsageErrorEndsWith254) {
  EXPECT_EQ(RunProgram({}), 254);
  EXPECT_TRUE(console_.output.starts_with(kBanner + "Hashfile must be provided.\r\n\r\nSyntax: "));
  EXPECT_TRUE(calls_.empty());
}

TEST_F(VerifyAppTest, DispatchesTheCommand) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"l"}, "Redure"},        {{"-v", "l"}, "Redure"},         {{"-b", "l"}, "Build"},
      {{"-u", "l"}, "Update"},  {{"-D1", "l"}, "Dupes1"},
  };
  for (const auto& [args, command] : cases) {
    SCOPED_TRACE(command);
    EXPECT_EQ(RunProgram(args, [](ScriptedEngine&) { return 0; }), 0);
    EXPECT_EQ(calls_, std::vector<std::string>{command});
  }
}

TEST_F(VerifyAppTest, ListCommandsAreDispatchedToo) {
  // The -m and -D file must exist: the program itself is one.
  const std::string self = "/proc/self/exe";
  EXPECT_EQ(RunProgram({"-m", self, "l"}, [](ScriptedEngine&) { return 0; }), 0);
  EXPECT_EQ(calls_, std::vector<std::string>{"Match"});
  EXPECT_EQ(RunProgram({"-D", self, "l"}, [](ScriptedEngine&) { return 0; }), 0);
  EXPECT_EQ(calls_, std::vector<std::string>{"Dupes"});
}

TEST_F(VerifyAppTest, CommandResultIsTheExitCode) {
  for (int result : {0, 1, 103, 102, 253}) {
    EXPECT_EQ(RunProgram({"l"}, [result](ScriptedEngine&) { return result; }), result);
  }
}

TEST_F(VerifyAppTest, AbortsGive253) {
  EXPECT_EQ(RunProgram({"l"}, [](ScriptedEngine&) -> int { throw EAbort("stop"); }), 253);
  EXPECT_EQ(console_.output, kBanner);
  console_.output.clear();
  EXPECT_EQ(RunProgram({"l"}, [](ScriptedEngine&) -> int { throw EDelayedAbort(kTaskAborted); }),
            253);
  EXPECT_EQ(console_.output, kBanner);
}

TEST_F(VerifyAppTest, OtherFailuresAreShownAndGive254) {
  EXPECT_EQ(RunProgram({"list.txt"},
                       [](ScriptedEngine&) -> int {
                         throw EFOpenError("Cannot open file \"list.txt\".");
                       }),
            254);
  EXPECT_EQ(console_.output, kBanner + "ERROR EFOpenError: Cannot open file \"list.txt\".\r\n");
}

TEST_F(VerifyAppTest, FailureAfterAnOpenLineStartsOnANewLine) {
  EXPECT_EQ(RunProgram({"list.txt"},
                       [](ScriptedEngine& e) -> int {
                         e.Report(vstLoadingHashFile,
                                  std::make_unique<StateChangeFilename>("list.txt"));
                         throw EFOpenError("No.");
                       },
                       /*terminal=*/true),
            254);
  EXPECT_EQ(console_.PlainOutput(),
            kBanner + "Loading hash file list.txt ...        \r\nERROR EFOpenError: No.\r\n");
}

TEST_F(VerifyAppTest, EngineEventsReachTheDisplay) {
  EXPECT_EQ(RunProgram({"l", "-p"},
                       [](ScriptedEngine& e) {
                         e.Report(vstSortingResults);
                         e.Progress(0, 2);
                         return 0;
                       }),
            0);
  // The line left open is closed when the command ends.
  EXPECT_EQ(console_.output, kBanner + "Sorting results...\r\n   0.0%\b\b\b\b\b\b\b       \r\n");
}

TEST_F(VerifyAppTest, RedirectedOutputHasNoProgressUnlessAskedFor) {
  EXPECT_EQ(RunProgram({"l"},
                       [](ScriptedEngine& e) {
                         EXPECT_FALSE(e.ShowProgress());
                         return 0;
                       }),
            0);
  EXPECT_EQ(RunProgram({"l"},
                       [](ScriptedEngine& e) {
                         EXPECT_TRUE(e.ShowProgress());
                         return 0;
                       },
                       /*terminal=*/true),
            0);
}

TEST_F(VerifyAppTest, QuitDialogAnswerQEndsAt253AtOnce) {
  console_.input_lines = {"Q"};
  int reports_after = 0;
  EXPECT_EQ(RunProgram({"l", "-p"},
                       [&reports_after](ScriptedEngine& e) {
                         e.Report(vstProcessingFile, std::make_unique<StateChangeFilename>("big"));
                         EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
                         e.Progress(10, 100);
                         ++reports_after;
                         return 0;
                       }),
            253);
  EXPECT_EQ(reports_after, 0);
  EXPECT_EQ(console_.output, kBanner + "\"big\"       \r\nCtrl+C pressed.\r\n" + kQuestion);
}

TEST_F(VerifyAppTest, QuitDialogOtherAnswerStopsAtTheNextCheck) {
  console_.input_lines = {"later"};
  int checks = 0;
  EXPECT_EQ(RunProgram({"l", "-p"},
                       [&checks](ScriptedEngine& e) {
                         EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlBreakEvent));
                         e.Progress(1, 100);
                         ++checks;
                         e.Progress(2, 100);  // the next check raises the delayed abort
                         ++checks;
                         return 0;
                       }),
            253);
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(console_.output,
            kBanner + "Ctrl+Break pressed.\r\n" + kQuestion + "   1.0%\b\b\b\b\b\b\b" +
                "       \r\n");
}

TEST_F(VerifyAppTest, QuitDialogAtEndOfInputStopsAtTheNextCheck) {
  console_.input_lines.clear();
  EXPECT_EQ(RunProgram({"l"},
                       [](ScriptedEngine& e) {
                         EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCloseEvent));
                         // With the display off the engine still checks; the
                         // handler is not called, so nothing is asked.
                         e.Progress(1, 100);
                         return 7;
                       }),
            7);
  EXPECT_EQ(console_.read_calls, 0);
}

TEST_F(VerifyAppTest, SecondControlEventWhilePendingIsNotTaken) {
  EXPECT_EQ(RunProgram({"l"},
                       [](ScriptedEngine&) {
                         EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
                         EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
                         EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(5));
                         return 0;
                       }),
            0);
}

TEST_F(VerifyAppTest, NoControlEventReachesAGoneApplication) {
  EXPECT_EQ(RunProgram({"l"}), 0);
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  {
    VerifyApp app;
    app.Initialize();
    EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  }
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
}

TEST_F(VerifyAppTest, ConstructionWithoutEngineFailsWith255) {
  console_.is_terminal = false;
  ConsoleApp::SetArguments({"l"});
  EXPECT_EQ(ConsoleApp::Run([] { return std::make_unique<VerifyApp>(nullptr); }), 255);
  EXPECT_EQ(console_.output, "ERROR Exception: The engine object could not be created.\r\n");
}

TEST_F(VerifyAppTest, ClosedOutputIsAFailureNotAHang) {
  console_.write_error = EPIPE;
  EXPECT_EQ(RunProgram({"l"}), 255);
  console_.write_error = 0;
  // Fails in the middle of the command's output.
  console_.fail_write_call = console_.write_calls + 3;
  console_.fail_write_error = EPIPE;
  const int code = RunProgram({"l", "-p"}, [](ScriptedEngine& e) {
    for (int i = 0; i < 10; ++i) e.Report(vstSortingResults);
    return 0;
  });
  EXPECT_NE(code, 0);
}

TEST_F(VerifyAppTest, SettingsStartAfreshEveryRun) {
  EXPECT_EQ(RunProgram({"l", "-b", "-e", "log.txt", "-r-"},
                       [](ScriptedEngine& e) {
                         EXPECT_FALSE(e.Recursive());
                         return 0;
                       }),
            0);
  EXPECT_EQ(RunProgram({"l"},
                       [](ScriptedEngine& e) {
                         EXPECT_TRUE(e.Recursive());
                         EXPECT_EQ(e.GetVerifyCommand(), vcDefault);
                         EXPECT_EQ(e.BaseDirectories(), std::vector<std::string>{"."});
                         return 0;
                       }),
            0);
}

}  // namespace
}  // namespace hv
