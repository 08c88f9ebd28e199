#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/verify_app.h"
#include "engine/verify.h"
#include "helpers/fake_console.h"
#include "helpers/fake_file_system.h"
#include "platform/console.h"
#include "platform/file_system.h"

namespace hv {
namespace {

// Records the rules instead of compiling them, and runs no command.
class MaskRecordingEngine : public Verify {
 public:
  std::vector<std::pair<std::string, IncludeExcludeMask>> masks;
  int commands_run = 0;

  void ClearIncludeExcludeMasks() override { masks.clear(); }
  void AddIncludeExcludeMask(const std::string& mask, IncludeExcludeMask type) override {
    masks.emplace_back(mask, type);
  }
  int Build() override { return ++commands_run, 0; }
  int Redure() override { return ++commands_run, 0; }
  int Update() override { return ++commands_run, 0; }
  int Match() override { return ++commands_run, 0; }
  int Dupes(bool) override { return ++commands_run, 0; }
};

class ParserApp : public VerifyApp {
 public:
  explicit ParserApp(std::unique_ptr<Verify> engine) : VerifyApp(std::move(engine)) {}
  using VerifyApp::ParseCommandLine;
  using VerifyApp::ShowSyntax;
};

// The help screen after the "Syntax: " line start, as (option, description)
// rows; a row without an option is a plain line.
const std::vector<std::pair<std::string, std::string>> kHelpRows = {
    {"", "Commands:"},
    {" -h, -?", " ......... Show this help screen."},
    {"", ""},
    {" -b", " ............. Build a new hash list."},
    {" -v", " ............. Redure an existing hash list (default)."},
    {" -u", " ............. Redure and update an existing hash list."},
    {" -m <file>", " ...... Match new hash list <hashfile> against old <file>."},
    {" -D <file>", " ...... Find files from <hashfile> which exist in <file>."},
    {" -D1", " ............ Find dupes within <hashfile>."},
    {"", ""},
    {"", "Matching specifiers:"},
    {" -j[-]", " .......... [Don't] Scan junctions and reparse points (default: -j)."},
    {" -r[-]", " .......... [Don't] Recursively scan subdirectories (default: -r)."},
    {" -t[-]", " .......... [Don't] Use file modification timestamp (default: -t)."},
    {" -tp <msec>", " ..... Use <msec> millisecond precision for comparison (default: 0)."},
#if defined(HV_VARIANT32)
    {" -wow64[-]", " ...... [Disable] Wow64 filesystem redirection (default: -wow64)."},
#endif
    {"", ""},
    {"", "Source files:"},
    {" -d <dir>", " ....... Add directory <dir> to scanned directories."},
    {" -rd <dir>", " ...... Do not write the initial <dir> to output hashlist."},
    {" -i <wildcard>", "... Include files whose name matches <wildcard>."},
    {" -x <wildcard>", "... Exclude files whose name matches <wildcard>."},
    {" -ir <regexp>", ".... Include files whose full name matches <regexp>."},
    {" -xr <regexp>", ".... Exclude files whose full name matches <regexp>."},
    {"", ""},
    {"", "Output settings:"},
    {" -p[-]", " .......... [Don't] Show progress."},
    {" -e <file>", " ...... Write error log to file."},
    {" -o <file>", " ...... Write verify/match/dupes results to <file>."},
    {" -sm[-]", " ......... [Don't] Show matched (non-changed) files (default: -sm-)."},
    {" -sa[-]", " ......... [Don't] Show added (new) files (default: -sa)."},
    {" -sc[-]", " ......... [Don't] Show changed files (default: -sc)."},
    {" -sd[-]", " ......... [Don't] Show deleted files (default: -sd)."},
    {" -sp[-]", " ......... [Don't] Show copied files (default: -sp)."},
    {" -sr[-]", " ......... [Don't] Show renamed files (default: -sr)."},
    {"", ""},
};

const std::string kWhite = "\x1b[97m";
const std::string kRed = "\x1b[91m";
const std::string kReset = "\x1b[0m";

std::string PlainHelp(const std::string& error) {
  std::string text;
  if (!error.empty()) text += error + "\r\n\r\n";
  text += "Syntax: verify-x64 [<arg>] [<arg>] ... <hashfile> [<dir>] [<dir>] ...\r\n\r\n";
  for (const auto& [option, description] : kHelpRows) text += option + description + "\r\n";
  return text;
}

std::string TerminalHelp(const std::string& error) {
  std::string text;
  if (!error.empty()) text += kRed + error + kReset + "\r\n\r\n";
  text += "Syntax: " + kWhite + "verify-x64 " + kReset + kWhite +
          "[<arg>] [<arg>] ... <hashfile> [<dir>] [<dir>] ..." + kReset + "\r\n\r\n";
  for (const auto& [option, description] : kHelpRows) {
    if (!option.empty()) text += kWhite + option + kReset;
    text += description + "\r\n";
  }
  return text;
}

class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() : console_scope_(console_), fs_scope_(fs_) {
    fs_.SetCurrentDirectory("/work");
    fs_.AddDirectory("/work");
    // The fake takes names as they are, so relative ones are entries too.
    fs_.AddFile("/work/old.txt", "");
    fs_.AddFile("old.txt", "");
    fs_.AddDirectory("/work/dir");
    fs_.AddDirectory("dir");
  }
  ~CommandLineTest() override { ConsoleApp::SetArguments({}); }

  // Parses `args` with a fresh application and returns the parser's result.
  int Parse(std::vector<std::string> args, bool terminal = false) {
    console_.is_terminal = terminal;
    ConsoleApp::SetArguments(std::move(args));
    auto engine = std::make_unique<MaskRecordingEngine>();
    engine_ = engine.get();
    app_ = std::make_unique<ParserApp>(std::move(engine));
    app_->Initialize();
    return app_->ParseCommandLine();
  }

  // Parses `args`, which must fail with `message` and the help screen.
  void ExpectUsageError(std::vector<std::string> args, const std::string& message) {
    SCOPED_TRACE(message);
    console_.output.clear();
    EXPECT_EQ(Parse(std::move(args)), 254);
    EXPECT_EQ(console_.output, PlainHelp(message));
  }

  Verify& engine() { return *engine_; }

  testing::FakeConsole console_;
  testing::FakeFileSystem fs_;
  platform::ScopedConsole console_scope_;
  platform::ScopedFileSystem fs_scope_;
  MaskRecordingEngine* engine_ = nullptr;
  std::unique_ptr<ParserApp> app_;
};

// The help screen.

TEST_F(CommandLineTest, HelpRequestShowsTheScreenWithoutMessage) {
  EXPECT_EQ(Parse({"-h"}), 254);
  EXPECT_EQ(console_.output, PlainHelp(""));
  console_.output.clear();
  EXPECT_EQ(Parse({"list.txt", "-?"}), 254);
  EXPECT_EQ(console_.output, PlainHelp(""));
}

TEST_F(CommandLineTest, HelpScreenOnTerminalColoursOptionsWhite) {
  EXPECT_EQ(Parse({"-h"}, /*terminal=*/true), 254);
  EXPECT_EQ(console_.output, TerminalHelp(""));
}

TEST_F(CommandLineTest, UsageErrorOnTerminalIsLightRed) {
  EXPECT_EQ(Parse({"-H"}, /*terminal=*/true), 254);
  EXPECT_EQ(console_.output, TerminalHelp("Unknown argument \"-H\"."));
}

TEST_F(CommandLineTest, EveryDescriptionStartsInColumnNineteen) {
  EXPECT_EQ(Parse({"-h"}), 254);
  const std::string out = console_.output;
  int rows = 0;
  for (const auto& [option, description] : kHelpRows) {
    if (option.empty()) continue;
    ++rows;
    const std::string row = option + description;
    ASSERT_NE(out.find("\r\n" + row + "\r\n"), std::string::npos) << row;
    // Option, dots and one blank fill 18 columns.
    const std::size_t word = row.find_first_not_of(". ", option.size());
    EXPECT_EQ(word, 18u) << row;
    EXPECT_EQ(row.substr(16, 2), ". ") << row;
  }
#if defined(HV_VARIANT32)
  EXPECT_EQ(rows, 27);
#else
  EXPECT_EQ(rows, 26);
#endif
}

// Plain arguments and defaults.

TEST_F(CommandLineTest, HashFileAloneScansTheCurrentDirectory) {
  EXPECT_EQ(Parse({"list.txt"}), 0);
  EXPECT_EQ(console_.output, "");
  EXPECT_EQ(engine().HashesFileName(), "list.txt");
  EXPECT_EQ(engine().BaseDirectories(), std::vector<std::string>{"."});
  EXPECT_EQ(engine().GetVerifyCommand(), vcDefault);
  EXPECT_TRUE(engine().Recursive());
  EXPECT_TRUE(engine().Junctions());
  EXPECT_TRUE(engine().UseTimestamp());
  EXPECT_EQ(engine().TimestampPrecision(), 0);
  EXPECT_EQ(engine().HideStates(), HashStates{hsOK});
  EXPECT_EQ(engine().OutputFileName(), "");
  EXPECT_EQ(engine().MatchListFileName(), "");
  EXPECT_EQ(engine().BaseDirectoriesRoot(), "");
  EXPECT_EQ(app_->ErrorLogFileName(), "");
  EXPECT_TRUE(engine_->masks.empty());
}

TEST_F(CommandLineTest, PlainArgumentsAreHashFileThenDirectoriesInOrder) {
  EXPECT_EQ(Parse({"a", "b", "c"}), 0);
  EXPECT_EQ(engine().HashesFileName(), "a");
  EXPECT_EQ(engine().BaseDirectories(), (std::vector<std::string>{"b", "c"}));
}

TEST_F(CommandLineTest, DirectoryOptionAddsInCommandLineOrder) {
  EXPECT_EQ(Parse({"-d", "x", "a", "b"}), 0);
  EXPECT_EQ(engine().HashesFileName(), "a");
  EXPECT_EQ(engine().BaseDirectories(), (std::vector<std::string>{"x", "b"}));
}

TEST_F(CommandLineTest, OptionArgumentIsTakenWhateverItBeginsWith) {
  EXPECT_EQ(Parse({"-d", "-old", "list"}), 0);
  EXPECT_EQ(engine().BaseDirectories(), std::vector<std::string>{"-old"});
}

TEST_F(CommandLineTest, SlashArgumentsAreFilesNotOptions) {
  EXPECT_EQ(Parse({"/h", "/?"}), 0);
  EXPECT_EQ(engine().HashesFileName(), "/h");
  EXPECT_EQ(engine().BaseDirectories(), std::vector<std::string>{"/?"});
}

TEST_F(CommandLineTest, NoArgumentsNeedAHashFile) {
  ExpectUsageError({}, "Hashfile must be provided.");
  ExpectUsageError({"-b", "-r-"}, "Hashfile must be provided.");
}

TEST_F(CommandLineTest, NoArgumentsOnTerminal) {
  EXPECT_EQ(Parse({}, /*terminal=*/true), 254);
  EXPECT_EQ(console_.output, TerminalHelp("Hashfile must be provided."));
}

// Commands.

TEST_F(CommandLineTest, EachCommandOption) {
  EXPECT_EQ(Parse({"-v", "l"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcVerify);
  EXPECT_EQ(Parse({"l", "-b"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcBuild);
  EXPECT_EQ(Parse({"-u", "l"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcUpdate);
  EXPECT_EQ(Parse({"-m", "old.txt", "l"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcMatch);
  EXPECT_EQ(engine().MatchListFileName(), "old.txt");
  EXPECT_EQ(Parse({"-D", "/work/old.txt", "l"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcDupes);
  EXPECT_EQ(engine().MatchListFileName(), "/work/old.txt");
  EXPECT_EQ(Parse({"-D1", "l"}), 0);
  EXPECT_EQ(engine().GetVerifyCommand(), vcDupes1);
  EXPECT_EQ(console_.output, "");
}

TEST_F(CommandLineTest, SecondCommandClashes) {
  const std::string clash = "Only one of -b/-v/-vf/-u/-uf/-m/-D commands may be present.";
  ExpectUsageError({"-b", "-v", "l"}, clash);
  ExpectUsageError({"-v", "-v", "l"}, clash);
  ExpectUsageError({"-D1", "-D", "old.txt", "l"}, clash);
  ExpectUsageError({"-u", "-D1", "l"}, clash);
  ExpectUsageError({"-m", "old.txt", "-b", "l"}, clash);
  // The clash comes before the missing file name.
  ExpectUsageError({"l", "-b", "-m"}, clash);
}

TEST_F(CommandLineTest, ListCommandsNeedAnExistingFile) {
  ExpectUsageError({"l", "-m"}, "File name must be provided for -m command.");
  ExpectUsageError({"l", "-D"}, "File name must be provided for -D command.");
  ExpectUsageError({"l", "-m", "dir"}, "Matchfile not found for -m command.");
  ExpectUsageError({"l", "-m", "missing.txt"}, "Matchfile not found for -m command.");
  ExpectUsageError({"l", "-m", ""}, "Matchfile not found for -m command.");
  ExpectUsageError({"l", "-D", "/work/dir"}, "Dupesfile not found for -D command.");
  ExpectUsageError({"l", "-D", "nothing"}, "Dupesfile not found for -D command.");
}

// Switches.

TEST_F(CommandLineTest, BooleanSwitchesLastOneWins) {
  EXPECT_EQ(Parse({"l", "-r-", "-j-", "-t-"}), 0);
  EXPECT_FALSE(engine().Recursive());
  EXPECT_FALSE(engine().Junctions());
  EXPECT_FALSE(engine().UseTimestamp());
  EXPECT_EQ(Parse({"l", "-r-", "-j-", "-t-", "-r", "-j", "-t"}), 0);
  EXPECT_TRUE(engine().Recursive());
  EXPECT_TRUE(engine().Junctions());
  EXPECT_TRUE(engine().UseTimestamp());
}

TEST_F(CommandLineTest, ProgressIsOffWhenRedirectedUntilAskedFor) {
  EXPECT_EQ(Parse({"l"}, /*terminal=*/false), 0);
  EXPECT_FALSE(engine().ShowProgress());
  EXPECT_EQ(Parse({"l", "-p"}, /*terminal=*/false), 0);
  EXPECT_TRUE(engine().ShowProgress());
  EXPECT_EQ(Parse({"-p", "l", "-p-"}, /*terminal=*/false), 0);
  EXPECT_FALSE(engine().ShowProgress());
  EXPECT_EQ(Parse({"l"}, /*terminal=*/true), 0);
  EXPECT_TRUE(engine().ShowProgress());
  EXPECT_EQ(Parse({"l", "-p-"}, /*terminal=*/true), 0);
  EXPECT_FALSE(engine().ShowProgress());
}

TEST_F(CommandLineTest, HideStateOptions) {
  struct Case {
    const char* show;
    const char* hide;
    HashState state;
  };
  const Case cases[] = {{"-sm", "-sm-", hsOK},      {"-sa", "-sa-", hsNew},
                        {"-sc", "-sc-", hsChanged}, {"-sd", "-sd-", hsDeleted},
                        {"-sp", "-sp-", hsCopied},  {"-sr", "-sr-", hsRenamed}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.show);
    EXPECT_EQ(Parse({"l", c.hide}), 0);
    EXPECT_TRUE(engine().HideStates().Contains(c.state));
    EXPECT_EQ(Parse({"l", c.show}), 0);
    EXPECT_FALSE(engine().HideStates().Contains(c.state));
    EXPECT_EQ(Parse({"l", c.show, c.hide}), 0);
    EXPECT_TRUE(engine().HideStates().Contains(c.state));
    EXPECT_EQ(Parse({"l", c.hide, c.show}), 0);
    EXPECT_FALSE(engine().HideStates().Contains(c.state));
  }
  EXPECT_EQ(Parse({"l", "-sm", "-sa-", "-sc-", "-sd-", "-sp-", "-sr-"}), 0);
  EXPECT_EQ(engine().HideStates(), (HashStates{hsNew, hsChanged, hsDeleted, hsCopied, hsRenamed}));
  EXPECT_EQ(Parse({"l", "-sm"}), 0);
  EXPECT_TRUE(engine().HideStates().Empty());
}

// Precision.

TEST_F(CommandLineTest, PrecisionAcceptsDecimalAndHexadecimal) {
  const std::pair<const char*, int32_t> cases[] = {
      {"0", 0},           {"10", 10},       {"$10", 16},         {"0x10", 16},
      {"0X1f", 31},       {"x1F", 31},      {"X10", 16},         {"+5", 5},
      {"-0", 0},          {"   42", 42},    {"2147483647", 2147483647},
      {"$7FFFFFFF", 2147483647},            {"007", 7},          {"$0", 0},
  };
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Parse({"l", "-tp", text}), 0);
    EXPECT_EQ(engine().TimestampPrecision(), value);
  }
  EXPECT_EQ(console_.output, "");
}

TEST_F(CommandLineTest, PrecisionRejectsEverythingElse) {
  for (const char* text : {"10ms", "-1", "99999999999", "2147483648", "$80000000", "", " ",
                           "$", "0x", "x", "+", "-", "5 ", "1.5", "-$10", "+0x10", "$-1",
                           "0x-1", "$G", "1e3", "--1"}) {
    ExpectUsageError({"l", "-tp", text},
                     std::string("Precision must be an integer number, not \"") + text + "\".");
  }
  // An echoed argument shows its control characters as \xNN.
  ExpectUsageError({"l", "-tp", "\t5\x1b[2K"},
                   "Precision must be an integer number, not \"\\x095\\x1B[2K\".");
}

TEST_F(CommandLineTest, PrecisionMustBeGiven) {
  ExpectUsageError({"l", "-tp"}, "Precision must be provided with -tp argument.");
}

// Rules, directories and files.

TEST_F(CommandLineTest, RulesGoToTheEngineInOrder) {
  EXPECT_EQ(Parse({"-i", "*.txt", "l", "-x", "b*", "-ir", "^a.*$", "-xr", "-q", "-i", "-"}), 0);
  const std::vector<std::pair<std::string, IncludeExcludeMask>> expected = {
      {"*.txt", iemInclude},
      {"b*", iemExclude},
      {"^a.*$", iemIncludeRegExp},
      {"-q", iemExcludeRegExp},
      {"-", iemInclude}};
  EXPECT_EQ(engine_->masks, expected);
}

TEST_F(CommandLineTest, MissingOptionArguments) {
  ExpectUsageError({"l", "-i"}, "Mask must be provided with -i argument.");
  ExpectUsageError({"l", "-x"}, "Mask must be provided with -x argument.");
  ExpectUsageError({"l", "-ir"}, "Regular expression must be provided with -ir argument.");
  ExpectUsageError({"l", "-xr"}, "Regular expression ask must be provided with -xr argument.");
  ExpectUsageError({"l", "-d"}, "Directory name must be provided with -d argument.");
  ExpectUsageError({"l", "-rd"}, "Directory name must be provided with -rd argument.");
  ExpectUsageError({"l", "-o"}, "File name must be provided with -o argument.");
  ExpectUsageError({"l", "-e"}, "File name must be provided with -e argument.");
}

TEST_F(CommandLineTest, RootDirectoryLastOneWins) {
  EXPECT_EQ(Parse({"l", "-rd", "/a", "-rd", "/b"}), 0);
  EXPECT_EQ(engine().BaseDirectoriesRoot(), "/b");
}

TEST_F(CommandLineTest, OutputFileAndDashBackToConsole) {
  EXPECT_EQ(Parse({"l", "-o", "out.txt"}), 0);
  EXPECT_EQ(engine().OutputFileName(), "out.txt");
  EXPECT_EQ(Parse({"l", "-o", "out.txt", "-o", "-"}), 0);
  EXPECT_EQ(engine().OutputFileName(), "");
  EXPECT_EQ(Parse({"l", "-o", "-", "-o", "b.txt"}), 0);
  EXPECT_EQ(engine().OutputFileName(), "b.txt");
}

TEST_F(CommandLineTest, ErrorLogDashIsAFile) {
  EXPECT_EQ(Parse({"l", "-e", "errors.log"}), 0);
  EXPECT_EQ(app_->ErrorLogFileName(), "errors.log");
  EXPECT_EQ(Parse({"l", "-e", "a", "-e", "-"}), 0);
  EXPECT_EQ(app_->ErrorLogFileName(), "-");
}

// Usage errors.

TEST_F(CommandLineTest, UnknownArguments) {
  for (const char* arg : {"-H", "-B", "--help", "-vv", "-", "-V", "-d1", "-o-",
#if !defined(HV_VARIANT32)
                          "-wow64", "-wow64-",
#endif
                          "-WOW64-", "-Wow64", "-wow64--", "-tp5", "-s", "-sm--", "-D2", "-e-"}) {
    ExpectUsageError({"l", arg}, std::string("Unknown argument \"") + arg + "\".");
  }
}

TEST_F(CommandLineTest, HelpAfterAWrongOptionNeverTakesEffect) {
  ExpectUsageError({"-H", "-h"}, "Unknown argument \"-H\".");
}

TEST_F(CommandLineTest, UsageErrorStopsTheWalk) {
  ExpectUsageError({"l", "-r-", "-Z", "-i", "*.c", "-b", "-H"}, "Unknown argument \"-Z\".");
  EXPECT_FALSE(engine().Recursive());
  EXPECT_TRUE(engine_->masks.empty());
  EXPECT_EQ(engine().GetVerifyCommand(), vcDefault);
  EXPECT_EQ(engine_->commands_run, 0);
}

TEST_F(CommandLineTest, EmptyPlainArgumentIsAUsageError) {
  ExpectUsageError({""}, "Empty argument.");
  ExpectUsageError({"l", "", "d"}, "Empty argument.");
}

TEST_F(CommandLineTest, EmptyOptionValuesAreTakenAsTheyAre) {
  EXPECT_EQ(Parse({"l", "-o", "out.txt", "-o", "", "-e", "", "-d", "", "-rd", "", "-i", "", "-x",
                   "", "-ir", "", "-xr", ""}),
            0);
  EXPECT_EQ(console_.output, "");
  EXPECT_EQ(engine().OutputFileName(), "");
  EXPECT_EQ(app_->ErrorLogFileName(), "");
  EXPECT_EQ(engine().BaseDirectories(), std::vector<std::string>{""});
  EXPECT_EQ(engine().BaseDirectoriesRoot(), "");
  const std::vector<std::pair<std::string, IncludeExcludeMask>> expected = {
      {"", iemInclude}, {"", iemExclude}, {"", iemIncludeRegExp}, {"", iemExcludeRegExp}};
  EXPECT_EQ(engine_->masks, expected);
}

// Files that must differ.

TEST_F(CommandLineTest, OutputFileMustNotBeTheHashList) {
  const std::string message = "Output file must differ from the hash list file.";
  ExpectUsageError({"list.txt", "-o", "list.txt"}, message);
  // Order does not matter, nor the spelling of the path.
  ExpectUsageError({"-o", "./list.txt", "list.txt"}, message);
  ExpectUsageError({"-o", "/work/list.txt", "sub/../list.txt"}, message);
  // Another name of the same file.
  fs_.AddFile("a.txt", "x");
  fs_.AddFile("link.txt", "x").inode = fs_.Find("a.txt")->inode;
  ExpectUsageError({"a.txt", "-o", "link.txt"}, message);
  // Nothing was touched.
  EXPECT_TRUE(fs_.deleted().empty());
  EXPECT_EQ(fs_.open_calls(), 0);
}

TEST_F(CommandLineTest, OutputAndLogMustNotBeTheListFiles) {
  ExpectUsageError({"l", "-m", "old.txt", "-o", "/work/old.txt"},
                   "Output file must differ from the -m/-D file.");
  ExpectUsageError({"-o", "old.txt", "l", "-D", "old.txt"},
                   "Output file must differ from the -m/-D file.");
  ExpectUsageError({"l", "-e", "l"}, "Error log file must differ from the hash list file.");
  ExpectUsageError({"-e", "old.txt", "-b", "old.txt"},
                   "Error log file must differ from the hash list file.");
  ExpectUsageError({"l", "-e", "old.txt", "-m", "old.txt"},
                   "Error log file must differ from the -m/-D file.");
  ExpectUsageError({"l", "-o", "r.txt", "-e", "./r.txt"},
                   "Output file must differ from the error log file.");
  EXPECT_TRUE(fs_.deleted().empty());
  EXPECT_EQ(fs_.open_calls(), 0);
}

TEST_F(CommandLineTest, DistinctFilesAreAccepted) {
  fs_.AddFile("list.txt", "a");
  fs_.AddFile("out.txt", "b");
  EXPECT_EQ(Parse({"list.txt", "-m", "old.txt", "-o", "out.txt", "-e", "err.log"}), 0);
  // "-o -" sends results to the console, which clashes with nothing.
  EXPECT_EQ(Parse({"list.txt", "-o", "-", "-e", "-"}), 0);
  EXPECT_EQ(console_.output, "");
}

TEST_F(CommandLineTest, ParsingTwiceStartsAfresh) {
  EXPECT_EQ(Parse({"l", "-b", "-o", "o"}), 0);
  console_.is_terminal = false;
  ConsoleApp::SetArguments({"l2"});
  // DoExecute's reset, as a second run would see it.
  auto engine = std::make_unique<MaskRecordingEngine>();
  MaskRecordingEngine* raw = engine.get();
  ParserApp app(std::move(engine));
  app.Initialize();
  EXPECT_EQ(app.ParseCommandLine(), 0);
  EXPECT_EQ(raw->GetVerifyCommand(), vcDefault);
  EXPECT_EQ(raw->HashesFileName(), "l2");
  EXPECT_EQ(raw->OutputFileName(), "");
}

}  // namespace
}  // namespace hv
