// Every open, read, write, sync, rename and close of a command is made to
// fail in turn, until the command gets through undisturbed. Whatever fails,
// the run must end with a known error or result, leave no temporary file and
// no open handle, and leave the hash list whole: old or new, never a mix.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/command_fixtures.h"
#include "engine/event_recorder.h"
#include "engine/verify.h"
#include "helpers/fake_file_system.h"
#include "platform/file_system.h"
#include "support/console_app.h"
#include "support/exceptions.h"

namespace hv {
namespace {

using testing::EventRecorder;
using testing::FakeFileSystem;
using testing::Lines;
using CallKind = FakeFileSystem::CallKind;

using testing::kBom;
using testing::LineOf;
using testing::ListText;
constexpr int64_t kTime = testing::kTime1;
constexpr int64_t kOldTime = testing::kTime2;
const std::string kList = "/l/list.txt";
const std::string kOutput = "/l/out.txt";
const std::string kEio = "Input/output error";

std::string Contents(FakeFileSystem& fs, const std::string& name) {
  const FakeFileSystem::Entry* entry = fs.Find(name);
  return entry == nullptr ? "<missing>" : FakeFileSystem::ContentsOf(*entry, 0, 1 << 20);
}

// The tree: a.txt changed since the old list, b.txt unchanged, sub/c.txt
// new, gone.txt only in the old list.
struct TreeFile {
  std::string path;  // as the list stores it
  std::string name;  // on the disk
  std::string contents;
  std::string old_line;  // empty: not in the old list
};
const std::vector<TreeFile> kTree = {
    {"a.txt", "/t/a.txt", "alpha", LineOf("a.txt", "ALPHA", kOldTime)},
    {"b.txt", "/t/b.txt", "bravo", LineOf("b.txt", "bravo", kTime)},
    {"sub\\c.txt", "/t/sub/c.txt", "charlie", ""},
};
const std::string kOldList =
    ListText({kTree[0].old_line, kTree[1].old_line, LineOf("gone.txt", "gone", kTime)});

struct Outcome {
  bool threw = false;
  int result = 0;
  std::string error;  // "<class>: <message>"
  std::set<std::string> failed_files;
};

class FaultInjectionTest : public ::testing::Test {
 protected:
  // One attempt on a fresh disk, with call `n` of `kind` failing; false when
  // the run never got that far, so that every later `n` would be the same.
  using Attempt = std::function<bool(CallKind kind, int n)>;

  static void ForEachFault(const Attempt& attempt) {
    int faults = 0;
    for (const CallKind kind : {CallKind::kOpen, CallKind::kRead, CallKind::kWrite, CallKind::kSync,
                                CallKind::kRename, CallKind::kClose}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind)) + ", call " + std::to_string(n));
        if (!attempt(kind, n)) break;
        ++faults;
        ASSERT_LT(n, 1000);
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_GT(faults, 0);
  }

  static void MakeDisk(FakeFileSystem& fs) {
    fs.AddDirectory("/l");
    fs.AddDirectory("/t");
    fs.AddDirectory("/t/sub");
    for (const TreeFile& file : kTree) fs.AddFile(file.name, file.contents, kTime);
  }

  static Outcome Run(const EventRecorder& recorder, const std::function<int()>& command) {
    Outcome outcome;
    try {
      outcome.result = command();
    } catch (const std::exception& e) {
      outcome.threw = true;
      outcome.error = std::string(ExceptionClassName(e)) + ": " + e.what();
    }
    for (const std::string& summary : recorder.Summaries(vstFileError)) {
      const size_t colon = summary.find(": ");
      const std::string file = summary.substr(0, colon);
      const std::string error = summary.substr(colon + 2);
      EXPECT_TRUE(error == "EFOpenError: Cannot open file \"" + file + "\". " + kEio ||
                  error == "EReadError: Stream read error" || error == "EWriteError: Stream write error")
          << summary;
      outcome.failed_files.insert(file);
    }
    return outcome;
  }

  // What every run leaves, however it ended.
  static void ExpectClean(FakeFileSystem& fs) {
    EXPECT_EQ(fs.open_handles(), 0);
    for (const std::string& name : fs.Names()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }

  static void ExpectKnownError(const Outcome& outcome, const std::set<std::string>& allowed) {
    EXPECT_TRUE(allowed.count(outcome.error) != 0) << outcome.error;
  }

  // True when `text` is empty or the byte-order mark and whole lines from `lines`.
  static bool WholeLinesOf(const std::string& text, const Lines& lines) {
    if (text.empty()) return true;
    if (text.rfind(kBom, 0) != 0) return false;
    std::string rest = text.substr(3);
    while (!rest.empty()) {
      const size_t end = rest.find("\r\n");
      if (end == std::string::npos) return false;
      bool known = false;
      for (const std::string& line : lines) {
        known = known || (line.size() == end && rest.compare(0, end, line) == 0);
      }
      if (!known) return false;
      rest.erase(0, end + 2);
    }
    return true;
  }
};

TEST_F(FaultInjectionTest, Build) {
  ForEachFault([](CallKind kind, int n) {
    FakeFileSystem fs;
    platform::ScopedFileSystem scope(fs);
    MakeDisk(fs);
    fs.AddFile(kList, "old\r\n");
    Verify engine;
    engine.Clear();
    engine.SetHashesFileName(kList);
    engine.BaseDirectories().push_back("/t");
    EventRecorder recorder(engine);
    fs.FailCall(kind, n);
    const Outcome outcome = Run(recorder, [&engine] { return engine.Build(); });
    const bool hit = fs.Calls(kind) >= n;

    Lines all;
    Lines complete;
    for (const TreeFile& file : kTree) {
      all.push_back(LineOf(file.path, file.contents, kTime));
      if (outcome.failed_files.count(file.name) == 0) complete.push_back(all.back());
    }
    const std::string list = Contents(fs, kList);
    if (outcome.threw) {
      ExpectKnownError(outcome, {"EFCreateError: Cannot create file \"" + kList + "\". " + kEio,
                                 "EWriteError: Cannot write file \"" + kList + "\". " + kEio});
      EXPECT_EQ(list, "old\r\n");
    } else {
      EXPECT_EQ(outcome.result, outcome.failed_files.empty() ? 0 : 103);
      EXPECT_EQ(list, ListText(complete));
    }
    EXPECT_TRUE(hit || (!outcome.threw && outcome.result == 0));
    ExpectClean(fs);
    return hit;
  });
}

TEST_F(FaultInjectionTest, UpdateRewritesTheListWholeOrNotAtAll) {
  ForEachFault([](CallKind kind, int n) {
    FakeFileSystem fs;
    platform::ScopedFileSystem scope(fs);
    MakeDisk(fs);
    fs.AddFile(kList, kOldList);
    Verify engine;
    engine.Clear();
    engine.SetHashesFileName(kList);
    engine.BaseDirectories().push_back("/t");
    EventRecorder recorder(engine);
    fs.FailCall(kind, n);
    const Outcome outcome = Run(recorder, [&engine] { return engine.Update(); });
    const bool hit = fs.Calls(kind) >= n;

    // A file that could not be read keeps its old entry.
    Lines complete;
    for (const TreeFile& file : kTree) {
      if (outcome.failed_files.count(file.name) == 0) {
        complete.push_back(LineOf(file.path, file.contents, kTime));
      } else if (!file.old_line.empty()) {
        complete.push_back(file.old_line);
      }
    }
    const std::string list = Contents(fs, kList);
    if (outcome.threw) {
      ExpectKnownError(outcome, {"EFCreateError: Cannot create file \"" + kList + "\". " + kEio,
                                 "EFOpenError: Cannot open file \"" + kList + "\". " + kEio,
                                 "EReadError: Stream read error", "EWriteError: Stream write error",
                                 "EWriteError: Cannot write file \"" + kList + "\". " + kEio});
      EXPECT_EQ(list, kOldList);
    } else {
      // 103 only when no changed or new file came after the failure.
      EXPECT_EQ(outcome.result, outcome.failed_files.count("/t/sub/c.txt") != 0 ? 103 : 1);
      EXPECT_EQ(list, ListText(complete));
    }
    ExpectClean(fs);
    return hit;
  });
}

// -o through the verify and the match commands: the list is never touched,
// and the results file holds whole lines.
TEST_F(FaultInjectionTest, OutputFile) {
  for (const bool match : {false, true}) {
    ForEachFault([match](CallKind kind, int n) {
      FakeFileSystem fs;
      platform::ScopedFileSystem scope(fs);
      MakeDisk(fs);
      fs.AddFile(kList, kOldList);
      const std::string new_list = ListText({LineOf("a.txt", "alpha", kTime), kTree[1].old_line});
      fs.AddFile("/l/new.txt", new_list);
      fs.AddFile(kOutput, "stale\r\n");
      Verify engine;
      engine.Clear();
      engine.SetHashesFileName(kList);
      engine.SetOutputFileName(kOutput);
      engine.SetMatchListFileName("/l/new.txt");
      engine.BaseDirectories().push_back("/t");
      EventRecorder recorder(engine);
      fs.FailCall(kind, n);
      const Outcome outcome =
          Run(recorder, [&engine, match] { return match ? engine.Match() : engine.Redure(); });
      const bool hit = fs.Calls(kind) >= n;

      if (outcome.threw) {
        ExpectKnownError(outcome, {"EFCreateError: Cannot create file \"" + kOutput + "\". " + kEio,
                                   "EFOpenError: Cannot open file \"" + kList + "\". " + kEio,
                                   "EFOpenError: Cannot open file \"/l/new.txt\". " + kEio,
                                   "EReadError: Stream read error", "EWriteError: Stream write error"});
      } else {
        EXPECT_TRUE(outcome.result == 1 || outcome.result == 103) << outcome.result;
      }
      // Written only after the comparison; a run that fails before leaves no file.
      const std::string output = Contents(fs, kOutput);
      if (output != "<missing>") {
        Lines results;
        for (int i = 0; i < engine.GetHashList().Count(); ++i) {
          results.push_back(engine.GetHashList().Items(i).MatchOutput(true));
        }
        EXPECT_TRUE(WholeLinesOf(output, results)) << output;
      }
      EXPECT_EQ(Contents(fs, kList), kOldList);
      EXPECT_EQ(Contents(fs, "/l/new.txt"), new_list);
      ExpectClean(fs);
      return hit;
    });
  }
}

// A file that goes between the listing and the hash is a file error, and
// Update keeps its old entry; one that grows is hashed as it is read.
TEST_F(FaultInjectionTest, FilesThatVanishOrChangeAfterTheListing) {
  FakeFileSystem fs;
  platform::ScopedFileSystem scope(fs);
  MakeDisk(fs);
  fs.AddFile(kList, kOldList);
  Verify engine;
  engine.Clear();
  engine.SetHashesFileName(kList);
  engine.SetShowProgress(true);
  engine.BaseDirectories().push_back("/t");
  EventRecorder recorder(engine);
  recorder.on_state = [&fs](Verify&, VerifyState state, const StateChangeObject*) {
    if (state != vstProcessingFile || fs.Find("/t/b.txt") == nullptr) return;
    fs.Remove("/t/b.txt");
    fs.Find("/t/sub/c.txt")->contents = "charlie grew";
  };
  EXPECT_EQ(engine.Update(), 1);
  EXPECT_EQ(recorder.Summaries(vstFileError),
            (Lines{"/t/b.txt: EFOpenError: Cannot open file \"/t/b.txt\". No such file or directory"}));
  EXPECT_EQ(Contents(fs, kList), ListText({LineOf("a.txt", "alpha", kTime), kTree[1].old_line,
                                           LineOf("sub\\c.txt", "charlie grew", kTime)}));
  ExpectClean(fs);
}

// A list that is a device or a pipe cannot be replaced by a rename (which
// would put a regular file in its place): it is written where it is.
TEST_F(FaultInjectionTest, ListThatIsNoRegularFileIsWrittenInPlace) {
  FakeFileSystem fs;
  platform::ScopedFileSystem scope(fs);
  MakeDisk(fs);
  fs.AddOther(kList).contents = kOldList;
  Verify engine;
  engine.Clear();
  engine.SetHashesFileName(kList);
  engine.BaseDirectories().push_back("/t");
  EXPECT_EQ(engine.Update(), 1);
  EXPECT_EQ(fs.Find(kList)->kind, platform::FileKind::kFifo);
  EXPECT_EQ(fs.rename_calls, 0);
  Lines lines;
  for (const TreeFile& file : kTree) lines.push_back(LineOf(file.path, file.contents, kTime));
  EXPECT_EQ(Contents(fs, kList), ListText(lines));
  ExpectClean(fs);
}

class LogApp : public ConsoleApp {
 public:
  using ConsoleApp::WriteLog;

 protected:
  std::string GetName() override { return "Log"; }
  std::string GetVersion() override { return "1"; }
  int DoExecute() override { return 0; }
};

// The error log: a failure never stops the run, and the log keeps whole lines.
TEST_F(FaultInjectionTest, ErrorLog) {
  for (const bool exists : {false, true}) {
    ForEachFault([exists](CallKind kind, int n) {
      FakeFileSystem fs;
      platform::ScopedFileSystem scope(fs);
      fs.AddDirectory("/l");
      const std::string old_log = std::string(kBom) + "first\r\n";
      if (exists) fs.AddFile("/l/errors.log", old_log);
      LogApp app;
      fs.FailCall(kind, n);
      EXPECT_NO_THROW(app.WriteLog("/l/errors.log", "ERROR x"));
      const bool hit = fs.Calls(kind) >= n;
      const std::string log = Contents(fs, "/l/errors.log");
      const std::string before = exists ? old_log : "<missing>";
      const std::string after = (exists ? old_log : std::string(kBom)) + "ERROR x\r\n";
      if (hit) {
        EXPECT_TRUE(log == before || log == after || (!exists && log.empty())) << log;
      } else {
        EXPECT_EQ(log, after);
      }
      ExpectClean(fs);
      return hit;
    });
  }
}

}  // namespace
}  // namespace hv
