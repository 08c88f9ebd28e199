#include "support/console_app.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "helpers/fake_console.h"
#include "helpers/temp_dir.h"
#include "platform/control_signals.h"
#include "support/exceptions.h"
#include "support/utf8.h"

namespace hv {
namespace {

HV_DECLARE_EXCEPTION(ETestAbort, EAbort);

const std::string kDashes(79, '-');

class TestApp : public ConsoleApp {
 public:
  std::string name = "Checker";
  std::string version = "1.5";
  std::function<int(TestApp&)> body;
  std::function<void(unsigned, bool&)> on_ctrl;
  int clear_calls = 0;
  bool throw_in_clear = false;

  using ConsoleApp::GetBackground;
  using ConsoleApp::GetCursorColumn;
  using ConsoleApp::GetTextAttr;
  using ConsoleApp::NextParam;
  using ConsoleApp::SetColors;
  using ConsoleApp::SetForeground;
  using ConsoleApp::SetTextAttr;
  using ConsoleApp::ShowSyntax;
  using ConsoleApp::StdOutRedirected;
  using ConsoleApp::Write;
  using ConsoleApp::WriteColored;
  using ConsoleApp::WriteError;
  using ConsoleApp::WriteLn;
  using ConsoleApp::WriteLnColored;
  using ConsoleApp::WriteLog;

  void Clear() override {
    ConsoleApp::Clear();
    ++clear_calls;
    if (throw_in_clear) throw EConvertError("clear failed");
  }
  void DoConsoleCtrl(unsigned ctrl_type, bool& handled) override {
    if (on_ctrl) on_ctrl(ctrl_type, handled);
    ConsoleApp::DoConsoleCtrl(ctrl_type, handled);
  }

 protected:
  std::string GetName() override { return name; }
  std::string GetVersion() override { return version; }
  int DoExecute() override { return body ? body(*this) : 0; }
};

class ConsoleAppTest : public ::testing::Test {
 protected:
  ConsoleAppTest() : scope_(console_) { ConsoleApp::SetArguments({}); }
  ~ConsoleAppTest() override { ConsoleApp::SetArguments({}); }

  std::unique_ptr<TestApp> MakeApp(bool terminal) {
    console_.is_terminal = terminal;
    auto app = std::make_unique<TestApp>();
    app->Initialize();
    return app;
  }

  // Runs an application made and set up here through the frame.
  int RunApp(bool terminal, std::function<void(TestApp&)> setup) {
    console_.is_terminal = terminal;
    return ConsoleApp::Run([&setup]() -> std::unique_ptr<ConsoleApp> {
      auto app = std::make_unique<TestApp>();
      setup(*app);
      return app;
    });
  }

  static std::string BannerFor(const std::string& field) {
    return field + "\r\n" + kDashes + "\r\n";
  }

  testing::FakeConsole console_;
  platform::ScopedConsole scope_;
};

// Output operations.

TEST_F(ConsoleAppTest, RedirectedOutputHasNoEscapesAndNoCursorColumn) {
  auto app = MakeApp(false);
  EXPECT_TRUE(app->StdOutRedirected());
  EXPECT_EQ(app->GetTextAttr(), 7);
  app->WriteColored(12, "red");
  app->WriteLnColored(15, "white");
  app->SetForeground(10);
  app->Write("plain");
  EXPECT_EQ(console_.output, "redwhite\r\nplain");
  EXPECT_EQ(app->GetCursorColumn(), -1);
  EXPECT_EQ(app->GetTextAttr(), 10);
}

TEST_F(ConsoleAppTest, TerminalOutputWrapsColouredTextInSgrSequences) {
  auto app = MakeApp(true);
  EXPECT_FALSE(app->StdOutRedirected());
  app->WriteColored(12, "red");
  EXPECT_EQ(console_.output, "\x1b[91mred\x1b[0m");
  EXPECT_EQ(app->GetTextAttr(), 7);
}

TEST_F(ConsoleAppTest, EveryColourOfTheProgramHasItsSequence) {
  auto app = MakeApp(true);
  const std::pair<uint8_t, std::string> colours[] = {
      {15, "\x1b[97m"}, {12, "\x1b[91m"}, {10, "\x1b[92m"}, {13, "\x1b[95m"},
      {14, "\x1b[93m"}, {11, "\x1b[96m"}, {7, "\x1b[0m"}};
  for (const auto& [colour, sequence] : colours) {
    console_.output.clear();
    app->SetTextAttr(colour);
    EXPECT_EQ(console_.output, sequence) << int{colour};
  }
}

TEST_F(ConsoleAppTest, ColouredWriteRestoresThePreviousColourWhenNested) {
  auto app = MakeApp(true);
  // Green on blue: only the foreground shows, and a coloured write keeps the
  // background.
  app->SetColors(10, 1);
  app->WriteColored(15, "x");
  app->Write("y");
  EXPECT_EQ(console_.output, "\x1b[92m\x1b[97mx\x1b[92my");
  EXPECT_EQ(app->GetTextAttr(), 0x1A);
  app->SetForeground(12);
  EXPECT_EQ(app->GetTextAttr(), 0x1C);
}

TEST_F(ConsoleAppTest, ColouredLineEndsAfterTheColourIsRestored) {
  auto app = MakeApp(true);
  app->WriteLnColored(13, "text");
  EXPECT_EQ(console_.output, "\x1b[95mtext\x1b[0m\r\n");
  ASSERT_FALSE(console_.writes.empty());
  EXPECT_EQ(console_.writes.back(), "\r\n");
}

TEST_F(ConsoleAppTest, EmptyErrorStillEndsTheLine) {
  auto app = MakeApp(false);
  app->WriteError("");
  EXPECT_EQ(console_.output, "\r\n");
  console_.output.clear();
  console_.is_terminal = true;
  auto terminal_app = MakeApp(true);
  terminal_app->WriteError("");
  EXPECT_EQ(console_.output, "\x1b[91m\x1b[0m\r\n");
}

TEST_F(ConsoleAppTest, ErrorIsLightRedAndEndsTheLine) {
  auto app = MakeApp(true);
  app->WriteError("bad");
  EXPECT_EQ(console_.output, "\x1b[91mbad\x1b[0m\r\n");
}

TEST_F(ConsoleAppTest, FailedWriteRaisesAnInputOutputErrorWithTheSystemText) {
  auto app = MakeApp(false);
  console_.write_error = EPIPE;
  try {
    app->Write("x");
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "Cannot write to standard output. Broken pipe");
  }
  // Nothing to write is no write at all.
  EXPECT_NO_THROW(app->Write(""));
}

TEST_F(ConsoleAppTest, FailedColouredWriteStillRestoresTheColour) {
  auto app = MakeApp(true);
  console_.fail_write_call = console_.write_calls + 2;  // the text, after its colour
  console_.fail_write_error = EIO;
  EXPECT_THROW(app->WriteColored(14, "lost"), EInOutError);
  EXPECT_EQ(console_.output, "\x1b[93m\x1b[0m");
  EXPECT_EQ(app->GetTextAttr(), 7);
}

TEST_F(ConsoleAppTest, FailedColourSequenceDoesNotStopTheText) {
  auto app = MakeApp(true);
  console_.fail_write_call = console_.write_calls + 1;
  console_.fail_write_error = EIO;
  EXPECT_NO_THROW(app->WriteColored(14, "kept"));
  EXPECT_EQ(console_.output, "kept\x1b[0m");
}

TEST_F(ConsoleAppTest, CursorColumnCountsWhatWasWrittenSinceTheLineBegan) {
  auto app = MakeApp(true);
  EXPECT_EQ(app->GetCursorColumn(), 0);
  app->Write("abc");
  EXPECT_EQ(app->GetCursorColumn(), 3);
  app->WriteColored(12, "de");  // the colour sequences take no room
  EXPECT_EQ(app->GetCursorColumn(), 5);
  app->Write("\b\b");
  EXPECT_EQ(app->GetCursorColumn(), 3);
  app->WriteLn("xyz");
  EXPECT_EQ(app->GetCursorColumn(), 0);
  app->Write("line\rab");
  EXPECT_EQ(app->GetCursorColumn(), 2);
  app->Write("\xc3\xa9\xf0\x9d\x84\x9e");  // é and a character of two UTF-16 units
  EXPECT_EQ(app->GetCursorColumn(), 5);
  app->Write("\r\b\b");
  EXPECT_EQ(app->GetCursorColumn(), 0);
}

TEST_F(ConsoleAppTest, CursorColumnStaysWhenTheWriteFails) {
  auto app = MakeApp(true);
  app->Write("ab");
  console_.write_error = EIO;
  EXPECT_THROW(app->Write("cd"), EInOutError);
  EXPECT_EQ(app->GetCursorColumn(), 2);
}

// Banner.

TEST_F(ConsoleAppTest, BannerPadsTheFieldTo42Units) {
  EXPECT_EQ(RunApp(false, [](TestApp&) {}), 0);
  const std::string field = "Checker v1.5 (Unicode)";
  EXPECT_EQ(console_.output, BannerFor(field + std::string(42 - field.size(), ' ')));
}

TEST_F(ConsoleAppTest, BannerIsWhiteOnATerminalAndRestoresTheColour) {
  EXPECT_EQ(RunApp(true, [](TestApp&) {}), 0);
  const std::string field = "Checker v1.5 (Unicode)";
  EXPECT_EQ(console_.output,
            "\x1b[97m" + BannerFor(field + std::string(42 - field.size(), ' ')) + "\x1b[0m");
}

TEST_F(ConsoleAppTest, BannerCountsNonAsciiTextInUtf16Units) {
  // "Pr\u00fcfer": six characters, seven bytes.
  RunApp(false, [](TestApp& app) { app.name = "Pr\u00fcfer"; });
  const std::string first_line = console_.output.substr(0, console_.output.find("\r\n"));
  EXPECT_EQ(Utf16Length(first_line), 42u);
  EXPECT_EQ(first_line, "Pr\u00fcfer v1.5 (Unicode)" + std::string(42 - 21, ' '));
}

TEST_F(ConsoleAppTest, BannerCountsACharacterOutsideTheBmpAsTwoUnits) {
  const std::string clef = "\xf0\x9d\x84\x9e";  // U+1D11E
  RunApp(false, [&clef](TestApp& app) { app.name = clef; });
  const std::string first_line = console_.output.substr(0, console_.output.find("\r\n"));
  // 2 + " v1.5 (Unicode)" (15) = 17 units, so 25 blanks.
  EXPECT_EQ(first_line, clef + " v1.5 (Unicode)" + std::string(25, ' '));
}

TEST_F(ConsoleAppTest, BannerCutsALongTextAfterItsFortySecondUnit) {
  const std::string name(50, 'n');
  RunApp(false, [&name](TestApp& app) { app.name = name; });
  EXPECT_EQ(console_.output, BannerFor(std::string(42, 'n')));
  console_.output.clear();
  const std::string clef = "\xf0\x9d\x84\x9e";
  const std::string wide = clef + std::string(45, 'n');
  RunApp(false, [&wide](TestApp& app) { app.name = wide; });
  EXPECT_EQ(console_.output, BannerFor(clef + std::string(40, 'n')));
}

TEST_F(ConsoleAppTest, BannerLeavesOutACharacterThatWouldStraddleTheEnd) {
  // 41 units, then a character of two: it cannot be cut in half, so a blank
  // takes the last place.
  const std::string clef = "\xf0\x9d\x84\x9e";
  const std::string name = std::string(41, 'n') + clef + "tail";
  RunApp(false, [&name](TestApp& app) { app.name = name; });
  EXPECT_EQ(console_.output, BannerFor(std::string(41, 'n') + " "));
}

TEST_F(ConsoleAppTest, FailedBannerRestoresTheColourAndGives255) {
  console_.fail_write_call = 2;  // the field, after its colour
  console_.fail_write_error = EIO;
  int executed = 0;
  const auto setup = [&executed](TestApp& app) {
    app.body = [&executed](TestApp&) { return ++executed; };
  };
  EXPECT_EQ(RunApp(true, setup), 255);
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(console_.output,
            "\x1b[97m\x1b[0mERROR EInOutError: Cannot write to standard output. "
            "Input/output error\r\n");
}

// Exit codes of Run.

TEST_F(ConsoleAppTest, LostOutputGives255AndIsSaidOnceOnStandardError) {
  // A failed write that the main routine passes over, after the banner's four.
  console_.fail_write_call = 5;
  console_.fail_write_error = EPIPE;
  EXPECT_EQ(RunApp(false, [](TestApp& app) {
              app.body = [](TestApp& self) {
                EXPECT_THROW(self.Write("lost"), EInOutError);
                return 0;
              };
            }),
            255);
  EXPECT_EQ(console_.error_output, "ERROR EInOutError: Cannot write to standard output. Broken pipe\r\n");
  // Where the error line cannot go out either, it goes there instead.
  console_.error_output.clear();
  console_.write_error = ENOSPC;
  EXPECT_EQ(RunApp(false, [](TestApp&) {}), 255);
  EXPECT_EQ(console_.error_output,
            "ERROR EInOutError: Cannot write to standard output. No space left on device\r\n");
}

TEST_F(ConsoleAppTest, RunReturnsTheResultOfTheMainRoutine) {
  EXPECT_EQ(RunApp(false, [](TestApp& app) { app.body = [](TestApp&) { return 7; }; }), 7);
  EXPECT_EQ(console_.output, BannerFor("Checker v1.5 (Unicode)" + std::string(20, ' ')));
}

TEST_F(ConsoleAppTest, AbortGives254AndWritesNothing) {
  EXPECT_EQ(
      RunApp(false, [](TestApp& app) { app.body = [](TestApp&) -> int { throw EAbort("stop"); }; }),
      254);
  EXPECT_EQ(console_.output, BannerFor("Checker v1.5 (Unicode)" + std::string(20, ' ')));
  console_.output.clear();
  EXPECT_EQ(
      RunApp(false,
             [](TestApp& app) { app.body = [](TestApp&) -> int { throw ETestAbort("stop"); }; }),
      254);
  EXPECT_EQ(console_.output, BannerFor("Checker v1.5 (Unicode)" + std::string(20, ' ')));
}

TEST_F(ConsoleAppTest, OtherFailureOfTheMainRoutineIsWrittenInLightRedAndGives254) {
  EXPECT_EQ(RunApp(true,
                   [](TestApp& app) {
                     app.body = [](TestApp&) -> int {
                       throw EFOpenError("Cannot open file \"x\".");
                     };
                   }),
            254);
  const std::string banner =
      "\x1b[97m" + BannerFor("Checker v1.5 (Unicode)" + std::string(20, ' ')) + "\x1b[0m";
  EXPECT_EQ(console_.output,
            banner + "\x1b[91mERROR EFOpenError: Cannot open file \"x\".\x1b[0m\r\n");
}

TEST_F(ConsoleAppTest, ForeignExceptionsGetTheRootAndOutOfMemoryNames) {
  RunApp(false,
         [](TestApp& app) { app.body = [](TestApp&) -> int { throw std::runtime_error("odd"); }; });
  EXPECT_NE(console_.output.find("ERROR Exception: odd\r\n"), std::string::npos);
  console_.output.clear();
  EXPECT_EQ(
      RunApp(false,
             [](TestApp& app) { app.body = [](TestApp&) -> int { throw std::bad_alloc(); }; }),
      254);
  EXPECT_NE(console_.output.find("ERROR EOutOfMemory: "), std::string::npos);
}

TEST_F(ConsoleAppTest, ExecuteTurnsAFailureIntoAnAbortWithTheSameText) {
  auto app = MakeApp(false);
  app->body = [](TestApp&) -> int { throw EConvertError("bad number"); };
  try {
    app->Execute();
    FAIL() << "no exception";
  } catch (const EAbort& e) {
    EXPECT_STREQ(e.ClassName(), "EAbort");
    EXPECT_EQ(e.Message(), "ERROR EConvertError: bad number");
  }
}

TEST_F(ConsoleAppTest, FailingConstructionIsWrittenUncolouredAndGives255) {
  console_.is_terminal = true;
  const int result = ConsoleApp::Run([]() -> std::unique_ptr<ConsoleApp> {
    throw EFCreateError("Cannot create file \"y\". Permission denied");
  });
  EXPECT_EQ(result, 255);
  EXPECT_EQ(console_.output,
            "ERROR EFCreateError: Cannot create file \"y\". Permission denied\r\n");
}

class ThrowingApp : public TestApp {
 public:
  ThrowingApp() { throw EListError("List index out of bounds (3)"); }
};

TEST_F(ConsoleAppTest, FailingSubclassConstructorGives255) {
  console_.is_terminal = true;
  EXPECT_EQ(ConsoleApp::Run<ThrowingApp>(), 255);
  EXPECT_EQ(console_.output, "ERROR EListError: List index out of bounds (3)\r\n");
  // The half-built object left the list of live applications.
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
}

TEST_F(ConsoleAppTest, FailingClearOverrideGives255BeforeTheBanner) {
  EXPECT_EQ(RunApp(false, [](TestApp& app) { app.throw_in_clear = true; }), 255);
  EXPECT_EQ(console_.output, "ERROR EConvertError: clear failed\r\n");
}

TEST_F(ConsoleAppTest, NonStandardExceptionsPassThroughRun) {
  EXPECT_THROW(RunApp(false, [](TestApp& app) { app.body = [](TestApp&) -> int { throw 42; }; }),
               int);
}

TEST_F(ConsoleAppTest, RunCallsTheSubclassClearOnce) {
  int clears = -1;
  RunApp(false, [&clears](TestApp& app) {
    app.body = [&clears](TestApp& self) {
      clears = self.clear_calls;
      return 0;
    };
  });
  EXPECT_EQ(clears, 1);
}

// Arguments.

TEST_F(ConsoleAppTest, NextParamWalksTheArgumentsAndClearRestartsIt) {
  const char* argv[] = {"/usr/bin/program", "-v", "list.txt"};
  ConsoleApp::SetArguments(3, argv);
  auto app = MakeApp(false);
  std::string s = "stale";
  EXPECT_TRUE(app->NextParam(s));
  EXPECT_EQ(s, "-v");
  EXPECT_TRUE(app->NextParam(s));
  EXPECT_EQ(s, "list.txt");
  EXPECT_FALSE(app->NextParam(s));
  EXPECT_EQ(s, "");
  s = "stale";
  EXPECT_FALSE(app->NextParam(s));
  EXPECT_EQ(s, "");
  app->Clear();
  EXPECT_TRUE(app->NextParam(s));
  EXPECT_EQ(s, "-v");
}

TEST_F(ConsoleAppTest, NextParamWithoutArgumentsGivesNothing) {
  const char* argv[] = {"program"};
  ConsoleApp::SetArguments(1, argv);
  auto app = MakeApp(false);
  std::string s = "stale";
  EXPECT_FALSE(app->NextParam(s));
  EXPECT_EQ(s, "");
  EXPECT_FALSE(app->NextParam(s));
  app->Clear();
  EXPECT_FALSE(app->NextParam(s));
}

// Syntax line.

TEST_F(ConsoleAppTest, SyntaxWithoutMessageStartsTheLineOnly) {
  auto app = MakeApp(true);
  app->ShowSyntax("");
  EXPECT_EQ(console_.output, "Syntax: \x1b[97mverify-x64 \x1b[0m");
  EXPECT_EQ(app->GetCursorColumn(), 19);
}

TEST_F(ConsoleAppTest, SyntaxWithMessageShowsTheErrorAndAnEmptyLineFirst) {
  auto app = MakeApp(true);
  app->ShowSyntax("Unknown option -x");
  EXPECT_EQ(console_.output,
            "\x1b[91mUnknown option -x\x1b[0m\r\n\r\nSyntax: \x1b[97mverify-x64 \x1b[0m");
  console_.output.clear();
  auto redirected = MakeApp(false);
  redirected->ShowSyntax("Unknown option -x");
  EXPECT_EQ(console_.output, "Unknown option -x\r\n\r\nSyntax: verify-x64 ");
}

// Error log.

TEST_F(ConsoleAppTest, LogWithoutFileNameWritesAPlainConsoleLine) {
  auto app = MakeApp(true);
  app->WriteLog("", "\r\nERROR EReadError for file \"a\": Stream read error");
  EXPECT_EQ(console_.output, "\r\nERROR EReadError for file \"a\": Stream read error\r\n");
}

TEST_F(ConsoleAppTest, LogSwallowsAConsoleFailure) {
  auto app = MakeApp(false);
  console_.write_error = EPIPE;
  EXPECT_NO_THROW(app->WriteLog("", "lost"));
}

TEST_F(ConsoleAppTest, LogToAnUnwritablePlaceSwallowsTheError) {
  testing::TempDir dir;
  auto app = MakeApp(false);
  EXPECT_NO_THROW(app->WriteLog(dir.File("missing/sub/log.txt"), "entry"));
  EXPECT_NO_THROW(app->WriteLog(dir.path().string(), "entry"));  // a directory
  EXPECT_EQ(console_.output, "");
  // The caller's own line still follows.
  app->WriteError("entry");
  EXPECT_EQ(console_.output, "entry\r\n");
}

TEST_F(ConsoleAppTest, LogAppendsLinesToTheFile) {
  testing::TempDir dir;
  const std::string file = dir.File("log.txt");
  auto app = MakeApp(false);
  app->WriteLog(file, "\r\nERROR first");
  app->WriteLog(file, "\r\nERROR second");
  // Bytes that are no UTF-8 are logged and shown as \xNN: every line gets there.
  app->WriteLog(file, "\r\nERROR bad\xFF\xC3");
  std::ifstream in(file, std::ios::binary);
  const std::string contents((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "\xef\xbb\xbf\r\nERROR first\r\n\r\nERROR second\r\n\r\nERROR bad\\xFF\\xC3\r\n");
  EXPECT_EQ(console_.output, "");
  app->WriteError("bad\xFF\xC3\xA9");
  EXPECT_EQ(console_.output, "bad\\xFF\xC3\xA9\r\n");
}

// Control events.

TEST_F(ConsoleAppTest, ControlEventWithoutLiveApplicationsIsNotHandled) {
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
}

TEST_F(ConsoleAppTest, TwoLiveApplicationsGetTheEventInCreationOrderWithOneFlag) {
  std::vector<std::string> calls;
  auto first = MakeApp(false);
  auto second = MakeApp(false);
  first->on_ctrl = [&calls](unsigned type, bool& handled) {
    calls.push_back("first " + std::to_string(type) + (handled ? " handled" : " open"));
    handled = true;
  };
  second->on_ctrl = [&calls](unsigned type, bool& handled) {
    calls.push_back("second " + std::to_string(type) + (handled ? " handled" : " open"));
  };
  EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlBreakEvent));
  EXPECT_EQ(calls, (std::vector<std::string>{"first 1 open", "second 1 handled"}));

  // The result is the flag after the last one.
  calls.clear();
  second->on_ctrl = [&calls](unsigned, bool& handled) {
    calls.push_back("second");
    handled = false;
  };
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(ConsoleAppTest, OnlyInitialisedAndLiveApplicationsGetControlEvents) {
  int calls = 0;
  console_.is_terminal = false;
  TestApp not_initialised;
  not_initialised.on_ctrl = [&calls](unsigned, bool& handled) {
    ++calls;
    handled = true;
  };
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  not_initialised.Initialize();
  EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  EXPECT_EQ(calls, 1);
  {
    auto gone = MakeApp(false);
    gone->on_ctrl = [&calls](unsigned, bool&) { calls += 100; };
  }
  not_initialised.Unregister();
  EXPECT_FALSE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  EXPECT_EQ(calls, 1);
}

TEST_F(ConsoleAppTest, AssignedHandlerReceivesTheSenderAndTheType) {
  auto app = MakeApp(false);
  ConsoleApp* sender = nullptr;
  unsigned received = 99;
  app->SetOnConsoleCtrl([&](ConsoleApp& from, unsigned type, bool& handled) {
    sender = &from;
    received = type;
    handled = true;
  });
  EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCloseEvent));
  EXPECT_EQ(sender, app.get());
  EXPECT_EQ(received, platform::kCtrlCloseEvent);
}

TEST_F(ConsoleAppTest, ThrowingApplicationDoesNotKeepTheEventFromTheNext) {
  auto first = MakeApp(false);
  auto second = MakeApp(false);
  first->on_ctrl = [](unsigned, bool& handled) {
    handled = true;
    throw std::runtime_error("boom");
  };
  bool second_saw = false;
  second->on_ctrl = [&second_saw](unsigned, bool& handled) { second_saw = handled; };
  EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent));
  EXPECT_TRUE(second_saw);
}

// A real Ctrl+C reaches the application through the signal thread, in a
// child process so that a failure cannot take the test runner along.
TEST_F(ConsoleAppTest, InterruptSignalReachesTheLiveApplication) {
  const platform::ChildOutcome outcome = platform::RunInChildProcess([this] {
    platform::BlockControlSignals();
    platform::ControlSignalThread signals(&ConsoleApp::ConsoleCtrlHandler);
    std::atomic<int> received = -1;
    console_.is_terminal = false;
    auto app = std::make_unique<TestApp>();
    // Set up before Initialize, whose lock hands it over to the signal thread.
    app->on_ctrl = [&received](unsigned type, bool& handled) {
      received = static_cast<int>(type);
      handled = true;
    };
    app->Initialize();
    platform::RaiseControlEvent(platform::kCtrlCEvent);
    for (int i = 0; i < 30000 && received.load() < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    app->Unregister();
    return received.load() == static_cast<int>(platform::kCtrlCEvent) ? 0 : 2;
  });
  ASSERT_TRUE(outcome.exited) << "killed by signal " << outcome.term_signal;
  EXPECT_EQ(outcome.exit_code, 0);
}

TEST_F(ConsoleAppTest, InterruptSignalThatNoApplicationTakesEndsTheProcess) {
  const platform::ChildOutcome outcome = platform::RunInChildProcess([this] {
    platform::BlockControlSignals();
    platform::ControlSignalThread signals(&ConsoleApp::ConsoleCtrlHandler);
    auto app = MakeApp(false);  // leaves the flag alone
    platform::RaiseControlEvent(platform::kCtrlCEvent);
    for (int i = 0; i < 30000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    app->Unregister();
    return 3;
  });
  ASSERT_TRUE(outcome.signaled) << "exited with " << outcome.exit_code;
  EXPECT_EQ(outcome.term_signal, SIGINT);
}

}  // namespace
}  // namespace hv
