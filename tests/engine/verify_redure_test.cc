#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/command_fixtures.h"
#include "engine/event_recorder.h"
#include "engine/hash_item.h"
#include "engine/hash_list.h"
#include "engine/verify.h"
#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
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
using testing::kNoTime;

class RedureTest : public ::testing::Test {
 protected:
  RedureTest() {
    engine_.Clear();
    engine_.SetHashesFileName(list_dir_.File("list.txt"));
  }

  std::string ListName() const { return engine_.HashesFileName(); }
  void WriteList(const Lines& lines) { list_dir_.Write("list.txt", ListText(lines)); }

  // The result list as short result lines.
  Lines Results() {
    Lines lines;
    HashList& list = engine_.GetHashList();
    for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Items(i).MatchOutput(false));
    return lines;
  }
  const HashItem* Entry(std::string_view path) {
    HashList& list = engine_.GetHashList();
    for (int i = 0; i < list.Count(); ++i) {
      if (list.Items(i).Path() == path) return &list.Items(i);
    }
    return nullptr;
  }
  Lines FileErrors() const { return recorder_.Summaries(vstFileError); }
  bool Compared() const { return recorder_.Count(vstComparingHashlists) > 0; }

  TempDir list_dir_;
  Verify engine_;
  EventRecorder recorder_{engine_};
};

TEST_F(RedureTest, UnchangedTreeMatchesEverything) {
  Tree tree;
  tree.Write("a.txt", "a");
  tree.Write("sub/b.txt", "bb");
  WriteList({LineOf("a.txt", "a", kTime1), LineOf("sub\\b.txt", "bb", kTime1)});
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Redure(), 0);

  EXPECT_EQ(recorder_.Trace(false),
            (Lines{"vstLoadingHashFile " + ListName(), "vstProgressDone", "vstSortingHashlist",
                   "vstProcessingFile a.txt", "vstProgressDone", "vstProcessingFile sub\\b.txt",
                   "vstProgressDone", "vstComparingHashlists", "vstSortingResults", "vstWritingResults",
                   "vstMatchOutput MATCHED\t\"a.txt\"", "vstMatchOutput MATCHED\t\"sub\\b.txt\"",
                   "vstMatchStats 2 0 0 0 0 0"}));
}

TEST_F(RedureTest, ChangedNewAndRemovedFiles) {
  Tree tree;
  tree.Write("a.txt", "a");
  tree.Write("b.txt", "B");
  tree.Write("c.txt", "c");
  WriteList({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "b", kTime2), LineOf("d.txt", "d", kTime1)});
  engine_.BaseDirectories().push_back(tree.root());

  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\"", "CHANGED\t\"b.txt\"", "ADDED\t\"c.txt\"", "DELETED\t\"d.txt\""}));
  // Verify leaves the file alone.
  EXPECT_EQ(ReadFile(ListName()),
            ListText({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "b", kTime2), LineOf("d.txt", "d", kTime1)}));

  // However often a run meets a new path, it is one entry: the file met last
  // stands for it. Of new files of one content, the first in path order is
  // the rename, whichever the scan met first.
  Tree second;
  second.Write("c.txt", "other c");
  second.Write("z.txt", "d");
  Tree third;
  third.Write("0.txt", "d");
  for (const bool timestamps : {true, false}) {
    SCOPED_TRACE(timestamps);
    engine_.SetUseTimestamp(timestamps);
    engine_.BaseDirectories() = {tree.root(), tree.root()};
    EXPECT_EQ(engine_.Redure(), 1);
    EXPECT_EQ(Results(),
              (Lines{"MATCHED\t\"a.txt\"", "CHANGED\t\"b.txt\"", "ADDED\t\"c.txt\"", "DELETED\t\"d.txt\""}));
    engine_.BaseDirectories() = {tree.root(), second.root(), third.root()};
    EXPECT_EQ(engine_.Redure(), 1);
    EXPECT_EQ(Results(), (Lines{"RENAMED\t\"0.txt\"\tfrom\t\"d.txt\"", "MATCHED\t\"a.txt\"", "CHANGED\t\"b.txt\"",
                                "ADDED\t\"c.txt\"", "COPIED\t\"z.txt\"\tfrom\t\"d.txt\""}));
    EXPECT_EQ(Entry("c.txt")->BasePath(), second.root() + "/");
  }
}

TEST_F(RedureTest, EmptyListOfBaseDirectoriesGives102WithoutComparison) {
  WriteList({LineOf("a.txt", "a", kTime1)});
  EXPECT_EQ(engine_.Redure(), 102);
  EXPECT_FALSE(Compared());
  EXPECT_EQ(engine_.GetHashList().Count(), 0);
}

TEST_F(RedureTest, MissingBaseDirectoryReportsEveryEntryDeleted) {
  TempDir empty;
  WriteList({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "b", kTime1)});
  engine_.BaseDirectories().push_back(empty.File("missing"));

  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(Results(), (Lines{"DELETED\t\"a.txt\"", "DELETED\t\"b.txt\""}));
}

TEST_F(RedureTest, ExcludedEntryIsNeitherCheckedNorReported) {
  Tree tree;
  tree.Write("a.txt", "a");
  tree.Write("x.log", "changed");
  WriteList({LineOf("a.txt", "a", kTime1), LineOf("x.log", "x", kTime1), LineOf("y.log", "y", kTime1)});
  engine_.BaseDirectories().push_back(tree.root());
  engine_.AddIncludeExcludeMask("*.log", iemExclude);

  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\""}));
}

// Timestamp shortcut: the fake counts the opens, so "not read" can be seen.
class ShortcutTest : public RedureTest {
 protected:
  ShortcutTest() { engine_.BaseDirectories().push_back(tree_.root()); }

  // The list says "old" with kTime1; the file now holds "new" (same size).
  FakeFileSystem::Entry& ChangedFileAt(int64_t modified_ms) {
    fs_.AddFile(ListName(), ListText({LineOf("a.txt", "old", kTime1)}));
    return tree_.Add("a.txt", "new", modified_ms);
  }

  FakeFileSystem fs_;
  platform::ScopedFileSystem scope_{fs_};
  FakeTree tree_{fs_};
};

TEST_F(ShortcutTest, EqualTimeAndSizeMatchWithoutReadingAtPrecision0) {
  FakeFileSystem::Entry& file = ChangedFileAt(kTime1);
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\""}));
  EXPECT_EQ(file.open_calls, 0);
}

TEST_F(ShortcutTest, WithoutTimestampsEveryFileIsRead) {
  FakeFileSystem::Entry& file = ChangedFileAt(kTime1);
  engine_.SetUseTimestamp(false);
  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(Results(), (Lines{"CHANGED\t\"a.txt\""}));
  EXPECT_EQ(file.open_calls, 1);
}

TEST_F(ShortcutTest, OneMillisecondApartIsReadAtPrecision0) {
  FakeFileSystem::Entry& file = ChangedFileAt(kTime1 + 1);
  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(file.open_calls, 1);
}

TEST_F(ShortcutTest, Precision2000AcceptsUpToTwoSecondsEitherWay) {
  for (const int64_t offset : {int64_t{2000}, int64_t{-2000}, int64_t{1234}}) {
    FakeFileSystem::Entry& file = ChangedFileAt(kTime1 + offset);
    engine_.SetTimestampPrecision(2000);
    EXPECT_EQ(engine_.Redure(), 0) << offset;
    EXPECT_EQ(file.open_calls, 0) << offset;
  }
  for (const int64_t offset : {int64_t{2001}, int64_t{-2001}}) {
    FakeFileSystem::Entry& file = ChangedFileAt(kTime1 + offset);
    engine_.SetTimestampPrecision(2000);
    EXPECT_EQ(engine_.Redure(), 1) << offset;
    EXPECT_EQ(file.open_calls, 1) << offset;
  }
}

TEST_F(ShortcutTest, NegativePrecisionNeverTakesTheShortcut) {
  FakeFileSystem::Entry& file = ChangedFileAt(kTime1);
  engine_.SetTimestampPrecision(-1);
  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(Results(), (Lines{"CHANGED\t\"a.txt\""}));
  EXPECT_EQ(file.open_calls, 1);
}

TEST_F(ShortcutTest, DifferentSizeIsRead) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "old", kTime1)}));
  FakeFileSystem::Entry& file = tree_.Add("a.txt", "longer", kTime1);
  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(file.open_calls, 1);
}

TEST_F(ShortcutTest, EntryWithoutDateIsAlwaysRead) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "same", kNoTime)}));
  FakeFileSystem::Entry& file = tree_.Add("a.txt", "same", kTime1);
  engine_.SetTimestampPrecision(2000000000);
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(file.open_calls, 1);
  // The entry took the file's date.
  EXPECT_EQ(DateTimeToMilliseconds(Entry("a.txt")->Date()),
            DateTimeToMilliseconds(DateTimeFromUnixMilliseconds(kTime1)));
}

TEST_F(ShortcutTest, FileWhoseTimeIsUnknownIsAlwaysRead) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "same", kTime1)}));
  // Before 1601: no date can hold it.
  FakeFileSystem::Entry& file = tree_.Add("a.txt", "same", -12000000000000);
  engine_.SetTimestampPrecision(2000000000);
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(file.open_calls, 1);
}

TEST_F(ShortcutTest, AcceptedFileKeepsItsStoredEntry) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "same", kTime1)}));
  tree_.Add("a.txt", "same", kTime1 + 500);
  engine_.SetTimestampPrecision(1000);
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_EQ(FakeFileSystem::ContentsOf(*fs_.Find(ListName()), 0, 10000),
            ListText({LineOf("a.txt", "same", kTime1)}));
}

TEST_F(ShortcutTest, RehashedEqualFileTakesTheNewDateAndBase) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "same", kTime2)}));
  tree_.Add("a.txt", "same", kTime1);
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\""}));
  EXPECT_EQ(Entry("a.txt")->BasePath(), tree_.root() + "/");
  EXPECT_EQ(FakeFileSystem::ContentsOf(*fs_.Find(ListName()), 0, 10000),
            ListText({LineOf("a.txt", "same", kTime1)}));
}

// Per-file results and what Update leaves, with files that cannot be read.
class FailingFileTest : public RedureTest {
 protected:
  // Every file is read, so that the failures happen.
  FailingFileTest() { engine_.SetUseTimestamp(false); }

  std::string ListContents() { return FakeFileSystem::ContentsOf(*fs_.Find(ListName()), 0, 100000); }

  FakeFileSystem fs_;
  platform::ScopedFileSystem scope_{fs_};
  FakeTree first_{fs_};
  FakeTree second_{fs_};
};

// A file that could not be read shows only its error: never MATCHED,
// DELETED or the source of a rename, but still there, so a new file of its
// content is a copy of it. Everything else is shown, and 103 still tells.
TEST_F(FailingFileTest, AFileErrorHidesNoOtherResult) {
  const std::string z_line = LineOf("z.txt", "zz", kTime2);
  const std::string list = ListText({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "b", kTime1),
                                     LineOf("gone.txt", "g", kTime1), z_line});
  for (const bool update : {false, true}) {
    recorder_.Clear();
    fs_.AddFile(ListName(), list);
    first_.Add("a.txt", "A", kTime2);
    first_.Add("b.txt", "b");
    first_.Add("n.txt", "zz");
    first_.Add("z.txt", "zz").open_error = EACCES;
    engine_.BaseDirectories() = {first_.root()};

    EXPECT_EQ(update ? engine_.Update() : engine_.Redure(), 103);
    EXPECT_EQ(FileErrors(), (Lines{first_.Path("z.txt") + ": EFOpenError: Cannot open file \"" +
                                   first_.Path("z.txt") + "\". Permission denied"}));
    EXPECT_EQ(Results(), (Lines{"CHANGED\t\"a.txt\"", "MATCHED\t\"b.txt\"", "DELETED\t\"gone.txt\"",
                                "COPIED\t\"n.txt\"\tfrom\t\"z.txt\""}));
    EXPECT_EQ(recorder_.Summaries(vstMatchStats), (Lines{"1 0 1 1 1 0"}));
    EXPECT_EQ(ListContents(), update ? ListText({LineOf("a.txt", "A", kTime2), LineOf("b.txt", "b", kTime1),
                                                 LineOf("n.txt", "zz", kTime1), z_line})
                                     : list);
  }
}

// Nothing below a directory that cannot be listed is DELETED: its entries
// are kept, exactly those whose path starts with that directory's.
TEST_F(FailingFileTest, EntriesBelowAnUnreadableDirectoryAreKept) {
  const Lines kept = {LineOf("sub\\deep\\z.txt", "z", kTime1), LineOf("sub\\x.txt", "x", kTime1)};
  fs_.AddFile(ListName(), ListText({kept[0], LineOf("Sub\\y.txt", "y", kTime1), LineOf("sub.txt", "s", kTime1),
                                    kept[1], LineOf("suba\\w.txt", "w", kTime1)}));
  fs_.AddDirectory(first_.Path("sub")).list_error = EACCES;
  first_.Add("sub.txt", "s");
  fs_.AddDirectory(first_.Path("suba"));
  first_.Add("suba/w.txt", "w");
  first_.Add("t.txt", "x");
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Update(), 1);
  EXPECT_EQ(FileErrors(), (Lines{first_.Path("sub") + ": EInOutError: Permission denied"}));
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"sub.txt\"", "DELETED\t\"Sub\\y.txt\"", "MATCHED\t\"suba\\w.txt\"",
                              "COPIED\t\"t.txt\"\tfrom\t\"sub\\x.txt\""}));
  EXPECT_EQ(ListContents(), ListText({LineOf("sub.txt", "s", kTime1), kept[0], kept[1],
                                      LineOf("suba\\w.txt", "w", kTime1), LineOf("t.txt", "x", kTime1)}));
}

TEST_F(FailingFileTest, FailedFileFollowedByChangedOneCompares) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "b", kTime1)}));
  first_.Add("a.txt", "a").open_error = EACCES;
  first_.Add("b.txt", "B", kTime2);
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_TRUE(Compared());
  EXPECT_EQ(Results(), (Lines{"CHANGED\t\"b.txt\""}));
}

TEST_F(FailingFileTest, FailedFileFollowedByNewOneInALaterBaseDirectoryCompares) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "a", kTime1)}));
  first_.Add("a.txt", "a").open_error = EACCES;
  second_.Add("n.txt", "n");
  engine_.BaseDirectories().push_back(first_.root());
  engine_.BaseDirectories().push_back(second_.root());

  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(Results(), (Lines{"ADDED\t\"n.txt\""}));
}

TEST_F(FailingFileTest, ChangedFileFollowedByFailedOneGives103) {
  fs_.AddFile(ListName(), ListText({LineOf("a.txt", "a", kTime1)}));
  first_.Add("a.txt", "A", kTime2);
  second_.Add("b.txt", "b").open_error = EIO;
  engine_.BaseDirectories().push_back(first_.root());
  engine_.BaseDirectories().push_back(second_.root());

  EXPECT_EQ(engine_.Redure(), 103);
  EXPECT_EQ(Results(), (Lines{"CHANGED\t\"a.txt\""}));
}

TEST_F(FailingFileTest, FailedFileFollowedByUnchangedOneGives103) {
  fs_.AddFile(ListName(), ListText({LineOf("b.txt", "b", kTime1)}));
  first_.Add("a.txt", "a").open_error = EIO;
  second_.Add("b.txt", "b");
  engine_.BaseDirectories().push_back(first_.root());
  engine_.BaseDirectories().push_back(second_.root());

  EXPECT_EQ(engine_.Redure(), 103);
  EXPECT_TRUE(Compared());
}

TEST_F(FailingFileTest, UpdateKeepsTheOldEntryOfAFileItCouldNotRead) {
  const std::string a_line = LineOf("a.txt", "a", kTime2);
  fs_.AddFile(ListName(), ListText({a_line, LineOf("b.txt", "b", kTime1), LineOf("gone.txt", "g", kTime1)}));
  first_.Add("a.txt", "changed", kTime1).fail_read_call = 1;
  first_.Add("b.txt", "b");
  first_.Add("c.txt", "c");
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Update(), 1);
  EXPECT_EQ(FileErrors(), (Lines{first_.Path("a.txt") + ": EReadError: Stream read error"}));
  EXPECT_EQ(ListContents(), ListText({a_line, LineOf("b.txt", "b", kTime1), LineOf("c.txt", "c", kTime1)}));
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"b.txt\"", "ADDED\t\"c.txt\"", "DELETED\t\"gone.txt\""}));
}

TEST_F(FailingFileTest, UpdateWith103RewritesTheListKeepingTheFailedEntry) {
  const std::string a_line = LineOf("a.txt", "a", kTime2);
  fs_.AddFile(ListName(), ListText({LineOf("z.txt", "z", kTime1), a_line}));
  first_.Add("a.txt", "a").open_error = EACCES;
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_EQ(engine_.Update(), 103);
  EXPECT_EQ(Results(), (Lines{"DELETED\t\"z.txt\""}));
  EXPECT_EQ(ListContents(), ListText({a_line}));
}

TEST_F(FailingFileTest, UpdateWithFullDiskLeavesTheOldList) {
  const std::string list = ListText({LineOf("a.txt", "a", kTime2)});
  fs_.AddFile(ListName(), list);
  first_.Add("a.txt", "a");
  fs_.create_temporary_error = ENOSPC;
  engine_.BaseDirectories().push_back(first_.root());

  EXPECT_THROW(engine_.Update(), EFCreateError);
  EXPECT_EQ(ListContents(), list);
}

// Update on real files.
class UpdateTest : public RedureTest {
 protected:
  UpdateTest() { engine_.BaseDirectories().push_back(tree_.root()); }
  Tree tree_;
};

TEST_F(UpdateTest, CompletedRunRewritesTheListSorted) {
  tree_.Write("a.txt", "a");
  tree_.Write("b.txt", "B", kTime2);
  tree_.Write("c.txt", "c");
  tree_.Write("x.log", "x");
  WriteList({LineOf("d.txt", "d", kTime1), LineOf("b.txt", "b", kTime1), LineOf("a.txt", "a", kTime1),
             LineOf("x.log", "x", kTime1)});
  engine_.AddIncludeExcludeMask("*.log", iemExclude);

  EXPECT_EQ(engine_.Update(), 1);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\"", "CHANGED\t\"b.txt\"", "ADDED\t\"c.txt\"", "DELETED\t\"d.txt\""}));
  EXPECT_EQ(ReadFile(ListName()),
            ListText({LineOf("a.txt", "a", kTime1), LineOf("b.txt", "B", kTime2), LineOf("c.txt", "c", kTime1)}));

  // The rewritten list matches the tree.
  recorder_.Clear();
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(recorder_.Summaries(vstMatchStats), (Lines{"3 0 0 0 0 0"}));
}

TEST_F(UpdateTest, UnchangedTreeGives0AndRewritesTheSameList) {
  tree_.Write("a.txt", "a");
  const std::string list = ListText({LineOf("a.txt", "a", kTime1)});
  list_dir_.Write("list.txt", list);
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, DelayedAbortDuringTheScanLeavesTheFileAsItWas) {
  tree_.Write("a.txt", "A");
  tree_.Write("b.txt", "B");
  const std::string list = "; a comment\r\n" + LineOf("a.txt", "a", kTime1) + "\n";
  list_dir_.Write("list.txt", list);
  recorder_.on_state = [&](Verify& sender, VerifyState state, const StateChangeObject* info) {
    if (state == vstProcessingFile && static_cast<const StateChangeFilename*>(info)->FileName() == "b.txt") {
      sender.Abort();
    }
  };

  EXPECT_EQ(engine_.Update(), 253);
  EXPECT_FALSE(Compared());
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, DelayedAbortWhileLoadingLeavesTheFileAsItWas) {
  tree_.Write("a.txt", "A");
  const std::string list = ListText({LineOf("a.txt", "a", kTime1)});
  list_dir_.Write("list.txt", list);
  recorder_.on_state = [&](Verify& sender, VerifyState state, const StateChangeObject*) {
    if (state == vstLoadingHashFile) sender.Abort();
  };

  EXPECT_THROW(engine_.Update(), EDelayedAbort);
  EXPECT_EQ(recorder_.Count(vstProcessingFile), 0);
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, DelayedAbortDuringTheComparisonFindsTheFileWritten) {
  tree_.Write("a.txt", "A", kTime2);
  list_dir_.Write("list.txt", ListText({LineOf("a.txt", "a", kTime1)}));
  recorder_.on_state = [&](Verify& sender, VerifyState state, const StateChangeObject*) {
    if (state == vstComparingHashlists) sender.Abort();
  };

  EXPECT_THROW(engine_.Update(), EDelayedAbort);
  EXPECT_EQ(ReadFile(ListName()), ListText({LineOf("a.txt", "A", kTime2)}));
}

TEST_F(UpdateTest, EmptyListOfBaseDirectoriesGives102AndDoesNotWrite) {
  const std::string list = "  " + LineOf("a.txt", "a", kTime1);
  list_dir_.Write("list.txt", list);
  engine_.BaseDirectories().clear();

  EXPECT_EQ(engine_.Update(), 102);
  EXPECT_FALSE(Compared());
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, MissingBaseDirectoryFailsBeforeAnythingIsWritten) {
  tree_.Write("a.txt", "a");
  const std::string list = ListText({LineOf("a.txt", "a", kTime1)});
  list_dir_.Write("list.txt", list);
  const std::string output = list_dir_.Write("out.txt", "old results");
  engine_.SetOutputFileName(output);
  const std::string missing = list_dir_.File("missing");
  engine_.BaseDirectories().push_back(missing);

  try {
    engine_.Update();
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open directory \"" + missing + "/\". No such file or directory");
  }
  EXPECT_EQ(ReadFile(ListName()), list);
  EXPECT_EQ(ReadFile(output), "old results");
  EXPECT_TRUE(recorder_.events().empty());
}

TEST_F(UpdateTest, BaseDirectoryThatIsAFileFails) {
  const std::string list = ListText({});
  list_dir_.Write("list.txt", list);
  const std::string file = tree_.Write("a.txt", "a");
  engine_.BaseDirectories().push_back(file);

  try {
    engine_.Update();
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open directory \"" + file + "/\". Not a directory");
  }
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, MissingDirectoryBelowTheBaseFails) {
  const std::string list = ListText({});
  list_dir_.Write("list.txt", list);
  engine_.BaseDirectories().back() = tree_.root() + "|sub";

  EXPECT_THROW(engine_.Update(), EFOpenError);
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, BadLineLeavesTheFileAsItWas) {
  tree_.Write("a.txt", "a");
  const std::string list = ListText({LineOf("a.txt", "a", kTime1), "not a hash-list line"});
  list_dir_.Write("list.txt", list);

  EXPECT_THROW(engine_.Update(), EHashItemError);
  EXPECT_EQ(ReadFile(ListName()), list);
}

TEST_F(UpdateTest, BuildThenUpdateThenVerify) {
  tree_.Write("a.txt", "a");
  tree_.Write("sub/b.txt", "b");
  EXPECT_EQ(engine_.Build(), 0);
  const std::string built = ReadFile(ListName());
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_EQ(ReadFile(ListName()), built);
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(Results(), (Lines{"MATCHED\t\"a.txt\"", "MATCHED\t\"sub\\b.txt\""}));
}

}  // namespace
}  // namespace hv
