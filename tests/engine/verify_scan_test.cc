#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/event_recorder.h"
#include "engine/verify.h"
#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/exceptions.h"

namespace hv {
namespace {

namespace fs = std::filesystem;
using testing::EventRecorder;
using testing::FakeFileSystem;
using testing::TempDir;
using Lines = std::vector<std::string>;

// Opens the scan to the tests; its per-file routine records each call and
// answers with what `on_file` says (0 when unset).
class ScanEngine : public Verify {
 public:
  ScanEngine() { Clear(); }
  using Verify::NormalizeBaseDirectories;
  using Verify::NormalizeDirectory;
  using Verify::ScanDirectory;
  using Verify::SplitBaseDirectory;

  int RecordFile(const BasePathPtr& base_path, const std::string& path, int param) {
    calls.push_back(path);
    bases.push_back(*base_path);
    params.push_back(param);
    return on_file ? on_file(path) : 0;
  }

  int Scan(const std::string& directory, const std::string& rel_path = "") {
    const BasePathPtr base = std::make_shared<const std::string>(NormalizeDirectory(directory));
    CommandRun run;
    return ScanDirectory(run, base, rel_path, static_cast<FileProc>(&ScanEngine::RecordFile), 42);
  }

  std::function<int(const std::string& path)> on_file;
  Lines calls;
  Lines bases;
  std::vector<int> params;
  int abort_checks = 0;
  // Requests an abort right before the check with this number (1-based).
  int abort_at_check = 0;

 protected:
  void CheckAborted() override {
    if (++abort_checks == abort_at_check) Abort();
    Verify::CheckAborted();
  }
};

// Creates a file (and the directories above it) below `dir`.
void Touch(const TempDir& dir, const std::string& rel) {
  const fs::path path = dir.path() / rel;
  fs::create_directories(path.parent_path());
  dir.Write(rel, "data");
}

// --- Normalising and splitting -------------------------------------------------

TEST(NormalizeDirectoryTest, MakesAbsoluteNormalAndEndsInSlash) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/home/user");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  EXPECT_EQ(engine.NormalizeDirectory(""), "/home/user/");
  EXPECT_EQ(engine.NormalizeDirectory("data"), "/home/user/data/");
  EXPECT_EQ(engine.NormalizeDirectory("./data/../other/"), "/home/user/other/");
  EXPECT_EQ(engine.NormalizeDirectory("/data"), "/data/");
  EXPECT_EQ(engine.NormalizeDirectory("/data/"), "/data/");
  EXPECT_EQ(engine.NormalizeDirectory("//data///sub/./x/.."), "/data/sub/");
  EXPECT_EQ(engine.NormalizeDirectory("/"), "/");
  EXPECT_EQ(engine.NormalizeDirectory("/.."), "/");
  EXPECT_EQ(engine.NormalizeDirectory("/data|photos"), "/data|photos/");
  EXPECT_EQ(engine.NormalizeDirectory("/d\xc3\xa9j\xc3\xa0"), "/d\xc3\xa9j\xc3\xa0/");
}

TEST(NormalizeDirectoryTest, KeepsSymbolicLinksAndCase) {
  TempDir dir;
  fs::create_directory(dir.path() / "real");
  fs::create_directory_symlink("real", dir.path() / "link");
  ScanEngine engine;
  EXPECT_EQ(engine.NormalizeDirectory(dir.File("link")), dir.File("link") + "/");
  EXPECT_EQ(engine.NormalizeDirectory(dir.File("link/../Real")), dir.File("Real") + "/");
}

TEST(NormalizeDirectoryTest, IsIdempotent) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/home/user");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  for (const std::string directory :
       {"", ".", "data", "../x/./y//", "/", "/data", "/data/", "/a/b/../c", "/data|photos/2020"}) {
    const std::string once = engine.NormalizeDirectory(directory);
    EXPECT_EQ(engine.NormalizeDirectory(once), once) << directory;
  }
}

TEST(NormalizeDirectoryTest, RefusesABackslash) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/home/us\\er");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  EXPECT_THROW(engine.NormalizeDirectory("/data\\photos"), EInOutError);
  // Also when the backslash comes from the current directory.
  EXPECT_THROW(engine.NormalizeDirectory("data"), EInOutError);
  try {
    engine.NormalizeDirectory("/a\\b");
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_NE(e.Message().find("\"/a\\b/\""), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("backslash"), std::string::npos) << e.Message();
  }
}

TEST(NormalizeDirectoryTest, WithoutCurrentDirectoryARelativeNameIsUnusable) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  EXPECT_EQ(engine.NormalizeDirectory(""), "");
  EXPECT_EQ(engine.NormalizeDirectory("data"), "");
  EXPECT_EQ(engine.NormalizeDirectory("/data"), "/data/");
}

TEST(NormalizeDirectoryTest, BaseDirectoriesAreNormalisedInPlaceInOrder) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/cwd");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  engine.BaseDirectories() = {"b", "/a/", "", "/x/../y|z"};
  engine.NormalizeBaseDirectories();
  EXPECT_EQ(engine.BaseDirectories(), (Lines{"/cwd/b/", "/a/", "/cwd/", "/y|z/"}));
  engine.NormalizeBaseDirectories();
  EXPECT_EQ(engine.BaseDirectories(), (Lines{"/cwd/b/", "/a/", "/cwd/", "/y|z/"}));
}

struct SplitCase {
  std::string directory;
  std::string root;
  std::string base_path;
  std::string rel_path;
};

TEST(SplitBaseDirectoryTest, Examples) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/cwd");
  platform::ScopedFileSystem scope(fake);
  const SplitCase cases[] = {
      {"/data/", "", "/data/", ""},
      {"/data/photos/", "/data", "/data/", "photos\\"},
      {"/data/photos/", "/data/", "/data/", "photos\\"},
      {"/data/photos/2020/", "/data", "/data/", "photos\\2020\\"},
      {"/data/photos/", "/other", "/data/photos/", ""},
      // Names differ by case: two directories here, no match.
      {"/DATA/photos/", "/data", "/DATA/photos/", ""},
      {"/data/photos/", "/Data", "/data/photos/", ""},
      {"/data/", "/data", "/data/", ""},
      // Whole components only.
      {"/data2/", "/data", "/data2/", ""},
      {"/data/", "/data/photos", "/data/", ""},
      {"/data/photos/", "/", "/", "data\\photos\\"},
      // The root is normalised the way base directories are.
      {"/cwd/data/x/", "data", "/cwd/data/", "x\\"},
      {"/data/x/", "/data/y/..", "/data/", "x\\"},
      // A bar splits, and the root plays no part.
      {"/data|photos/", "", "/data/", "photos\\"},
      {"/data|photos/", "/other", "/data/", "photos\\"},
      {"/data|photos/", "/data", "/data/", "photos\\"},
      {"/data|/photos/", "", "/data/", "photos\\"},
      {"/data/|photos/", "", "/data/", "photos\\"},
      {"/data|photos/2020/", "", "/data/", "photos\\2020\\"},
      {"/data|/", "", "/data/", ""},
      {"/cwd/|x/", "", "/cwd/", "x\\"},
      // Only the first bar splits.
      {"/data|a|b/", "", "/data/", "a|b\\"},
      // What lies after the bar stays within the base.
      {"/data|./x/", "", "/data/", "x\\"},
  };
  for (const SplitCase& c : cases) {
    ScanEngine engine;
    engine.SetBaseDirectoriesRoot(c.root);
    std::string base_path = "junk";
    std::string rel_path = "junk";
    engine.SplitBaseDirectory(c.directory, base_path, rel_path);
    EXPECT_EQ(base_path, c.base_path) << c.directory << " root " << c.root;
    EXPECT_EQ(rel_path, c.rel_path) << c.directory << " root " << c.root;
  }
}

TEST(SplitBaseDirectoryTest, NormalisedArgumentsSplitAsWritten) {
  FakeFileSystem fake;
  fake.SetCurrentDirectory("/cwd");
  platform::ScopedFileSystem scope(fake);
  ScanEngine engine;
  std::string base_path;
  std::string rel_path;
  for (const std::string argument : {"/data|photos", "/data|/photos", "/data/|photos/"}) {
    engine.SplitBaseDirectory(engine.NormalizeDirectory(argument), base_path, rel_path);
    EXPECT_EQ(base_path, "/data/") << argument;
    EXPECT_EQ(rel_path, "photos\\") << argument;
  }
  engine.SplitBaseDirectory(engine.NormalizeDirectory("sub|deeper/dir"), base_path, rel_path);
  EXPECT_EQ(base_path, "/cwd/sub/");
  EXPECT_EQ(rel_path, "deeper\\dir\\");
}

// --- Scanning a real tree -----------------------------------------------------------

TEST(ScanDirectoryTest, HandlesNamesInPathOrderDirectoriesAmongFiles) {
  TempDir dir;
  for (const char* rel : {"b.txt", "A.txt", "B.txt", "a/y.txt", "a/X.txt", "z.txt",
                          "\xc3\x89" "a.txt", "\xc3\xa9" "b.txt", ".hidden", "a.txt.d/q", "a0"}) {
    Touch(dir, rel);
  }
  ScanEngine engine;
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  // A name sorts before a longer one that begins with it, whatever the case.
  EXPECT_EQ(engine.calls, (Lines{".hidden", "a\\X.txt", "a\\y.txt", "A.txt", "a.txt.d\\q", "a0",
                                 "B.txt", "b.txt", "z.txt", "\xc3\x89" "a.txt",
                                 "\xc3\xa9" "b.txt"}));
  EXPECT_EQ(engine.bases, Lines(engine.calls.size(), dir.path().string() + "/"));
  EXPECT_EQ(engine.params, std::vector<int>(engine.calls.size(), 42));
}

TEST(ScanDirectoryTest, SendsProcessingAndDoneAroundEachIncludedFile) {
  TempDir dir;
  for (const char* rel : {"a.txt", "b.doc", "only_doc/c.doc", "sub/d.txt"}) Touch(dir, rel);
  ScanEngine engine;
  EventRecorder recorder(engine);
  Lines log;
  recorder.on_state = [&log](Verify&, VerifyState state, const StateChangeObject* info) {
    const auto* file = dynamic_cast<const StateChangeFilename*>(info);
    log.push_back(std::string(testing::VerifyStateName(state)) + (file ? " " + file->FileName() : ""));
  };
  engine.on_file = [&log](const std::string& path) {
    log.push_back("file " + path);
    return 0;
  };
  engine.AddIncludeExcludeMask("*.txt", iemInclude);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(log, (Lines{"vstProcessingFile a.txt", "file a.txt", "vstProgressDone",
                        "vstProcessingFile sub\\d.txt", "file sub\\d.txt", "vstProgressDone"}));
  EXPECT_EQ(recorder.ProgressCount(), 0);
}

TEST(ScanDirectoryTest, WithoutShowProgressNoEvents) {
  TempDir dir;
  for (const char* rel : {"a.txt", "sub/b.txt"}) Touch(dir, rel);
  ScanEngine engine;
  EventRecorder recorder(engine);
  engine.SetShowProgress(false);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"a.txt", "sub\\b.txt"}));
  EXPECT_TRUE(recorder.events().empty());
}

TEST(ScanDirectoryTest, RulesTestThePathRelativeToTheBase) {
  TempDir dir;
  for (const char* rel : {"photos/a.txt", "photos/b.txt", "photos/x/a.txt"}) Touch(dir, rel);
  ScanEngine engine;
  engine.AddIncludeExcludeMask("^photos\\\\a", iemExcludeRegExp);
  EXPECT_EQ(engine.Scan(dir.path().string(), "photos\\"), 0);
  EXPECT_EQ(engine.calls, (Lines{"photos\\b.txt", "photos\\x\\a.txt"}));
}

TEST(ScanDirectoryTest, WithoutRecursionOnlyTheTopFiles) {
  TempDir dir;
  for (const char* rel : {"a.txt", "sub/b.txt", "z.txt"}) Touch(dir, rel);
  fs::create_directory_symlink("sub", dir.path() / "link");
  ScanEngine engine;
  engine.SetRecursive(false);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"a.txt", "z.txt"}));
}

class ScanLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Touch(dir_, "real/f.txt");
    fs::create_symlink("real/f.txt", dir_.path() / "file.lnk");
    fs::create_directory_symlink("real", dir_.path() / "dir.lnk");
    fs::create_symlink("missing", dir_.path() / "dangling");
  }
  TempDir dir_;
};

TEST_F(ScanLinksTest, WithJunctionsOffLinksAreSkipped) {
  ScanEngine engine;
  engine.SetJunctions(false);
  EXPECT_EQ(engine.Scan(dir_.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"real\\f.txt"}));
}

TEST_F(ScanLinksTest, WithJunctionsOnLinksCountAsWhatTheyLeadTo) {
  ScanEngine engine;
  EXPECT_EQ(engine.Scan(dir_.path().string()), 0);
  // The dangling link is a file: opening it is the per-file routine's affair.
  EXPECT_EQ(engine.calls, (Lines{"dangling", "dir.lnk\\f.txt", "file.lnk", "real\\f.txt"}));
}

TEST_F(ScanLinksTest, WithJunctionsOnAndNoRecursionDirectoryLinksAreSkipped) {
  ScanEngine engine;
  engine.SetRecursive(false);
  EXPECT_EQ(engine.Scan(dir_.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"dangling", "file.lnk"}));
}

TEST(ScanDirectoryTest, LinkLoopsEnd) {
  TempDir dir;
  Touch(dir, "d/f.txt");
  fs::create_directory_symlink("..", dir.path() / "d" / "up");
  fs::create_directory_symlink(".", dir.path() / "d" / "self");
  Touch(dir, "y/g.txt");
  fs::create_directory(dir.path() / "x");
  fs::create_directory_symlink("../y", dir.path() / "x" / "to_y");
  fs::create_directory_symlink("../x", dir.path() / "y" / "to_x");
  // A link that leads to itself cannot be resolved: a file that fails to open.
  fs::create_symlink("knot", dir.path() / "knot");
  ScanEngine engine;
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"d\\f.txt", "knot", "x\\to_y\\g.txt", "y\\g.txt"}));
}

TEST(ScanDirectoryTest, FifosAndSocketsAreSkipped) {
  TempDir dir;
  Touch(dir, "f.txt");
  ASSERT_EQ(platform::CreateFifo(dir.File("pipe")), 0);
  ASSERT_EQ(platform::CreateSocketFile(dir.File("socket")), 0);
  fs::create_symlink("pipe", dir.path() / "pipe.lnk");
  fs::create_symlink("socket", dir.path() / "socket.lnk");
  ScanEngine engine;
  EventRecorder recorder(engine);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"f.txt"}));
  EXPECT_EQ(recorder.Trace(), (Lines{"vstProcessingFile f.txt", "vstProgressDone"}));
}

TEST(ScanDirectoryTest, NamesThatCannotBeStoredArePerFileErrors) {
  TempDir dir;
  for (const char* rel : {"a\\b.txt", "bad\xff.txt", "cr\r.txt", "lf\n.txt", "ok.txt",
                          "q\"uote.txt", "sub\"dir/inner.txt", "zz.txt"}) {
    Touch(dir, rel);
  }
  ScanEngine engine;
  EventRecorder recorder(engine);
  const std::string base = dir.path().string() + "/";
  const std::string prefix = "File name cannot be stored in a hash list: ";
  // A later good file does not undo an error.
  EXPECT_EQ(engine.Scan(dir.path().string()), 103);
  EXPECT_EQ(engine.calls, (Lines{"ok.txt", "zz.txt"}));
  // Each file named as the system has it; a directory is entered, and the
  // files below it fail for its name.
  EXPECT_EQ(recorder.Summaries(vstFileError),
            (Lines{base + "a\\b.txt: EInOutError: " + prefix + "it contains a backslash.",
                   base + "bad\xff.txt: EInOutError: " + prefix + "it is not valid UTF-8.",
                   base + "cr\r.txt: EInOutError: " + prefix + "it contains a line break.",
                   base + "lf\n.txt: EInOutError: " + prefix + "it contains a line break.",
                   base + "q\"uote.txt: EInOutError: " + prefix + "it contains a double quote.",
                   base + "sub\"dir/inner.txt: EInOutError: " + prefix + "it contains a double quote."}));
  // A file is announced like any other.
  const Lines trace = recorder.Trace();
  ASSERT_GE(trace.size(), 3u);
  EXPECT_EQ(trace[0], "vstProcessingFile a\\b.txt");
  EXPECT_EQ(trace[1].rfind("vstFileError ", 0), 0u);
  EXPECT_EQ(trace[2], "vstProgressDone");
  EXPECT_EQ(recorder.Count(vstProcessingFile), 8);
  EXPECT_EQ(recorder.Count(vstProgressDone), 8);
}

TEST(ScanDirectoryTest, ANameErrorIsResult103AndTheRunGoesOn) {
  TempDir dir;
  Touch(dir, "a.txt");
  Touch(dir, "b\"c.txt");
  ScanEngine engine;
  engine.SetShowProgress(false);
  EventRecorder recorder(engine);
  EXPECT_EQ(engine.Scan(dir.path().string()), 103);
  EXPECT_EQ(engine.calls, (Lines{"a.txt"}));
  // Sent whatever ShowProgress says.
  EXPECT_EQ(recorder.Count(vstFileError), 1);
  EXPECT_EQ(recorder.events().size(), 1u);
}

// Rules decide before names do: what they exclude is never looked at, a
// name that is not UTF-8 is tested as it is shown, and a directory of any
// name is entered.
TEST(ScanDirectoryTest, ExcludedOddNamesAreSilent) {
  TempDir dir;
  for (const char* rel : {"odd\"1.txt", "odd\xfe.txt", "ok.txt", "z\"d/a.tmp", "x\xfey/c.tmp", "w\xfe.tmp"}) {
    Touch(dir, rel);
  }
  ScanEngine engine;
  EventRecorder recorder(engine);
  engine.AddIncludeExcludeMask("odd*", iemExclude);
  engine.AddIncludeExcludeMask("*a.tmp", iemExclude);
  engine.AddIncludeExcludeMask("w?xFE.tmp", iemExclude);
  engine.AddIncludeExcludeMask("^x\\\\xFEy\\\\c", iemExcludeRegExp);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"ok.txt"}));
  EXPECT_EQ(recorder.Count(vstFileError), 0);
}

TEST(ScanDirectoryTest, AStartPathThatCannotBeStoredFailsEachFileBelow) {
  TempDir dir;
  Touch(dir, "a\"b/f.txt");
  Touch(dir, "a\"b/g.tmp");
  ScanEngine engine;
  EventRecorder recorder(engine);
  engine.AddIncludeExcludeMask("*.tmp", iemExclude);
  EXPECT_EQ(engine.Scan(dir.path().string(), "a\"b\\"), 103);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_EQ(recorder.Summaries(vstFileError),
            (Lines{dir.path().string() + "/a\"b/f.txt: EInOutError: File name cannot be stored in a "
                                         "hash list: it contains a double quote."}));
}

TEST(ScanDirectoryTest, ResultIsTheLastNonZeroInHandlingOrder) {
  TempDir dir;
  for (const char* rel : {"1", "2", "3", "4", "5"}) Touch(dir, rel);
  ScanEngine engine;
  const std::vector<int> answers = {0, 103, 0, 1, 0};
  engine.on_file = [&](const std::string& path) { return answers[std::stoul(path) - 1]; };
  EXPECT_EQ(engine.Scan(dir.path().string()), 1);

  TempDir two;
  Touch(two, "a");
  Touch(two, "sub/b");
  ScanEngine other;
  other.on_file = [](const std::string& path) { return path == "a" ? 1 : 103; };
  EXPECT_EQ(other.Scan(two.path().string()), 103);
}

TEST(ScanDirectoryTest, AbortCheckedPerEntryFoundAndPerEntryHandled) {
  TempDir dir;
  for (const char* rel : {"a.txt", "b.txt", "skip.doc", "sub/c.txt", "sub/d.txt"}) Touch(dir, rel);
  ASSERT_EQ(platform::CreateFifo(dir.File("pipe")), 0);
  fs::create_symlink("a.txt", dir.path() / "link");
  ScanEngine engine;
  engine.SetJunctions(false);
  engine.AddIncludeExcludeMask("*.txt", iemInclude);
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  // Top: 6 found, 4 handled (the FIFO and the link are passed over while
  // listing); below: 2 found, 2 handled.
  EXPECT_EQ(engine.abort_checks, 14);
  EXPECT_EQ(engine.calls, (Lines{"a.txt", "b.txt", "sub\\c.txt", "sub\\d.txt"}));
}

TEST(ScanDirectoryTest, AbortFromTheFileRoutineStopsAtTheNextEntry) {
  TempDir dir;
  for (const char* rel : {"a", "b", "c"}) Touch(dir, rel);
  ScanEngine engine;
  EventRecorder recorder(engine);
  engine.on_file = [&engine](const std::string& path) {
    if (path == "a") engine.Abort();
    return 0;
  };
  EXPECT_THROW(engine.Scan(dir.path().string()), EDelayedAbort);
  EXPECT_EQ(engine.calls, (Lines{"a"}));
  EXPECT_EQ(recorder.Trace(), (Lines{"vstProcessingFile a", "vstProgressDone"}));
  // The check that raised cleared the request.
  engine.on_file = nullptr;
  engine.calls.clear();
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"a", "b", "c"}));
}

TEST(ScanDirectoryTest, AbortFromAHandlerTakesEffectAtTheNextEntry) {
  TempDir dir;
  for (const char* rel : {"a", "b/x", "c"}) Touch(dir, rel);
  ScanEngine engine;
  EventRecorder recorder(engine);
  recorder.on_state = [](Verify& sender, VerifyState state, const StateChangeObject* info) {
    const auto* file = dynamic_cast<const StateChangeFilename*>(info);
    if (state == vstProcessingFile && file != nullptr && file->FileName() == "b\\x") sender.Abort();
  };
  EXPECT_THROW(engine.Scan(dir.path().string()), EDelayedAbort);
  EXPECT_EQ(engine.calls, (Lines{"a", "b\\x"}));
  EXPECT_EQ(recorder.Trace(), (Lines{"vstProcessingFile a", "vstProgressDone",
                                     "vstProcessingFile b\\x", "vstProgressDone"}));
}

TEST(ScanDirectoryTest, AbortBeforeTheScanStopsAtTheFirstEntryFound) {
  TempDir dir;
  Touch(dir, "a");
  ScanEngine engine;
  engine.Abort();
  EXPECT_THROW(engine.Scan(dir.path().string()), EDelayedAbort);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_EQ(engine.abort_checks, 1);
}

TEST(ScanDirectoryTest, AnExceptionOfTheFileRoutineLeavesTheScan) {
  TempDir dir;
  for (const char* rel : {"a", "b", "c"}) Touch(dir, rel);
  ScanEngine engine;
  EventRecorder recorder(engine);
  engine.on_file = [](const std::string& path) -> int {
    if (path == "b") throw std::runtime_error("boom");
    return 0;
  };
  EXPECT_THROW(engine.Scan(dir.path().string()), std::runtime_error);
  EXPECT_EQ(engine.calls, (Lines{"a", "b"}));
  EXPECT_EQ(recorder.Trace(),
            (Lines{"vstProcessingFile a", "vstProgressDone", "vstProcessingFile b"}));
  // Nothing of the failed scan stays behind: a new scan walks the whole tree.
  engine.on_file = nullptr;
  engine.calls.clear();
  EXPECT_EQ(engine.Scan(dir.path().string()), 0);
  EXPECT_EQ(engine.calls, (Lines{"a", "b", "c"}));
}

TEST(ScanDirectoryTest, ABadExpressionLeavesTheScanAtTheFirstFile) {
  TempDir dir;
  Touch(dir, "a");
  ScanEngine engine;
  engine.AddIncludeExcludeMask("(", iemIncludeRegExp);
  EXPECT_THROW(engine.Scan(dir.path().string()), Exception);
  EXPECT_TRUE(engine.calls.empty());
}

TEST(ScanDirectoryTest, AMissingDirectoryContributesNothing) {
  TempDir dir;
  Touch(dir, "file");
  ScanEngine engine;
  EventRecorder recorder(engine);
  EXPECT_EQ(engine.Scan(dir.File("missing")), 0);
  EXPECT_EQ(engine.Scan(dir.File("file")), 0);
  EXPECT_EQ(engine.Scan(dir.path().string(), "missing\\"), 0);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_TRUE(recorder.events().empty());
  EXPECT_EQ(engine.abort_checks, 0);
}

TEST(ScanDirectoryTest, TheStartPathIsPartOfEveryPath) {
  TempDir dir;
  for (const char* rel : {"top.txt", "photos/2020/a.jpg", "photos/b.jpg"}) Touch(dir, rel);
  ScanEngine engine;
  EXPECT_EQ(engine.Scan(dir.path().string(), "photos\\"), 0);
  EXPECT_EQ(engine.calls, (Lines{"photos\\2020\\a.jpg", "photos\\b.jpg"}));
}

// --- Scanning the fake file system ---------------------------------------------

class FakeScanTest : public ::testing::Test {
 protected:
  FakeScanTest() : scope_(fake_) {
    fake_.AddDirectory("/data");
    for (const char* name : {"/data/b", "/data/a", "/data/c"}) fake_.AddFile(name, "x");
    fake_.AddDirectory("/data/sub");
    fake_.AddFile("/data/sub/x", "x");
    fake_.AddOther("/data/device");
  }
  FakeFileSystem fake_;
  platform::ScopedFileSystem scope_;
};

TEST_F(FakeScanTest, TheScanSortsWhatTheListingGives) {
  ScanEngine engine;
  EXPECT_EQ(engine.Scan("/data"), 0);
  EXPECT_EQ(engine.calls, (Lines{"a", "b", "c", "sub\\x"}));
  EXPECT_EQ(engine.bases, Lines(4, "/data/"));
}

// A directory that cannot be listed is a failure of its own; one that has
// gone since its parent was listed holds nothing any more.
TEST_F(FakeScanTest, AnUnreadableDirectoryIsAFileError) {
  fake_.Find("/data")->list_error = EACCES;
  ScanEngine engine;
  EventRecorder recorder(engine);
  EXPECT_EQ(engine.Scan("/data"), 103);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_EQ(recorder.Trace(), (Lines{"vstFileError /data: EInOutError: Permission denied"}));
}

TEST_F(FakeScanTest, AnUnreadableSubdirectoryIsAFileErrorAndTheRunGoesOn) {
  for (const int error : {EACCES, EIO, ENAMETOOLONG, ENOENT, ENOTDIR}) {
    fake_.Find("/data/sub")->list_error = error;
    ScanEngine engine;
    EventRecorder recorder(engine);
    const bool vanished = error == ENOENT || error == ENOTDIR;
    EXPECT_EQ(engine.Scan("/data"), vanished ? 0 : 103) << error;
    EXPECT_EQ(engine.calls, (Lines{"a", "b", "c"}));
    EXPECT_EQ(recorder.Summaries(vstFileError),
              vanished ? Lines{} : Lines{"/data/sub: EInOutError: " + fake_.ErrorText(error)});
  }
}

TEST_F(FakeScanTest, AListingThatBreaksOffIsAFileError) {
  // The fake lists in reverse name order: sub, device, c, b, a.
  fake_.Find("/data")->fail_listing_after = 3;
  ScanEngine engine;
  EventRecorder recorder(engine);
  EXPECT_EQ(engine.Scan("/data"), 103);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_EQ(engine.abort_checks, 3);
  EXPECT_EQ(recorder.Summaries(vstFileError), (Lines{"/data: EInOutError: Input/output error"}));
}

TEST_F(FakeScanTest, ADirectoryIsListedOnce) {
  ScanEngine engine;
  EXPECT_EQ(engine.Scan("/data"), 0);
  EXPECT_EQ(fake_.Find("/data")->list_calls, 1);
  EXPECT_EQ(fake_.Find("/data/sub")->list_calls, 1);
  // Files are handed on as the listing named them: nothing opens them.
  EXPECT_EQ(fake_.open_calls(), 0);
}

TEST_F(FakeScanTest, AnAbortWhileListingStopsBeforeAnythingIsHandled) {
  for (int i = 0; i < 100; ++i) fake_.AddFile("/data/many" + std::to_string(1000 + i), "");
  ScanEngine engine;
  engine.abort_at_check = 50;
  EXPECT_THROW(engine.Scan("/data"), EDelayedAbort);
  EXPECT_EQ(engine.abort_checks, 50);
  EXPECT_TRUE(engine.calls.empty());
}

}  // namespace
}  // namespace hv
