#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/command_fixtures.h"
#include "engine/event_recorder.h"
#include "engine/hash_item.h"
#include "engine/hash_list.h"
#include "engine/verify.h"
#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/base64.h"
#include "support/date_time.h"
#include "support/md4.h"

namespace hv {
namespace {

using testing::EventRecorder;
using testing::FakeFileSystem;
using testing::TempDir;
using testing::FakeTree;
using testing::kBom;
using testing::kTime1;
using testing::kTime2;
using testing::LineOf;
using testing::Lines;
using testing::ListText;
using testing::Md4Base64;
using testing::ReadFile;
using testing::SetModified;
using testing::Tree;

HV_DECLARE_EXCEPTION(ETestAbort, EAbort);

class BuildTest : public ::testing::Test {
 protected:
  BuildTest() {
    engine_.Clear();
    engine_.SetHashesFileName(list_dir_.File("list.txt"));
  }

  std::string ListName() const { return engine_.HashesFileName(); }

  // The summaries of the file errors: "<file>: <class>: <message>".
  Lines FileErrors() const { return recorder_.Summaries(vstFileError); }

  Lines Paths() {
    Lines paths;
    HashList& list = engine_.GetHashList();
    for (int i = 0; i < list.Count(); ++i) paths.emplace_back(list.Items(i).Path());
    return paths;
  }

  TempDir list_dir_;
  Verify engine_;
  EventRecorder recorder_{engine_};
};

// Scan order and path order differ here: the directory "a" is handled at the
// place of its name, before "a-b.txt", but "a-b.txt" sorts before "a\z.txt".
void WriteOrderTree(Tree& tree) {
  tree.Write("a/z.txt", "zzz");
  tree.Write("a-b.txt", "ab", kTime2);
  tree.Write("c.txt", "c");
}

TEST_F(BuildTest, WritesTheListSortedByPath) {
  Tree tree;
  WriteOrderTree(tree);
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Build(), 0);

  const Lines sorted = {LineOf("a-b.txt", "ab", kTime2), LineOf("a\\z.txt", "zzz", kTime1),
                        LineOf("c.txt", "c", kTime1)};
  EXPECT_EQ(ReadFile(ListName()), ListText(sorted));
  EXPECT_EQ(Paths(), (Lines{"a-b.txt", "a\\z.txt", "c.txt"}));
  HashList& list = engine_.GetHashList();
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_EQ(list.Items(i).State(), hsNew);
    EXPECT_EQ(list.Items(i).BasePath(), tree.root() + "/");
  }
  EXPECT_TRUE(FileErrors().empty());
}

TEST_F(BuildTest, SendsTheEventsOfEachFileAndSortsAtTheEnd) {
  Tree tree;
  WriteOrderTree(tree);
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Build(), 0);

  EXPECT_EQ(recorder_.Trace(false),
            (Lines{"vstProcessingFile a\\z.txt", "vstBuildOutput ADDED\t\"a\\z.txt\"", "vstProgressDone",
                   "vstProcessingFile a-b.txt", "vstBuildOutput ADDED\t\"a-b.txt\"", "vstProgressDone",
                   "vstProcessingFile c.txt", "vstBuildOutput ADDED\t\"c.txt\"", "vstProgressDone",
                   "vstSortingResults"}));
  // One read of each (small) file, reported as bytes done of the size.
  EXPECT_EQ(recorder_.ProgressCount(), 3);
}

TEST_F(BuildTest, TheOldListStaysUntilTheNewOneIsWhole) {
  Tree tree;
  WriteOrderTree(tree);
  list_dir_.Write("list.txt", "old");
  engine_.BaseDirectories().push_back(tree.root());
  Lines seen;
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject*) {
    if (state == vstProcessingFile || state == vstSortingResults) seen.push_back(ReadFile(ListName()));
  };

  EXPECT_EQ(engine_.Build(), 0);

  EXPECT_EQ(seen, Lines(4, "old"));
  EXPECT_EQ(ReadFile(ListName()), ListText({LineOf("a-b.txt", "ab", kTime2), LineOf("a\\z.txt", "zzz", kTime1),
                                            LineOf("c.txt", "c", kTime1)}));
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(list_dir_.path()), {}), 1);
}

TEST_F(BuildTest, DelayedAbortKeepsTheLinesWrittenUnsorted) {
  Tree tree;
  WriteOrderTree(tree);
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_state = [&](Verify& sender, VerifyState state, const StateChangeObject* info) {
    if (state == vstProcessingFile && static_cast<const StateChangeFilename*>(info)->FileName() == "c.txt") {
      sender.Abort();
    }
  };

  EXPECT_EQ(engine_.Build(), 253);

  EXPECT_EQ(ReadFile(ListName()),
            ListText({LineOf("a\\z.txt", "zzz", kTime1), LineOf("a-b.txt", "ab", kTime2)}));
  EXPECT_EQ(recorder_.Count(vstSortingResults), 0);
  EXPECT_EQ(recorder_.Count(vstBuildOutput), 2);
  // The list is left in hashing order.
  EXPECT_EQ(Paths(), (Lines{"a\\z.txt", "a-b.txt"}));
}

TEST_F(BuildTest, DelayedAbortBeforeAnyLineLeavesAnEmptyList) {
  Tree tree;
  WriteOrderTree(tree);
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_state = [&](Verify& sender, VerifyState state, const StateChangeObject*) {
    if (state == vstProcessingFile) sender.Abort();
  };

  EXPECT_EQ(engine_.Build(), 253);
  EXPECT_EQ(ReadFile(ListName()), kBom);
  EXPECT_EQ(engine_.GetHashList().Count(), 0);
}

TEST_F(BuildTest, ImmediateAbortLeavesTheOldList) {
  Tree tree;
  WriteOrderTree(tree);
  list_dir_.Write("list.txt", "old");
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject*) {
    if (state == vstBuildOutput && recorder_.Count(vstBuildOutput) == 2) throw ETestAbort("stop");
  };

  EXPECT_THROW(engine_.Build(), ETestAbort);
  EXPECT_EQ(ReadFile(ListName()), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(list_dir_.path()), {}), 1);

  // The engine holds nothing of the failed run: a new build works.
  recorder_.on_state = nullptr;
  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(engine_.GetHashList().Count(), 3);
}

TEST_F(BuildTest, EmptyListOfBaseDirectoriesGives102AndAnEmptyList) {
  list_dir_.Write("list.txt", "old contents");
  EXPECT_EQ(engine_.Build(), 102);
  EXPECT_EQ(ReadFile(ListName()), kBom);
  EXPECT_EQ(recorder_.Trace(false), (Lines{"vstSortingResults"}));
}

// A base directory that cannot be listed, or is not there, or cannot be used
// at all, is refused before anything is written.
TEST_F(BuildTest, EmptyBaseDirectoryGives0AndOneThatCannotBeUsedIsRefused) {
  TempDir empty;
  engine_.BaseDirectories().push_back(empty.path().string());
  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(ReadFile(ListName()), kBom);

  list_dir_.Write("list.txt", "old");
  engine_.Clear();
  engine_.SetHashesFileName(list_dir_.File("list.txt"));
  engine_.BaseDirectories() = {empty.path().string(), empty.File("missing")};
  EXPECT_THROW(engine_.Build(), EFOpenError);
  engine_.BaseDirectories() = {empty.path().string()};
  engine_.SetBaseDirectoriesRoot("/with\\backslash");
  EXPECT_THROW(engine_.Build(), EInOutError);
  engine_.SetBaseDirectoriesRoot("");
  engine_.AddIncludeExcludeMask("(", iemExcludeRegExp);
  empty.Write("a.txt", "a");
  // Each program raises its own class for a bad expression (reg_exp_test).
  EXPECT_THROW(engine_.Build(), Exception);
  EXPECT_EQ(ReadFile(ListName()), "old");
  EXPECT_TRUE(recorder_.Summaries(vstFileError).empty());
}

// The old list is on its way out; met by the scan it is busy, not hashed.
// A new list has no old one to meet.
TEST_F(BuildTest, HashListFileInsideTheTreeIsBusyWhenItIsThere) {
  Tree tree;
  tree.Write("a.txt", "a");
  tree.Write("z.txt", "z");
  engine_.SetHashesFileName(tree.Path("m.txt"));
  engine_.BaseDirectories().push_back(tree.root());
  const std::string list = ListText({LineOf("a.txt", "a", kTime1), LineOf("z.txt", "z", kTime1)});

  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_TRUE(FileErrors().empty());
  EXPECT_EQ(ReadFile(tree.Path("m.txt")), list);

  EXPECT_EQ(engine_.Build(), 103);
  EXPECT_EQ(FileErrors(), (Lines{tree.Path("m.txt") + ": EFOpenError: Cannot open file \"" +
                                 tree.Path("m.txt") + "\". Device or resource busy"}));
  EXPECT_EQ(Paths(), (Lines{"a.txt", "z.txt"}));
  EXPECT_EQ(ReadFile(tree.Path("m.txt")), list);
}

TEST_F(BuildTest, HashListFileReachedThroughAnotherNameIsBusy) {
  Tree tree;
  tree.Write("a.txt", "a");
  TempDir other;
  engine_.SetHashesFileName(other.File("list.txt"));
  other.Write("list.txt", "");
  std::filesystem::create_hard_link(other.File("list.txt"), tree.Path("b.txt"));
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Build(), 103);
  ASSERT_EQ(FileErrors().size(), 1u);
  EXPECT_NE(FileErrors()[0].find("b.txt\". Device or resource busy"), std::string::npos);
  EXPECT_EQ(Paths(), (Lines{"a.txt"}));
}

TEST_F(BuildTest, WithoutProgressOnlyFileErrorsAreSent) {
  Tree tree;
  tree.Write("a.txt", "a");
  tree.Write("m.txt", "old");
  engine_.SetHashesFileName(tree.Path("m.txt"));
  engine_.BaseDirectories().push_back(tree.root());
  engine_.SetShowProgress(false);

  EXPECT_EQ(engine_.Build(), 103);
  EXPECT_EQ(recorder_.Trace(), (Lines{"vstFileError " + FileErrors()[0]}));
  EXPECT_EQ(ReadFile(tree.Path("m.txt")), ListText({LineOf("a.txt", "a", kTime1)}));
}

// prefix + n + suffix, built by appending.
std::string Numbered(std::string_view prefix, int n, std::string_view suffix = "") {
  std::string text(prefix);
  text += std::to_string(n);
  text += suffix;
  return text;
}

// Many small files, in directories between files, so that the scan leaves
// directories and comes back to them while files are read ahead.
TEST_F(BuildTest, ManyFilesInNestedDirectoriesGiveTheirExactLines) {
  Tree tree;
  Lines expected;
  for (int d = 0; d < 3; ++d) {
    for (int f = 0; f < 150; ++f) {
      const std::string dir = Numbered("d", d);
      const std::string name = Numbered("f", 1000 + f, ".bin");
      const std::string contents(static_cast<size_t>(f * 7 + d), static_cast<char>('a' + f % 26));
      tree.Write(dir + "/" + name, contents, kTime1 + f);
      tree.Write(dir + "/sub/" + name, contents + "!", kTime2);
      expected.push_back(LineOf(dir + "\\" + name, contents, kTime1 + f));
      expected.push_back(LineOf(dir + "\\sub\\" + name, contents + "!", kTime2));
    }
    tree.Write(Numbered("d", d, ".txt"), "between", kTime2);
    expected.push_back(LineOf(Numbered("d", d, ".txt"), "between", kTime2));
  }
  tree.Write("d1/skipped.log", "excluded");
  engine_.AddIncludeExcludeMask("*.log", iemExclude);
  std::filesystem::create_symlink(tree.Path("d0/f1000.bin"), tree.Path("d2/link.bin"));
  expected.push_back(LineOf("d2\\link.bin", "", kTime1));
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Build(), 0);

  HashList sorted;
  for (const std::string& line : expected) {
    auto item = std::make_unique<HashItem>();
    item->SetAsString(line);
    sorted.Add(std::move(item));
  }
  sorted.SortByPath();
  Lines sorted_lines;
  for (int i = 0; i < sorted.Count(); ++i) sorted_lines.push_back(sorted.Items(i).AsString());
  EXPECT_EQ(ReadFile(ListName()), ListText(sorted_lines));
  EXPECT_EQ(recorder_.Count(vstProcessingFile), static_cast<int>(expected.size()));
}

TEST_F(BuildTest, FileChangedWhileTheScanGetsThereIsHashedAsItIsThen) {
  Tree tree;
  for (int f = 0; f < 200; ++f) tree.Write(Numbered("f", 1000 + f), Numbered("before ", 1000 + f));
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
    if (state != vstProcessingFile) return;
    const std::string& name = static_cast<const StateChangeFilename*>(info)->FileName();
    if (name >= "f1100") tree.Write(name, Numbered("after! ", std::stoi(name.substr(1))), kTime2);
  };

  EXPECT_EQ(engine_.Build(), 0);

  Lines expected;
  for (int f = 0; f < 200; ++f) {
    const std::string name = Numbered("f", 1000 + f);
    expected.push_back(f < 100 ? LineOf(name, Numbered("before ", 1000 + f), kTime1)
                               : LineOf(name, Numbered("after! ", 1000 + f), kTime2));
  }
  EXPECT_EQ(ReadFile(ListName()), ListText(expected));
}

TEST_F(BuildTest, FileOfSeveralPiecesReportsEachRead) {
  Tree tree;
  std::string contents(8388608 + 5, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 2654435761u >> 13);
  tree.Write("big.bin", contents);
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Build(), 0);

  EXPECT_EQ(ReadFile(ListName()), ListText({LineOf("big.bin", contents, kTime1)}));
  EXPECT_EQ(recorder_.Trace(), (Lines{"vstProcessingFile big.bin", "progress 8388608/8388613",
                                      "progress 8388613/8388613", "vstBuildOutput ADDED\t\"big.bin\"",
                                      "vstProgressDone", "vstSortingResults"}));
}

TEST_F(BuildTest, DelayedAbortWhileAFileOfSeveralPiecesIsRead) {
  Tree tree;
  tree.Write("big.bin", std::string(3 * 8388608 + 1, 'x'));
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_progress = [](Verify& sender, int64_t, int64_t) { sender.Abort(); };

  EXPECT_EQ(engine_.Build(), 253);
  EXPECT_EQ(recorder_.ProgressCount(), 1);
  EXPECT_EQ(ReadFile(ListName()), kBom);
}

// Whether the event is the scan reaching `name`.
bool Reaches(VerifyState state, const StateChangeObject* info, std::string_view name) {
  return state == vstProcessingFile && static_cast<const StateChangeFilename*>(info)->FileName() == name;
}

// What the scan listed as a file may be something else by the time it is
// hashed: that is never opened, and the error says what it has become.
TEST_F(BuildTest, FileReplacedBeforeItIsHashedIsNeverOpened) {
  struct Case {
    bool junctions;
    std::function<void(const std::string&)> replace;
    std::string text;
  };
  const std::vector<Case> cases = {
      {true, [](const std::string& name) { ASSERT_EQ(platform::CreateFifo(name), 0); }, "Is a FIFO"},
      {true, [](const std::string& name) { std::filesystem::create_symlink("/dev/zero", name); },
       "Is a character device"},
      {false, [](const std::string& name) { std::filesystem::create_symlink("a.txt", name); },
       "Is a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Tree tree;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) tree.Write(name, name);
    engine_.BaseDirectories() = {tree.root()};
    engine_.SetJunctions(c.junctions);
    recorder_.Clear();
    recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
      if (!Reaches(state, info, "b.txt")) return;
      std::filesystem::remove(tree.Path("b.txt"));
      c.replace(tree.Path("b.txt"));
    };

    EXPECT_EQ(engine_.Build(), 103);
    const std::string b = tree.Path("b.txt");
    EXPECT_EQ(FileErrors(), (Lines{b + ": EFOpenError: Cannot open file \"" + b + "\". " + c.text}));
    EXPECT_EQ(Paths(), (Lines{"a.txt", "c.txt"}));
  }
}

// The real disk, with the names opened for reading counted.
class CountingFileSystem final : public platform::FileSystem {
 public:
  using ErrorCode = platform::ErrorCode;
  using File = platform::File;

  int Opens(const std::string& name) {
    const std::lock_guard lock(mutex_);
    return opens_[name];
  }

  ErrorCode OpenForReading(const std::string& path, int64_t unbuffered_from, bool follow_links,
                           std::unique_ptr<platform::ReadableFile>* file, platform::FileStatus* status) override {
    {
      const std::lock_guard lock(mutex_);
      ++opens_[path];
    }
    return real_.OpenForReading(path, unbuffered_from, follow_links, file, status);
  }
  ErrorCode Stat(const std::string& path, platform::FileStatus* status) override {
    return real_.Stat(path, status);
  }
  ErrorCode Open(const std::string& path, platform::OpenMode mode, std::unique_ptr<File>* file) override {
    return real_.Open(path, mode, file);
  }
  ErrorCode DeleteFile(const std::string& path) override { return real_.DeleteFile(path); }
  ErrorCode OpenDirectory(const std::string& path,
                          std::unique_ptr<platform::DirectoryReader>* reader) override {
    return real_.OpenDirectory(path, reader);
  }
  ErrorCode CreateTemporary(const std::string& near, std::string* temp,
                            std::unique_ptr<File>* file) override {
    return real_.CreateTemporary(near, temp, file);
  }
  ErrorCode Rename(const std::string& from, const std::string& to) override {
    return real_.Rename(from, to);
  }
  std::string ResolveLinks(const std::string& path) override { return real_.ResolveLinks(path); }
  ErrorCode SyncDirectory(const std::string& directory) override { return real_.SyncDirectory(directory); }
  ErrorCode ReadExtendedAttributes(const std::string& path,
                                   std::vector<std::pair<std::string, std::string>>* attributes) override {
    return real_.ReadExtendedAttributes(path, attributes);
  }
  std::string CurrentDirectory() override { return real_.CurrentDirectory(); }
  std::string ErrorText(ErrorCode error) override { return real_.ErrorText(error); }

 private:
  platform::FileSystem& real_ = platform::RealFileSystem();
  std::mutex mutex_;
  std::map<std::string, int> opens_;
};

// Waits until `done` holds; fails the test after ten seconds.
void WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the helper thread never got there";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Rewritten in place after a helper read it, with its size and time put back
// as copy tools do: only the change time tells, and the list must hold what
// the file holds now.
TEST_F(BuildTest, FileRewrittenInPlaceAfterAHelperReadItGivesItsNewContents) {
  CountingFileSystem fs;
  platform::ScopedFileSystem scope(fs);
  engine_.SetReadAheadThreads(1);
  Tree tree;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) tree.Write(name, name);
  engine_.BaseDirectories().push_back(tree.root());
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
    if (!Reaches(state, info, "b.txt")) return;
    // The one helper opens c.txt only once it has finished with b.txt.
    WaitUntil([&] { return fs.Opens(tree.Path("c.txt")) > 0; });
    // Rewritten until its change time moves on from the one the helper saw,
    // however coarsely the file system's clock ticks.
    platform::FileStatus seen;
    ASSERT_EQ(fs.Stat(tree.Path("b.txt"), &seen), 0);
    WaitUntil([&] {
      tree.Write("b.txt", "B.TXT");
      platform::FileStatus now;
      return fs.Stat(tree.Path("b.txt"), &now) == 0 && now.changed != seen.changed;
    });
  };

  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(ReadFile(ListName()), ListText({LineOf("a.txt", "a.txt", kTime1),
                                            LineOf("b.txt", "B.TXT", kTime1),
                                            LineOf("c.txt", "c.txt", kTime1)}));
  EXPECT_EQ(fs.Opens(tree.Path("b.txt")), 2);
}

class FakeBuildTest : public BuildTest {
 protected:
  std::string ListContents() { return FakeFileSystem::ContentsOf(*fs_.Find(ListName()), 0, 100000); }
  std::tuple<int, Lines, std::string> BuildWaiting(int threads, const std::string& first, FakeFileSystem::Entry& last,
                                                   const std::function<void()>& then);

  FakeFileSystem fs_;
  platform::ScopedFileSystem scope_{fs_};
  FakeTree first_{fs_};
  FakeTree second_{fs_};
};

TEST_F(FakeBuildTest, FailedFileGives103AndNoLine) {
  first_.Add("a.txt", "a");
  first_.Add("b.txt", "b").open_error = EACCES;
  first_.Add("c.txt", "c");
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Build(), 103);

  EXPECT_EQ(FileErrors(), (Lines{first_.Path("b.txt") + ": EFOpenError: Cannot open file \"" +
                                 first_.Path("b.txt") + "\". Permission denied"}));
  EXPECT_EQ(Paths(), (Lines{"a.txt", "c.txt"}));
  EXPECT_EQ(ListContents(),
            ListText({LineOf("a.txt", "a", kTime1), LineOf("c.txt", "c", kTime1)}));
  EXPECT_EQ(recorder_.Trace(false)[3], "vstProcessingFile b.txt");
  EXPECT_EQ(recorder_.Trace(false)[4], "vstFileError " + FileErrors()[0]);
  EXPECT_EQ(recorder_.Trace(false)[5], "vstProgressDone");
}

TEST_F(FakeBuildTest, ReadErrorIsAFileError) {
  first_.Add("a.txt", std::string(100, 'x')).fail_read_call = 1;
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Build(), 103);
  ASSERT_EQ(FileErrors().size(), 1u);
  EXPECT_EQ(FileErrors()[0], first_.Path("a.txt") + ": EReadError: Stream read error");
  EXPECT_EQ(engine_.GetHashList().Count(), 0);
}

TEST_F(FakeBuildTest, FailureInAnEarlierBaseDirectoryIsNotHiddenByALaterOne) {
  first_.Add("a.txt", "a").open_error = EIO;
  second_.Add("b.txt", "b");
  engine_.BaseDirectories().push_back(first_.root());
  engine_.BaseDirectories().push_back(second_.root());

  EXPECT_EQ(engine_.Build(), 103);
  EXPECT_EQ(Paths(), (Lines{"b.txt"}));
}

TEST_F(FakeBuildTest, FailureInALaterBaseDirectoryGives103) {
  first_.Add("a.txt", "a");
  second_.Add("b.txt", "b").open_error = EIO;
  engine_.BaseDirectories().push_back(first_.root());
  engine_.BaseDirectories().push_back(second_.root());

  EXPECT_EQ(engine_.Build(), 103);
  EXPECT_EQ(Paths(), (Lines{"a.txt"}));
}

// A list that cannot be written whole ends the build with one error that
// names it, and the old list stays.
TEST_F(FakeBuildTest, AListThatCannotBeWrittenEndsTheBuildAndKeepsTheOldOne) {
  for (int i = 0; i < 3000; ++i) first_.Add(Numbered("f", i, ".txt"), "x");
  fs_.AddFile(ListName(), "old");
  engine_.BaseDirectories().push_back(first_.root());
  const size_t names = fs_.Names().size();
  for (const int write : {1, 2, 0}) {
    fs_.fail_next_temporary = [write](FakeFileSystem::Entry& e) {
      e.fail_write_call = write;
      e.write_error = ENOSPC;
    };
    try {
      engine_.Build();
      ADD_FAILURE() << "no error";
    } catch (const EWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot write file \"" + ListName() + "\". No space left on device");
    }
    EXPECT_TRUE(FileErrors().empty());
    EXPECT_EQ(ListContents(), "old");
    EXPECT_EQ(fs_.Names().size(), names);
    EXPECT_EQ(fs_.open_handles(), 0);
  }
}

TEST_F(FakeBuildTest, HashListFileThatCannotBeCreatedFailsBeforeTheScan) {
  first_.Add("a.txt", "a");
  fs_.AddFile(ListName(), "old");
  fs_.create_temporary_error = ENOSPC;
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_THROW(engine_.Build(), EFCreateError);
  EXPECT_EQ(recorder_.Count(vstProcessingFile), 0);
}

TEST_F(FakeBuildTest, EventHandlerFailureIsAFileErrorAndKeepsTheWrittenEntry) {
  first_.Add("a.txt", "a");
  first_.Add("b.txt", "b");
  engine_.BaseDirectories().push_back(first_.root());
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
    if (state == vstBuildOutput && static_cast<const StateChangeHashItem*>(info)->Item().Path() == "a.txt") {
      throw EInOutError("handler failed");
    }
  };

  EXPECT_EQ(engine_.Build(), 103);
  EXPECT_EQ(FileErrors(), (Lines{first_.Path("a.txt") + ": EInOutError: handler failed"}));
  EXPECT_EQ(Paths(), (Lines{"a.txt", "b.txt"}));
}

// One helper thread reads ahead on the fake disk. The scan waits at b.txt
// and at c.txt until the helper has gone on to the next file, so that their
// results are ready when the scan asks for them. Whatever happened to them,
// the run must be the one a build without helpers gives.
class ReadAheadTest : public FakeBuildTest {
 protected:
  ReadAheadTest() {
    engine_.SetReadAheadThreads(1);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) first_.Add(name, name);
    engine_.BaseDirectories().push_back(first_.root());
  }

  FakeFileSystem::Entry& File(std::string_view name) { return *fs_.Find(first_.Path(name)); }

  // In place, in capitals, with its size and time put back: only the change
  // time tells.
  static void Rewrite(FakeFileSystem::Entry& entry) {
    for (char& c : entry.contents) c = static_cast<char>(std::toupper(c));
    entry.changed = platform::FileTime{kTime1 / 1000 + 1, 0};
  }

  // Builds, with `at_c` run under the disk's lock when the scan has waited at
  // c.txt; `rewritten` files are expected in capitals.
  void BuildAndExpectAPlainRun(const std::function<void()>& at_c, const std::set<std::string>& rewritten) {
    recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
      const bool at_b = Reaches(state, info, "b.txt");
      if (!at_b && !Reaches(state, info, "c.txt")) return;
      WaitUntil([this, at_b] {
        const auto lock = fs_.Lock();
        return File(at_b ? "c.txt" : "d.txt").open_calls > 0;
      });
      const auto lock = fs_.Lock();
      if (!at_b && at_c) at_c();
    };

    EXPECT_EQ(engine_.Build(), 0);
    Lines trace;
    Lines lines;
    for (std::string name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
      trace.insert(trace.end(), {"vstProcessingFile " + name, "progress 5/5",
                                 "vstBuildOutput ADDED\t\"" + name + "\"", "vstProgressDone"});
      FakeFileSystem::Entry expected;
      expected.contents = name;
      if (rewritten.count(name) != 0) Rewrite(expected);
      lines.push_back(LineOf(name, expected.contents, kTime1));
    }
    trace.push_back("vstSortingResults");
    EXPECT_EQ(recorder_.Trace(), trace);
    EXPECT_EQ(ListContents(), ListText(lines));
  }
};

TEST_F(ReadAheadTest, TheHelpersDigestOfAnUntouchedFileIsTaken) {
  BuildAndExpectAPlainRun(nullptr, {});
  EXPECT_EQ(File("b.txt").open_calls, 1);
  EXPECT_EQ(File("c.txt").open_calls, 1);
}

TEST_F(ReadAheadTest, FileTheHelperCannotOpenOrReadIsHashedByTheScan) {
  File("b.txt").open_error = EIO;
  File("b.txt").fail_open_call = 1;
  File("c.txt").fail_read_call = 1;
  BuildAndExpectAPlainRun(nullptr, {});
  EXPECT_EQ(File("b.txt").open_calls, 2);
  EXPECT_EQ(File("c.txt").open_calls, 2);
}

// b.txt changes between the helper's read and its second look at the file,
// c.txt after the helper is done with it.
TEST_F(ReadAheadTest, FileChangedAfterTheHelpersFirstLookIsHashedAgain) {
  int stats = 0;
  File("b.txt").on_stat = [&stats](FakeFileSystem::Entry& entry) {
    if (++stats == 2) Rewrite(entry);
  };
  BuildAndExpectAPlainRun([this] { Rewrite(File("c.txt")); }, {"b.txt", "c.txt"});
  EXPECT_EQ(File("b.txt").open_calls, 2);
  EXPECT_EQ(File("c.txt").open_calls, 2);
}

// Builds with `threads` helpers. When the scan reaches `first`, it waits
// until the helper has opened `last` once more, then runs `then`. The
// result, the events and the list.
std::tuple<int, Lines, std::string> FakeBuildTest::BuildWaiting(int threads, const std::string& first,
                                                               FakeFileSystem::Entry& last,
                                                               const std::function<void()>& then) {
  engine_.SetReadAheadThreads(threads);
  recorder_.Clear();
  const int opened = last.open_calls;
  recorder_.on_state = [&](Verify&, VerifyState state, const StateChangeObject* info) {
    if (!Reaches(state, info, first)) return;
    if (threads != 0) {
      WaitUntil([&] {
        const auto lock = fs_.Lock();
        return last.open_calls > opened;
      });
    }
    if (then) then();
  };
  const int result = engine_.Build();
  return {result, recorder_.Trace(), ListContents()};
}

// Where the file system has no unnamed files, the new list has a name while
// it is written. Neither the scan nor the walk takes it, whatever path leads
// them to its directory: a relative one, or one through a link.
TEST_F(FakeBuildTest, TheNewListIsNeverTakenWhateverPathLeadsToIt) {
  first_.Add("a.txt", "a");
  FakeFileSystem::Entry& last = first_.Add("z.txt", "z");
  fs_.SetCurrentDirectory("/w");
  for (const char* alias : {"t", "/w/t", "/w/link"}) fs_.AddDirectoryAlias(alias, first_.root());
  const std::string expected = ListText({LineOf("a.txt", "a", kTime1), LineOf("z.txt", "z", kTime1)});
  for (const int threads : {0, 1}) {
    for (const auto& [list, scanned] : {std::pair{"t/l.txt", "t"}, std::pair{"/w/link/l.txt", "/w/t"}}) {
      fs_.Remove(first_.Path("l.txt"));
      engine_.SetHashesFileName(list);
      engine_.BaseDirectories() = {scanned};
      const auto build = BuildWaiting(threads, "a.txt", last, nullptr);
      EXPECT_EQ(std::get<0>(build), 0) << list << threads;
      EXPECT_EQ(std::get<2>(build), expected) << list << threads;
      EXPECT_EQ(fs_.Find(first_.Path("l.txt"))->open_calls, 0) << list << threads;
    }
  }
}

// The one helper walks ahead through every directory of both base
// directories while the scan waits at its first file. Then a file that the
// walk found goes, and one that it did not see comes, before the scan lists
// their directory: the run is the one a build without helpers makes, and
// the scan takes the helper's digest of every other file.
TEST_F(FakeBuildTest, TheHelperReadsAheadThroughDirectoriesAndBaseDirectories) {
  for (const char* name : {"a", "a/b", "c"}) fs_.AddDirectory(first_.Path(name));
  const std::vector<std::string> ahead = {"a/b/y.txt", "a/z.txt", "a-b.txt", "d.txt"};
  for (const std::string& name : ahead) first_.Add(name, name);
  FakeFileSystem::Entry& last = second_.Add("e.txt", "e.txt");
  engine_.BaseDirectories() = {first_.root(), second_.root()};
  const auto build = [&](int threads) {
    first_.Add("c/gone.txt", "gone");
    fs_.Remove(first_.Path("c/new.txt"));
    return BuildWaiting(threads, "a\\b\\y.txt", last, [this] {
      fs_.Remove(first_.Path("c/gone.txt"));
      first_.Add("c/new.txt", "new");
    });
  };

  const auto plain = build(0);
  std::map<std::string, int> opens;
  for (const std::string& name : ahead) opens[name] = fs_.Find(first_.Path(name))->open_calls;
  EXPECT_EQ(build(1), plain);
  EXPECT_EQ(Paths(), (Lines{"a-b.txt", "a\\b\\y.txt", "a\\z.txt", "c\\new.txt", "d.txt", "e.txt"}));
  for (const std::string& name : ahead) EXPECT_EQ(fs_.Find(first_.Path(name))->open_calls, opens[name] + 1) << name;
}

// The helper takes 32 waiting files at once and hashes them side by side,
// a large one alone. One of them that it cannot read and one that changes
// between its looks before and after its read are left to the scan; its
// digests of the others are taken.
TEST_F(FakeBuildTest, TheHelperHashesABatchOfFilesSideBySide) {
  std::vector<FakeFileSystem::Entry*> files;
  for (int i = 0; i < 40; ++i) {
    const std::string name = Numbered("f", 100 + i);
    files.push_back(i == 10 ? &fs_.AddGeneratedFile(first_.Path(name), 100000, kTime1)
                            : &first_.Add(name, std::string(static_cast<size_t>(i) * 97, 'x') + name));
  }
  engine_.BaseDirectories().push_back(first_.root());
  const auto plain = BuildWaiting(0, "f100", *files.back(), nullptr);
  std::vector<int> opens;
  for (const FakeFileSystem::Entry* file : files) opens.push_back(file->open_calls);
  files[5]->fail_read_call = files[5]->read_calls + 1;
  int looks = 0;
  files[7]->on_stat = [&looks](FakeFileSystem::Entry& entry) {
    if (++looks == 2) entry.changed = platform::FileTime{kTime1 / 1000 + 1, 0};
  };

  EXPECT_EQ(BuildWaiting(1, "f100", *files.back(), nullptr), plain);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(files[i]->open_calls, opens[i] + (i == 5 || i == 7 ? 2 : 1)) << i;
}

}  // namespace
}  // namespace hv
