#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "cli/verify_app.h"
#include "engine/hash_item.h"
#include "engine/verify.h"
#include "engine/verify_state.h"
#include "helpers/fake_console.h"
#include "helpers/temp_dir.h"
#include "platform/console.h"
#include "support/exceptions.h"

namespace hv {
namespace {

class QuietEngine : public Verify {
 public:
  // The abort request, taken as the engine's next check takes it.
  bool TakeAbortRequest() {
    try {
      CheckAborted();
    } catch (const EDelayedAbort&) {
      return true;
    }
    return false;
  }
};

class DisplayApp : public VerifyApp {
 public:
  explicit DisplayApp(std::unique_ptr<Verify> engine) : VerifyApp(std::move(engine)) {}
  using VerifyApp::CheckControlEvent;
  using VerifyApp::ControlEvent;
  using VerifyApp::DisplayingProgress;
  using VerifyApp::DoConsoleCtrl;
  using VerifyApp::EndProgressLine;
  using VerifyApp::GetCursorColumn;
  using VerifyApp::HandleProgress;
  using VerifyApp::ParseCommandLine;
  using VerifyApp::Write;
};

const std::string kBackspaces = "\b\b\b\b\b\b\b";
const std::string kWhite = "\x1b[97m";
const std::string kRed = "\x1b[91m";
const std::string kGreen = "\x1b[92m";
const std::string kMagenta = "\x1b[95m";
const std::string kYellow = "\x1b[93m";
const std::string kReset = "\x1b[0m";
const std::string kQuestion =
    "Do you want to quit (Q) now or show results first (anything else)?";

class EventDisplayTest : public ::testing::Test {
 protected:
  EventDisplayTest() : console_scope_(console_) {}
  ~EventDisplayTest() override { ConsoleApp::SetArguments({}); }

  // A fresh application after parsing `args` (a hash-list file is added).
  void Start(bool terminal, std::vector<std::string> args = {}) {
    console_.is_terminal = terminal;
    args.insert(args.begin(), "list.txt");
    ConsoleApp::SetArguments(std::move(args));
    auto engine = std::make_unique<QuietEngine>();
    engine_ = engine.get();
    app_ = std::make_unique<DisplayApp>(std::move(engine));
    app_->Initialize();
    ASSERT_EQ(app_->ParseCommandLine(), 0);
    app_->SetTickSource([this] { return ticks_; });
    console_.output.clear();
  }

  void Event(VerifyState state, const StateChangeObject* info = nullptr) {
    app_->HandleStateChange(state, info);
  }

  testing::FakeConsole console_;
  platform::ScopedConsole console_scope_;
  QuietEngine* engine_ = nullptr;
  std::unique_ptr<DisplayApp> app_;
  uint32_t ticks_ = 100000;
};

HashItem& MakeItem(HashItem& item, const std::string& path, HashState state,
                   HashItem* related = nullptr) {
  item.SetPath(path);
  item.SetState(state);
  item.SetRelated(related);
  return item;
}

// Status lines.

TEST_F(EventDisplayTest, StatusLines) {
  Start(false, {"-p"});
  Event(vstSortingResults);
  Event(vstWritingResults);
  Event(vstSortingHashlist);
  EXPECT_EQ(console_.output, "Sorting results...\r\nWriting results...\r\nSorting hash list...\r\n");
  EXPECT_FALSE(app_->DisplayingProgress());
}

TEST_F(EventDisplayTest, OpenLinesAreClosedByTheNextEvent) {
  Start(false, {"-p"});
  Event(vstComparingHashlists);
  EXPECT_TRUE(app_->DisplayingProgress());
  Event(vstProgressDone);
  EXPECT_FALSE(app_->DisplayingProgress());
  Event(vstLookingForDupes);
  Event(vstBuildOutput);
  EXPECT_EQ(console_.output,
            "Comparing hash lists...       \r\nLooking for dupes...       \r\n");
}

TEST_F(EventDisplayTest, LoadingLineShowsTheFileInWhite) {
  Start(true);
  const StateChangeFilename file("lists/old.txt");
  Event(vstLoadingHashFile, &file);
  EXPECT_TRUE(app_->DisplayingProgress());
  EXPECT_EQ(console_.output, "Loading hash file " + kWhite + "lists/old.txt" + kReset + " ... ");
  console_.output.clear();
  Event(vstProgressDone);
  EXPECT_EQ(console_.output, "       \r\n");
}

TEST_F(EventDisplayTest, ProcessedFileIsQuotedWithInnerQuotesDoubled) {
  Start(false, {"-p"});
  const StateChangeFilename file("dir\\say \"hi\".txt");
  Event(vstProcessingFile, &file);
  EXPECT_TRUE(app_->DisplayingProgress());
  EXPECT_EQ(console_.output, "\"dir\\say \"\"hi\"\".txt\"");
}

TEST_F(EventDisplayTest, TerminalLineAtColumnZeroIsNotClosedAgain) {
  Start(true);
  Event(vstComparingHashlists);
  app_->Write("\r\n");
  Event(vstSortingResults);
  EXPECT_EQ(console_.output, "Comparing hash lists...\r\nSorting results...\r\n");
}

// Results.

TEST_F(EventDisplayTest, ResultLinesInTheColourOfTheirState) {
  Start(true, {"-sm"});
  HashItem items[6];
  HashItem old;
  MakeItem(old, "old.txt", hsDeleted);
  const std::pair<HashState, std::string> cases[] = {
      {hsOK, kWhite + "MATCHED\t\"a.txt\""},
      {hsNew, kGreen + "ADDED\t\"a.txt\""},
      {hsChanged, kMagenta + "CHANGED\t\"a.txt\""},
      {hsDeleted, kMagenta + "DELETED\t\"a.txt\""},
      {hsCopied, kYellow + "COPIED\t\"a.txt\"\tfrom\t\"old.txt\""},
      {hsRenamed, kYellow + "RENAMED\t\"a.txt\"\tfrom\t\"old.txt\""},
  };
  for (const auto& [state, text] : cases) {
    console_.output.clear();
    const StateChangeHashItem payload(MakeItem(items[state], "a.txt", state, &old));
    Event(vstMatchOutput, &payload);
    EXPECT_EQ(console_.output, text + kReset + "\r\n");
  }
}

TEST_F(EventDisplayTest, HiddenStatesShowNoResultLine) {
  Start(false, {"-p", "-sc-"});
  HashItem matched;
  HashItem changed;
  HashItem added;
  const StateChangeHashItem ok(MakeItem(matched, "m", hsOK));
  const StateChangeHashItem ch(MakeItem(changed, "c", hsChanged));
  const StateChangeHashItem ad(MakeItem(added, "n", hsNew));
  Event(vstMatchOutput, &ok);
  Event(vstMatchOutput, &ch);
  Event(vstMatchOutput, &ad);
  EXPECT_EQ(console_.output, "ADDED\t\"n\"\r\n");
}

TEST_F(EventDisplayTest, DupesLinesIgnoreHiddenStates) {
  Start(false, {"-p"});
  HashItem other;
  HashItem item;
  MakeItem(other, "b", hsOK);
  const StateChangeHashItem payload(MakeItem(item, "a", hsOK, &other));
  Event(vstDupesOutput, &payload);
  EXPECT_EQ(console_.output, "MATCHED\t\"a\"\r\n");
}

TEST_F(EventDisplayTest, OutputFileKeepsResultLinesOffTheConsole) {
  Start(false, {"-p", "-sm", "-o", "results.txt"});
  HashItem item;
  const StateChangeHashItem payload(MakeItem(item, "a", hsNew));
  Event(vstMatchOutput, &payload);
  Event(vstDupesOutput, &payload);
  EXPECT_EQ(console_.output, "");
  const StateChangeStatistics stats(0, 1, 0, 0, 0, 0);
  Event(vstMatchStats, &stats);
  EXPECT_NE(console_.output.find("Operation statistics:"), std::string::npos);
}

TEST_F(EventDisplayTest, StatisticsRedirected) {
  Start(false, {"-p"});
  const StateChangeStatistics stats(12, 3, 0, 0, 1, 0);
  Event(vstMatchStats, &stats);
  EXPECT_EQ(console_.output,
            "Operation statistics:\r\n"
            "Matched: 12    New: 3    Changed: 0    Deleted: 0    Copied: 1    Renamed: 0\r\n\r\n");
  console_.output.clear();
  Event(vstDupesStats, &stats);
  EXPECT_EQ(console_.output,
            "Operation statistics:\r\n"
            "Matched: 12    New: 3    Changed: 0    Deleted: 0    Copied: 1    Renamed: 0\r\n\r\n");
}

TEST_F(EventDisplayTest, StatisticsColoursZeroIsWhite) {
  Start(true);
  const StateChangeStatistics stats(0, 3, 0, 0, 1, 0);
  Event(vstMatchStats, &stats);
  const std::string zero = kWhite + "0" + kReset;
  EXPECT_EQ(console_.output, "Operation statistics:\r\n"
                             "Matched: " + zero + "    New: " + kGreen + "3" + kReset +
                                 "    Changed: " + zero + "    Deleted: " + zero +
                                 "    Copied: " + kYellow + "1" + kReset +
                                 "    Renamed: " + zero + "\r\n\r\n");
  console_.output.clear();
  const StateChangeStatistics others(5, 0, 2, 4, 0, 7);
  Event(vstDupesStats, &others);
  EXPECT_EQ(console_.output, "Operation statistics:\r\n"
                             "Matched: " + kWhite + "5" + kReset + "    New: " + zero +
                                 "    Changed: " + kMagenta + "2" + kReset +
                                 "    Deleted: " + kMagenta + "4" + kReset +
                                 "    Copied: " + zero + "    Renamed: " + kYellow + "7" +
                                 kReset + "\r\n\r\n");
}

// Errors.

TEST_F(EventDisplayTest, FileErrorLineInLightRed) {
  Start(true);
  const StateChangeErrorInFile error(EReadError("Stream read error"), "/data/a \"b\".bin");
  Event(vstFileError, &error);
  EXPECT_EQ(console_.output, kRed +
                                 "\r\nERROR EReadError for file \"/data/a \"b\".bin\": Stream "
                                 "read error" +
                                 kReset + "\r\n");
}

TEST_F(EventDisplayTest, FileErrorGoesToTheLogToo) {
  testing::TempDir dir;
  const std::string log = dir.File("errors.log");
  Start(false, {"-e", log});
  const StateChangeErrorInFile first(EFOpenError("Cannot open."), "/d/x");
  const StateChangeErrorInFile second(EReadError("Stream read error"), "/d/y");
  Event(vstFileError, &first);
  Event(vstFileError, &second);
  EXPECT_EQ(console_.output,
            "\r\nERROR EFOpenError for file \"/d/x\": Cannot open.\r\n"
            "\r\nERROR EReadError for file \"/d/y\": Stream read error\r\n");
  std::ifstream in(log, std::ios::binary);
  const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents,
            "\xEF\xBB\xBF\r\nERROR EFOpenError for file \"/d/x\": Cannot open.\r\n"
            "\r\nERROR EReadError for file \"/d/y\": Stream read error\r\n");
}

// A name cannot move the cursor or retitle the terminal: its control
// characters (C0, DEL, C1, not U+00A0) are shown byte by byte as \xNN
// wherever it enters a line, on the console and in the log.
TEST_F(EventDisplayTest, ControlCharactersInNamesAreShownAsHex) {
  testing::TempDir dir;
  const std::string log = dir.File("errors.log");
  Start(false, {"-p", "-e", log});
  const std::string name = "x\x1b[2K\t\a\x7f\xc2\x9b\xc2\xa0\r";
  const std::string shown = "x\\x1B[2K\\x09\\x07\\x7F\\xC2\\x9B\xc2\xa0\\x0D";
  const StateChangeFilename file(name);
  Event(vstLoadingHashFile, &file);
  Event(vstProcessingFile, &file);
  HashItem old;
  HashItem item;
  MakeItem(old, name, hsDeleted);
  const StateChangeHashItem payload(MakeItem(item, name, hsRenamed, &old));
  Event(vstMatchOutput, &payload);
  const StateChangeErrorInFile error(EFOpenError("Cannot open \"" + name + "\"."),
                                     "/d/" + name);
  Event(vstFileError, &error);
  const std::string error_line =
      "\r\nERROR EFOpenError for file \"/d/" + shown + "\": Cannot open \"" + shown + "\".\r\n";
  EXPECT_EQ(console_.output, "Loading hash file " + shown + " ...        \r\n\"" + shown +
                                 "\"       \r\nRENAMED\t\"" + shown + "\"\tfrom\t\"" + shown +
                                 "\"\r\n" + error_line);
  std::ifstream in(log, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "\xEF\xBB\xBF" + error_line);
}

TEST_F(EventDisplayTest, UnwritableLogStillShowsTheError) {
  testing::TempDir dir;
  Start(false, {"-e", dir.File("no/such/dir/errors.log")});
  const StateChangeErrorInFile error(EFOpenError("Cannot open."), "/d/x");
  Event(vstFileError, &error);
  EXPECT_EQ(console_.output, "\r\nERROR EFOpenError for file \"/d/x\": Cannot open.\r\n");
}

TEST_F(EventDisplayTest, FileErrorClosesAnOpenLine) {
  Start(false, {"-p"});
  const StateChangeFilename file("a");
  Event(vstProcessingFile, &file);
  const StateChangeErrorInFile error(EFOpenError("No."), "/d/a");
  Event(vstFileError, &error);
  EXPECT_EQ(console_.output, "\"a\"       \r\n\r\nERROR EFOpenError for file \"/d/a\": No.\r\n");
}

// The percentage.

// Seven characters, then as many backspaces, so that the next percentage
// overwrites this one.
TEST_F(EventDisplayTest, PercentageTexts) {
  Start(false, {"-p"});
  app_->HandleProgress(0, 3);
  EXPECT_EQ(console_.output, "   0.0%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  app_->HandleProgress(1, 3);
  EXPECT_EQ(console_.output, "  33.3%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  app_->HandleProgress(3, 3);
  EXPECT_EQ(console_.output, " 100.0%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  app_->HandleProgress(2, 3);
  EXPECT_EQ(console_.output, "  66.6%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  // More than all: the whole percent is cut to three characters.
  app_->HandleProgress(100, 3);
  EXPECT_EQ(console_.output, " 333.3%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  app_->HandleProgress(1000, 1);
  EXPECT_EQ(console_.output, " 100.0%" + kBackspaces);
  console_.output.clear();
  ticks_ += 1000;
  // Huge files do not overflow.
  app_->HandleProgress(INT64_MAX / 2, INT64_MAX);
  EXPECT_EQ(console_.output, "  49.9%" + kBackspaces);
}

TEST_F(EventDisplayTest, MaximumOfZeroOrLessShowsNothing) {
  Start(false, {"-p"});
  app_->HandleProgress(0, 0);
  app_->HandleProgress(5, 0);
  app_->HandleProgress(0, -1);
  app_->HandleProgress(7, -1);
  EXPECT_EQ(console_.output, "");
  EXPECT_TRUE(app_->DisplayingProgress());
}

TEST_F(EventDisplayTest, AtMostOneReportPerSecondExceptPositionZero) {
  Start(false, {"-p"});
  ticks_ = 5000;
  app_->HandleProgress(0, 10);
  ticks_ = 5400;
  app_->HandleProgress(1, 10);
  EXPECT_EQ(console_.output, "   0.0%" + kBackspaces);
  console_.output.clear();
  // Position 0 is always written and restarts the interval.
  app_->HandleProgress(0, 10);
  EXPECT_EQ(console_.output, "   0.0%" + kBackspaces);
  console_.output.clear();
  ticks_ = 6399;
  app_->HandleProgress(2, 10);
  EXPECT_EQ(console_.output, "");
  ticks_ = 6400;
  app_->HandleProgress(3, 10);
  EXPECT_EQ(console_.output, "  30.0%" + kBackspaces);
}

TEST_F(EventDisplayTest, TickCounterWrapAroundDoesNoHarm) {
  Start(false, {"-p"});
  ticks_ = 0xFFFFFF00u;
  app_->HandleProgress(0, 10);
  console_.output.clear();
  ticks_ = 0x00000100u;  // 512 ms later
  app_->HandleProgress(1, 10);
  EXPECT_EQ(console_.output, "");
  ticks_ = 0x000002E8u;  // 1000 ms later
  app_->HandleProgress(2, 10);
  EXPECT_EQ(console_.output, "  20.0%" + kBackspaces);
}

TEST_F(EventDisplayTest, NoPercentageWithoutProgressDisplay) {
  Start(false);
  app_->HandleProgress(0, 3);
  EXPECT_EQ(console_.output, "");
  EXPECT_TRUE(app_->DisplayingProgress());
}

TEST_F(EventDisplayTest, RedirectedClosedLinesKeepTheirBackspaces) {
  Start(false, {"-p"});
  const StateChangeFilename file("f");
  Event(vstProcessingFile, &file);
  app_->HandleProgress(0, 4);
  Event(vstProgressDone);
  EXPECT_EQ(console_.output, "\"f\"   0.0%" + kBackspaces + "       \r\n");
}

TEST_F(EventDisplayTest, EndProgressLine) {
  Start(false);
  app_->EndProgressLine();
  EXPECT_EQ(console_.output, "");
  app_->HandleProgress(0, 3);  // opens the line, writes nothing (progress off)
  app_->EndProgressLine();
  EXPECT_EQ(console_.output, "       \r\n");
  EXPECT_FALSE(app_->DisplayingProgress());
  app_->EndProgressLine();
  EXPECT_EQ(console_.output, "       \r\n");
}

TEST_F(EventDisplayTest, EndProgressLineOnTerminalDependsOnTheColumn) {
  Start(true);
  app_->HandleProgress(0, 3);
  EXPECT_EQ(app_->GetCursorColumn(), 0);
  app_->EndProgressLine();
  EXPECT_EQ(console_.output, "   0.0%" + kBackspaces);
  console_.output.clear();
  app_->Write("x");
  app_->HandleProgress(0, 3);
  app_->EndProgressLine();
  EXPECT_EQ(console_.output, "x   0.0%" + kBackspaces + "       \r\n");
}

// Control events.

TEST_F(EventDisplayTest, ControlTypesZeroToTwoAreTaken) {
  Start(true);
  for (unsigned type : {0u, 1u, 2u}) {
    SCOPED_TRACE(type);
    console_.input_lines = {"x"};
    bool handled = false;
    app_->DoConsoleCtrl(type, handled);
    EXPECT_TRUE(handled);
    EXPECT_EQ(app_->ControlEvent(), type);
    app_->CheckControlEvent();
    EXPECT_EQ(app_->ControlEvent(), VerifyApp::kNoControlEvent);
  }
}

TEST_F(EventDisplayTest, OtherControlTypesAreLeftAlone) {
  Start(true);
  for (unsigned type : {3u, 5u, 6u, 0xFFFFFFFFu}) {
    bool handled = false;
    app_->DoConsoleCtrl(type, handled);
    EXPECT_FALSE(handled);
    bool already = true;
    app_->DoConsoleCtrl(type, already);
    EXPECT_TRUE(already);
    EXPECT_EQ(app_->ControlEvent(), VerifyApp::kNoControlEvent);
  }
  app_->CheckControlEvent();
  EXPECT_EQ(console_.read_calls, 0);
  EXPECT_EQ(console_.output, "");
}

TEST_F(EventDisplayTest, SecondEventWhilePendingIsNotTaken) {
  Start(true);
  bool handled = false;
  app_->DoConsoleCtrl(0, handled);
  EXPECT_TRUE(handled);
  bool second = false;
  app_->DoConsoleCtrl(2, second);
  EXPECT_FALSE(second);
  EXPECT_EQ(app_->ControlEvent(), 0u);
}

TEST_F(EventDisplayTest, DialogTextRedirected) {
  Start(false);
  console_.input_lines = {"no"};
  bool handled = false;
  app_->DoConsoleCtrl(1, handled);
  app_->CheckControlEvent();
  EXPECT_EQ(console_.output, "Ctrl+Break pressed.\r\n" + kQuestion);
  console_.output.clear();
  console_.input_lines = {"no"};
  app_->DoConsoleCtrl(2, handled);
  app_->CheckControlEvent();
  EXPECT_EQ(console_.output, "Application close requested.\r\n" + kQuestion);
}

TEST_F(EventDisplayTest, DialogTextOnTerminal) {
  Start(true);
  console_.input_lines = {"no"};
  bool handled = false;
  app_->DoConsoleCtrl(0, handled);
  app_->CheckControlEvent();
  EXPECT_EQ(console_.output, kRed + "Ctrl+C pressed." + kReset + "\r\n" + kWhite +
                                 "Do you want to quit (" + kReset + kRed + "Q" + kReset +
                                 kWhite + ") now or show results first (anything else)?" +
                                 kReset);
}

TEST_F(EventDisplayTest, DialogClosesTheOpenLineFirst) {
  Start(false, {"-p"});
  const StateChangeFilename file("f");
  Event(vstProcessingFile, &file);
  console_.input_lines = {""};
  bool handled = false;
  app_->DoConsoleCtrl(0, handled);
  app_->HandleProgress(0, 10);
  EXPECT_EQ(console_.output,
            "\"f\"       \r\nCtrl+C pressed.\r\n" + kQuestion + "   0.0%" + kBackspaces);
}

TEST_F(EventDisplayTest, AnswerQQuitsAtOnce) {
  for (const char* answer : {"Q", "q"}) {
    SCOPED_TRACE(answer);
    Start(false, {"-p"});
    console_.input_lines = {answer};
    console_.read_calls = 0;
    bool handled = false;
    app_->DoConsoleCtrl(0, handled);
    EXPECT_THROW(app_->HandleProgress(1, 2), EAbort);
    EXPECT_FALSE(engine_->TakeAbortRequest());
    EXPECT_EQ(app_->ControlEvent(), VerifyApp::kNoControlEvent);
    EXPECT_EQ(console_.read_calls, 1);
  }
}

TEST_F(EventDisplayTest, AnyOtherAnswerStopsAtTheNextCheck) {
  for (const char* answer : {" q", "quit", "QQ", "", "q ", "Q\t", "yes"}) {
    SCOPED_TRACE(answer);
    Start(false);
    console_.input_lines = {answer};
    console_.read_calls = 0;
    bool handled = false;
    app_->DoConsoleCtrl(0, handled);
    EXPECT_NO_THROW(app_->HandleProgress(1, 2));
    EXPECT_TRUE(engine_->TakeAbortRequest());
    // No line was open, so none is closed.
    EXPECT_EQ(console_.output, "Ctrl+C pressed.\r\n" + kQuestion);
    EXPECT_EQ(console_.read_calls, 1);
  }
}

TEST_F(EventDisplayTest, EndOfInputIsAnEmptyAnswer) {
  Start(false);
  console_.input_lines.clear();
  bool handled = false;
  app_->DoConsoleCtrl(0, handled);
  EXPECT_NO_THROW(app_->CheckControlEvent());
  EXPECT_TRUE(engine_->TakeAbortRequest());
  // No Enter was echoed, so the line is ended here.
  EXPECT_EQ(console_.output, "Ctrl+C pressed.\r\n" + kQuestion + "\r\n");
}

TEST_F(EventDisplayTest, NoDialogWithoutEvent) {
  Start(true);
  app_->CheckControlEvent();
  app_->HandleProgress(0, 1);
  EXPECT_EQ(console_.read_calls, 0);
  EXPECT_FALSE(engine_->TakeAbortRequest());
}

TEST_F(EventDisplayTest, EventDuringTheQuestionIsAskedAboutAtTheNextReport) {
  Start(false);
  bool handled = false;
  app_->DoConsoleCtrl(0, handled);
  console_.input_lines = {""};
  app_->CheckControlEvent();
  // Recorded again once the first was taken.
  bool again = false;
  app_->DoConsoleCtrl(0, again);
  EXPECT_TRUE(again);
  console_.input_lines = {"q"};
  EXPECT_THROW(app_->HandleProgress(0, 1), EAbort);
}

}  // namespace
}  // namespace hv
