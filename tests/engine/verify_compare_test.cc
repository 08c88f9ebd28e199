#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/entry_order.h"
#include "engine/event_recorder.h"
#include "engine/hash_item.h"
#include "engine/hash_list.h"
#include "engine/verify.h"
#include "helpers/temp_dir.h"
#include "support/date_time.h"
#include "support/utf8.h"

namespace hv {
namespace {

using testing::EventRecorder;
using testing::ReadFile;
using testing::TempDir;
using Lines = std::vector<std::string>;

// Opens the comparison to the tests and counts the abort checks.
class CompareEngine : public Verify {
 public:
  CompareEngine() { Clear(); }
  using Verify::CompareLists;
  HashList& New() { return GetHashList(); }
  HashList& Old() { return AuxHashList(); }
  int abort_checks = 0;

 protected:
  void CheckAborted() override {
    ++abort_checks;
    Verify::CheckAborted();
  }
};

HashItem& Add(HashList& list, std::string_view path, std::string_view hash, int64_t size = 100) {
  auto item = std::make_unique<HashItem>();
  item->SetPath(path);
  item->SetHash(hash);
  item->SetSize(size);
  // A state that the comparison must overwrite.
  item->SetState(hsCopied);
  HashItem& ref = *item;
  list.Add(std::move(item));
  return ref;
}

// The result list as short result lines, in its order.
Lines Results(Verify& engine) {
  Lines lines;
  HashList& list = engine.GetHashList();
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Items(i).MatchOutput(false));
  return lines;
}

const HashItem* FindNew(Verify& engine, std::string_view path, HashState state) {
  HashList& list = engine.GetHashList();
  for (int i = 0; i < list.Count(); ++i) {
    if (list.Items(i).Path() == path && list.Items(i).State() == state) return &list.Items(i);
  }
  return nullptr;
}

bool Exists(const std::string& name) { return std::filesystem::exists(name); }

constexpr char kBom[] = "\xEF\xBB\xBF";

TEST(CompareLists, BothEmpty) {
  TempDir dir;
  CompareEngine engine;
  EventRecorder recorder(engine);
  engine.SetOutputFileName(dir.File("out.txt"));
  engine.SetHideStates({});
  EXPECT_EQ(engine.CompareLists(), 0);
  EXPECT_EQ(recorder.Trace(), (Lines{"vstComparingHashlists", "progress 0/0", "vstSortingResults",
                                     "vstWritingResults", "vstMatchStats 0 0 0 0 0 0"}));
  EXPECT_EQ(engine.New().Count(), 0);
  EXPECT_FALSE(Exists(dir.File("out.txt")));
}

TEST(CompareLists, IdenticalListsShowNothing) {
  TempDir dir;
  CompareEngine engine;
  EventRecorder recorder(engine);
  engine.SetOutputFileName(dir.File("out.txt"));
  for (const char* path : {"b", "a", "dir\\c"}) {
    Add(engine.New(), path, std::string("H") + path);
    Add(engine.Old(), path, std::string("H") + path);
  }
  EXPECT_EQ(engine.CompareLists(), 0);
  EXPECT_EQ(Results(engine), (Lines{"MATCHED\t\"a\"", "MATCHED\t\"b\"", "MATCHED\t\"dir\\c\""}));
  for (int i = 0; i < engine.New().Count(); ++i) {
    const HashItem& item = engine.New().Items(i);
    ASSERT_NE(item.Related(), nullptr);
    EXPECT_EQ(item.Related()->Path(), item.Path());
    EXPECT_GE(engine.Old().IndexOf(item.Related()), 0);
  }
  EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{"3 0 0 0 0 0"}));
  // Hidden entries are still reported one by one.
  EXPECT_EQ(recorder.Count(vstMatchOutput), 3);
  EXPECT_FALSE(Exists(dir.File("out.txt")));
}

TEST(CompareLists, ShowingMatchedWritesEveryEntry) {
  TempDir dir;
  CompareEngine engine;
  engine.SetOutputFileName(dir.File("out.txt"));
  engine.SetHideStates({});
  for (const char* path : {"b", "a"}) {
    Add(engine.New(), path, "X", 5);
    Add(engine.Old(), path, "X", 5);
  }
  EXPECT_EQ(engine.CompareLists(), 1);
  const std::string expected = std::string(kBom) + "MATCHED\t" + engine.New().Items(0).AsString() +
                               "\r\nMATCHED\t" + engine.New().Items(1).AsString() + "\r\n";
  EXPECT_EQ(ReadFile(dir.File("out.txt")), expected);
}

TEST(CompareLists, EveryState) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  Add(engine.Old(), "same", "S");
  Add(engine.Old(), "edit", "E1");
  Add(engine.Old(), "gone", "G");
  Add(engine.Old(), "moved", "M");
  Add(engine.Old(), "orig", "O");
  Add(engine.New(), "same", "S");
  Add(engine.New(), "edit", "E2");
  Add(engine.New(), "fresh", "F");
  Add(engine.New(), "target", "M");
  Add(engine.New(), "orig", "O");
  Add(engine.New(), "orig copy", "O");
  EXPECT_EQ(engine.CompareLists(), 1);
  EXPECT_EQ(Results(engine), (Lines{"CHANGED\t\"edit\"", "ADDED\t\"fresh\"", "DELETED\t\"gone\"",
                                    "MATCHED\t\"orig\"", "COPIED\t\"orig copy\"\tfrom\t\"orig\"",
                                    "MATCHED\t\"same\"", "RENAMED\t\"target\"\tfrom\t\"moved\""}));
  EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{"2 1 1 1 1 1"}));

  // Links: CHANGED to the old entry of its path, ADDED to none, the rename
  // both ways.
  const HashItem* edit = FindNew(engine, "edit", hsChanged);
  ASSERT_NE(edit->Related(), nullptr);
  EXPECT_EQ(edit->Related()->Hash(), "E1");
  EXPECT_EQ(FindNew(engine, "fresh", hsNew)->Related(), nullptr);
  const HashItem* target = FindNew(engine, "target", hsRenamed);
  ASSERT_NE(target->Related(), nullptr);
  EXPECT_EQ(target->Related()->State(), hsRenamed);
  EXPECT_EQ(target->Related()->Related(), target);
  // The deleted copy is a copy, not the old entry itself.
  const HashItem* gone = FindNew(engine, "gone", hsDeleted);
  EXPECT_EQ(engine.Old().IndexOf(gone), -1);
  EXPECT_EQ(gone->Related(), nullptr);
}

TEST(CompareLists, OnlyHiddenStatesGiveZero) {
  CompareEngine engine;
  Add(engine.Old(), "a", "X");
  Add(engine.New(), "b", "Y");
  engine.SetHideStates({hsNew, hsDeleted});
  EXPECT_EQ(engine.CompareLists(), 0);
  EXPECT_EQ(Results(engine), (Lines{"DELETED\t\"a\"", "ADDED\t\"b\""}));
}

TEST(CompareLists, CaseVariantsAreDifferentFiles) {
  {
    CompareEngine engine;
    Add(engine.Old(), "dir\\a.txt", "X");
    Add(engine.New(), "DIR\\A.txt", "X");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"RENAMED\t\"DIR\\A.txt\"\tfrom\t\"dir\\a.txt\""}));
  }
  {
    CompareEngine engine;
    Add(engine.Old(), "a.txt", "X");
    Add(engine.New(), "A.txt", "Y");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"ADDED\t\"A.txt\"", "DELETED\t\"a.txt\""}));
  }
  {
    CompareEngine engine;
    Add(engine.Old(), "a.txt", "X");
    Add(engine.New(), "a.txt", "X");
    Add(engine.New(), "A.txt", "X");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"COPIED\t\"A.txt\"\tfrom\t\"a.txt\"", "MATCHED\t\"a.txt\""}));
  }
  {
    // Case variants of one path on both sides pair up exactly.
    CompareEngine engine;
    Add(engine.Old(), "A.txt", "X");
    Add(engine.Old(), "a.txt", "Y");
    Add(engine.New(), "a.txt", "Y");
    Add(engine.New(), "A.txt", "Z");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"CHANGED\t\"A.txt\"", "MATCHED\t\"a.txt\""}));
  }
}

TEST(CompareLists, MovedFileIsOneRename) {
  CompareEngine engine;
  Add(engine.Old(), "old\\f.bin", "X", 7);
  Add(engine.Old(), "keep", "K");
  Add(engine.New(), "keep", "K");
  Add(engine.New(), "new\\f.bin", "X", 7);
  EXPECT_EQ(engine.CompareLists(), 1);
  EXPECT_EQ(Results(engine), (Lines{"MATCHED\t\"keep\"", "RENAMED\t\"new\\f.bin\"\tfrom\t\"old\\f.bin\""}));
}

TEST(CompareLists, SameHashOtherSizeIsNoRename) {
  CompareEngine engine;
  Add(engine.Old(), "a", "X", 7);
  Add(engine.New(), "b", "X", 8);
  engine.CompareLists();
  EXPECT_EQ(Results(engine), (Lines{"DELETED\t\"a\"", "ADDED\t\"b\""}));
}

TEST(CompareLists, CopiedFile) {
  CompareEngine engine;
  Add(engine.Old(), "src", "X");
  Add(engine.New(), "src", "X");
  Add(engine.New(), "copy", "X");
  EXPECT_EQ(engine.CompareLists(), 1);
  EXPECT_EQ(Results(engine), (Lines{"COPIED\t\"copy\"\tfrom\t\"src\"", "MATCHED\t\"src\""}));
}

TEST(CompareLists, ChangedSourceOfRename) {
  CompareEngine engine;
  Add(engine.Old(), "A", "X");
  Add(engine.New(), "A", "Y");
  Add(engine.New(), "B", "X");
  engine.CompareLists();
  EXPECT_EQ(Results(engine), (Lines{"CHANGED\t\"A\"", "RENAMED\t\"B\"\tfrom\t\"A\""}));
}

TEST(CompareLists, OneRemovedTwoNewRenamesTheFirstInListOrder) {
  for (bool z_first : {true, false}) {
    CompareEngine engine;
    Add(engine.Old(), "m", "X");
    Add(engine.New(), z_first ? "z" : "b", "X");
    Add(engine.New(), z_first ? "b" : "z", "X");
    engine.CompareLists();
    if (z_first) {
      EXPECT_EQ(Results(engine), (Lines{"COPIED\t\"b\"\tfrom\t\"m\"", "RENAMED\t\"z\"\tfrom\t\"m\""}));
    } else {
      EXPECT_EQ(Results(engine), (Lines{"RENAMED\t\"b\"\tfrom\t\"m\"", "COPIED\t\"z\"\tfrom\t\"m\""}));
    }
  }
}

TEST(CompareLists, TwoRemovedTwoNewOfOneContent) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  Add(engine.Old(), "o1", "X");
  Add(engine.Old(), "o2", "X");
  Add(engine.New(), "n1", "X");
  Add(engine.New(), "n2", "X");
  engine.CompareLists();
  const Lines results = Results(engine);
  ASSERT_EQ(results.size(), 2u);
  std::set<std::string> sources;
  for (int i = 0; i < 2; ++i) {
    const HashItem& item = engine.New().Items(i);
    EXPECT_EQ(item.State(), hsRenamed);
    ASSERT_NE(item.Related(), nullptr);
    sources.insert(std::string(item.Related()->Path()));
  }
  EXPECT_EQ(sources, (std::set<std::string>{"o1", "o2"}));
  EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{"0 0 0 0 0 2"}));
}

TEST(CompareLists, RenameSourceIsTheRemovedOneNotTheMatchingOne) {
  for (bool removed_first : {true, false}) {
    CompareEngine engine;
    // Equal content: which comes first in hash order is not set, so both
    // list orders are tried.
    Add(engine.Old(), removed_first ? "removed" : "stays", "X");
    Add(engine.Old(), removed_first ? "stays" : "removed", "X");
    Add(engine.New(), "stays", "X");
    Add(engine.New(), "new", "X");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"RENAMED\t\"new\"\tfrom\t\"removed\"", "MATCHED\t\"stays\""}));
  }
}

TEST(CompareLists, RepeatedPathMatchesTheEntryWithItsContent) {
  CompareEngine engine;
  Add(engine.Old(), "p", "X");
  HashItem& second = Add(engine.Old(), "p", "Y");
  HashItem& item = Add(engine.New(), "p", "Y");
  EXPECT_EQ(engine.CompareLists(), 0);
  EXPECT_EQ(Results(engine), (Lines{"MATCHED\t\"p\""}));
  EXPECT_EQ(item.Related(), &second);
}

TEST(CompareLists, ChangedRelatesToTheFirstOldEntryOfItsPath) {
  CompareEngine engine;
  Add(engine.Old(), "p", "X");
  Add(engine.Old(), "p", "Y");
  HashItem& item = Add(engine.New(), "p", "Z");
  engine.CompareLists();
  EXPECT_EQ(item.State(), hsChanged);
  // The old list is in hash order now; its path order put one of the two first.
  ASSERT_NE(item.Related(), nullptr);
  EXPECT_EQ(item.Related()->Path(), "p");
}

// More files of one content have gone than new files of it appeared: each
// new file is the rename of one of them, the rest are deleted, and none is
// reported twice or lost.
TEST(CompareLists, ThreeRemovedOneNewOfOneContent) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  Add(engine.Old(), "r1", "X");
  Add(engine.Old(), "r2", "X");
  Add(engine.Old(), "r3", "X");
  HashItem& item = Add(engine.New(), "n", "X");
  EXPECT_EQ(engine.CompareLists(), 1);
  ASSERT_EQ(item.State(), hsRenamed);
  ASSERT_NE(item.Related(), nullptr);
  const std::string source(item.Related()->Path());
  EXPECT_EQ(item.Related()->Related(), &item);

  std::set<std::string> deleted;
  for (const std::string& line : Results(engine)) {
    if (line.starts_with("DELETED\t")) deleted.insert(line.substr(8));
  }
  std::set<std::string> expected{"\"r1\"", "\"r2\"", "\"r3\""};
  expected.erase("\"" + source + "\"");
  EXPECT_EQ(deleted, expected);
  EXPECT_EQ(engine.New().Count(), 3);
  EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{"0 0 0 2 0 1"}));
  // The old entries that are not its source are linked with nothing.
  for (int i = 0; i < engine.Old().Count(); ++i) {
    const HashItem& old = engine.Old().Items(i);
    if (old.Path() != source) {
      EXPECT_EQ(old.State(), hsDeleted);
      EXPECT_EQ(old.Related(), nullptr);
    }
  }
}

TEST(CompareLists, ThreeRemovedTwoNewOfOneContent) {
  CompareEngine engine;
  Add(engine.Old(), "r1", "X");
  Add(engine.Old(), "r2", "X");
  Add(engine.Old(), "r3", "X");
  Add(engine.New(), "n1", "X");
  Add(engine.New(), "n2", "X");
  engine.CompareLists();
  std::multiset<std::string> named;
  int renamed = 0;
  for (int i = 0; i < engine.New().Count(); ++i) {
    const HashItem& item = engine.New().Items(i);
    if (item.State() == hsRenamed) {
      ++renamed;
      named.insert(std::string(item.Related()->Path()));
    } else {
      EXPECT_EQ(item.State(), hsDeleted);
      named.insert(std::string(item.Path()));
    }
  }
  EXPECT_EQ(renamed, 2);
  EXPECT_EQ(named, (std::multiset<std::string>{"r1", "r2", "r3"}));
}

// Of several old files of one content, the one whose path vanished is the
// source of the rename; the others' paths hold other content now.
TEST(CompareLists, RenameSourceIsTheVanishedFile) {
  for (int order = 0; order < 3; ++order) {
    CompareEngine engine;
    const std::vector<std::string> names{"c1", "c2", "c3"};
    for (int k = 0; k < 3; ++k) Add(engine.Old(), names[static_cast<size_t>((k + order) % 3)], "X");
    Add(engine.New(), "c1", "Y");
    Add(engine.New(), "c2", "Z");
    Add(engine.New(), "n", "X");
    engine.CompareLists();
    EXPECT_EQ(Results(engine), (Lines{"CHANGED\t\"c1\"", "CHANGED\t\"c2\"", "RENAMED\t\"n\"\tfrom\t\"c3\""}));
    for (int i = 0; i < engine.Old().Count(); ++i) {
      const HashItem& old = engine.Old().Items(i);
      EXPECT_EQ(old.State(), old.Path() == "c3" ? hsRenamed : hsChanged);
      EXPECT_EQ(old.Related() != nullptr, old.Path() == "c3");
    }
  }
}

// Two candidates that both vanished and one that did not: the rename takes
// one of the vanished ones and the other is DELETED; the one whose path
// holds other content now is only CHANGED.
TEST(CompareLists, UnusedCandidateWithLivePathIsNotDeleted) {
  CompareEngine engine;
  Add(engine.Old(), "c1", "X");
  Add(engine.Old(), "g1", "X");
  Add(engine.Old(), "g2", "X");
  Add(engine.New(), "c1", "Y");
  Add(engine.New(), "n", "X");
  engine.CompareLists();
  const HashItem* item = FindNew(engine, "n", hsRenamed);
  ASSERT_NE(item, nullptr);
  const std::string source(item->Related()->Path());
  ASSERT_TRUE(source == "g1" || source == "g2") << source;
  const std::string other = source == "g1" ? "g2" : "g1";
  EXPECT_EQ(Results(engine), (Lines{"CHANGED\t\"c1\"", "DELETED\t\"" + other + "\"",
                                    "RENAMED\t\"n\"\tfrom\t\"" + source + "\""}));
}

TEST(CompareLists, ExactEventTrace) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  Add(engine.Old(), "a", "X");
  Add(engine.Old(), "b", "Y");
  Add(engine.Old(), "c", "Z");
  Add(engine.Old(), "f", "U");
  Add(engine.New(), "a", "X");
  Add(engine.New(), "b", "W");
  Add(engine.New(), "d", "Z");
  Add(engine.New(), "e", "V");
  Add(engine.New(), "g", "X");
  EXPECT_EQ(engine.CompareLists(), 1);
  Lines expected{"vstComparingHashlists"};
  for (int i = 0; i <= 18; ++i) expected.push_back("progress " + std::to_string(i) + "/18");
  for (const char* line : {"vstSortingResults", "vstWritingResults", "vstMatchOutput MATCHED\t\"a\"",
                           "vstMatchOutput CHANGED\t\"b\"", "vstMatchOutput RENAMED\t\"d\"\tfrom\t\"c\"",
                           "vstMatchOutput ADDED\t\"e\"", "vstMatchOutput DELETED\t\"f\"",
                           "vstMatchOutput COPIED\t\"g\"\tfrom\t\"a\"", "vstMatchStats 1 1 1 1 1 1"}) {
    expected.push_back(line);
  }
  EXPECT_EQ(recorder.Trace(), expected);
  // Each result event carries the entry of the result list itself.
  for (const testing::RecordedEvent& event : recorder.events()) {
    if (!event.is_progress && event.state == vstMatchOutput) {
      EXPECT_GE(engine.New().IndexOf(event.item), 0);
    }
  }
}

TEST(CompareLists, OutputFileBytes) {
  TempDir dir;
  CompareEngine engine;
  const std::string out = dir.File("out.txt");
  engine.SetOutputFileName(out);
  Add(engine.Old(), "a", "X");
  Add(engine.Old(), "c", "QUJDRA==", 1234);
  Add(engine.New(), "a", "X");
  HashItem& added = Add(engine.New(), "b", "WVla", 100);
  added.SetDate(EncodeDate(2021, 3, 4) + EncodeTime(5, 6, 7, 89));
  Add(engine.New(), "d\\\xC3\xA9", "QUJDRA==", 1234);
  EXPECT_EQ(engine.CompareLists(), 1);
  const std::string expected = std::string(kBom) + "ADDED\t" + added.AsString() + "\r\n" +
                               "RENAMED\t\"d\\\xC3\xA9\"" + std::string(75 + 2, ' ') + "      1234 QUJDRA==" +
                               "\tfrom\t\"c\"\r\n";
  EXPECT_EQ(ReadFile(out), expected);
  EXPECT_TRUE(ReadFile(out).find("ADDED\t\"b\"" + std::string(77, ' ') + " ") != std::string::npos);
}

TEST(CompareLists, OutputFileIsReplaced) {
  TempDir dir;
  CompareEngine engine;
  const std::string out = dir.Write("out.txt", "old contents that are longer than the new ones\r\n");
  engine.SetOutputFileName(out);
  Add(engine.New(), "x", "X", 1);
  engine.CompareLists();
  EXPECT_EQ(ReadFile(out), std::string(kBom) + "ADDED\t" + engine.New().Items(0).AsString() + "\r\n");
}

TEST(CompareLists, NoProgressNoEventsButAbortChecks) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  engine.SetShowProgress(false);
  Add(engine.Old(), "a", "X");
  Add(engine.Old(), "b", "Y");
  Add(engine.New(), "b", "Y");
  Add(engine.New(), "c", "X");
  Add(engine.New(), "d", "Z");
  EXPECT_EQ(engine.CompareLists(), 1);
  EXPECT_TRUE(recorder.events().empty());
  EXPECT_EQ(engine.abort_checks, 2 * 2 + 2 * 3 + 1);

  engine.Abort();
  EXPECT_THROW(engine.CompareLists(), EDelayedAbort);
  EXPECT_TRUE(recorder.events().empty());
}

TEST(CompareLists, AbortBeforeTheLastStepStopsWithoutResults) {
  TempDir dir;
  const int64_t total = 2 * 3 + 2 * 3;
  for (int64_t at = 0; at < total; ++at) {
    SCOPED_TRACE(at);
    CompareEngine engine;
    EventRecorder recorder(engine);
    recorder.on_progress = [at](Verify& sender, int64_t position, int64_t) {
      if (position == at) sender.Abort();
    };
    engine.SetOutputFileName(dir.File("out.txt"));
    engine.SetHideStates({});
    for (const char* path : {"a", "b", "c"}) Add(engine.Old(), path, path);
    for (const char* path : {"a", "d", "e"}) Add(engine.New(), path, path);
    try {
      engine.CompareLists();
      ADD_FAILURE() << "no abort";
    } catch (const EDelayedAbort& e) {
      EXPECT_STREQ(e.what(), "Task aborted.");
    }
    EXPECT_EQ(recorder.events().back().ToString(),
              "progress " + std::to_string(at) + "/" + std::to_string(total));
    EXPECT_EQ(recorder.Count(vstSortingResults), 0);
    EXPECT_EQ(recorder.Count(vstMatchOutput), 0);
    EXPECT_EQ(recorder.Count(vstMatchStats), 0);
    EXPECT_FALSE(Exists(dir.File("out.txt")));
  }
}

TEST(CompareLists, AbortInTheLastStepIsLeftForLater) {
  TempDir dir;
  CompareEngine engine;
  EventRecorder recorder(engine);
  recorder.on_progress = [](Verify& sender, int64_t position, int64_t max) {
    if (position == max) sender.Abort();
  };
  engine.SetOutputFileName(dir.File("out.txt"));
  Add(engine.Old(), "a", "X");
  Add(engine.New(), "b", "Y");
  EXPECT_EQ(engine.CompareLists(), 1);
  EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{"0 1 0 1 0 0"}));
  EXPECT_TRUE(Exists(dir.File("out.txt")));
  // The request is still pending: the next comparison stops at its first step.
  recorder.on_progress = nullptr;
  recorder.Clear();
  EXPECT_THROW(engine.CompareLists(), EDelayedAbort);
  EXPECT_EQ(recorder.Trace(), (Lines{"vstComparingHashlists"}));
}

// A second comparison of the same old list: the links of the first, to new
// entries that are gone now, play no part.
TEST(CompareLists, LinksOfAnEarlierRunAreIgnored) {
  CompareEngine engine;
  Add(engine.Old(), "r1", "X");
  Add(engine.Old(), "r2", "X");
  Add(engine.New(), "n", "X");
  engine.CompareLists();
  engine.New().Clear();
  Add(engine.New(), "m", "X");
  Add(engine.New(), "r2", "Y");
  engine.CompareLists();
  EXPECT_EQ(Results(engine), (Lines{"RENAMED\t\"m\"\tfrom\t\"r1\"", "CHANGED\t\"r2\""}));
}

TEST(CompareLists, HandlerExceptionDuringProgressPassesOn) {
  CompareEngine engine;
  EventRecorder recorder(engine);
  recorder.on_progress = [](Verify&, int64_t position, int64_t) {
    if (position == 2) throw EAbort("Operation aborted");
  };
  Add(engine.Old(), "a", "X");
  Add(engine.New(), "a", "X");
  EXPECT_THROW(engine.CompareLists(), EAbort);
  EXPECT_EQ(recorder.Count(vstMatchStats), 0);
}

TEST(CompareLists, OutputFileThatCannotBeCreated) {
  TempDir dir;
  CompareEngine engine;
  EventRecorder recorder(engine);
  engine.SetOutputFileName(dir.File("missing/out.txt"));
  Add(engine.New(), "a", "X");
  Add(engine.New(), "b", "Y");
  EXPECT_THROW(engine.CompareLists(), EFCreateError);
  // It failed at the first entry to be written, before its event.
  EXPECT_EQ(recorder.Count(vstMatchOutput), 0);
  EXPECT_EQ(recorder.Count(vstMatchStats), 0);
}

TEST(CompareLists, OutputFileWriteFailure) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CompareEngine engine;
  EventRecorder recorder(engine);
  engine.SetOutputFileName("/dev/full");
  for (int i = 0; i < 50; ++i) {
    const std::string number = std::to_string(i);
    Add(engine.New(), std::string("file ").append(number), std::string("X").append(number));
  }
  EXPECT_THROW(engine.CompareLists(), EWriteError);
  EXPECT_EQ(recorder.Count(vstMatchStats), 0);
}

// Random lists with few paths and few contents: whatever the pairing, every
// old file is accounted for exactly once and the states fit their meaning.
TEST(CompareLists, RandomListsKeepEveryFileAccountedFor) {
  std::mt19937 rng(20240611);
  const std::vector<std::string> paths{"a", "A", "b", "c", "d\\e", "D\\e", "f", "g", "h"};
  const std::vector<std::string> hashes{"H1", "H2", "H3"};
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    CompareEngine engine;
    EventRecorder recorder(engine);
    std::map<std::string, std::pair<std::string, int64_t>> old_files;
    std::map<std::string, std::pair<std::string, int64_t>> new_files;
    std::vector<std::string> shuffled = paths;
    for (auto* files : {&old_files, &new_files}) {
      std::shuffle(shuffled.begin(), shuffled.end(), rng);
      const size_t n = rng() % (shuffled.size() + 1);
      for (size_t i = 0; i < n; ++i) {
        const std::string& hash = hashes[rng() % hashes.size()];
        const int64_t size = static_cast<int64_t>(rng() % 2);
        (*files)[shuffled[i]] = {hash, size};
        Add(files == &old_files ? engine.Old() : engine.New(), shuffled[i], hash, size);
      }
    }
    const int64_t total = 2 * static_cast<int64_t>(old_files.size() + new_files.size());
    engine.CompareLists();

    // Progress: every step once, in order.
    int64_t expected_position = 0;
    for (const testing::RecordedEvent& event : recorder.events()) {
      if (!event.is_progress) continue;
      EXPECT_EQ(event.position, expected_position++);
      EXPECT_EQ(event.max, total);
    }
    EXPECT_EQ(expected_position, total + 1);

    const auto holds = [](const std::map<std::string, std::pair<std::string, int64_t>>& files,
                          const std::string& path, const HashText& hash, int64_t size) {
      const auto it = files.find(path);
      return it != files.end() && it->second.first == hash && it->second.second == size;
    };
    HashList& result = engine.New();
    std::set<const HashItem*> sources;
    std::multiset<std::string> deleted;
    int counts[6] = {};
    std::vector<const HashItem*> copied;
    for (int i = 0; i < result.Count(); ++i) {
      const HashItem& item = result.Items(i);
      ++counts[item.State()];
      if (i > 0) {
        EXPECT_LT(CompareByPath(result.Items(i - 1), item), 0);
      }
      const std::string path(item.Path());
      if (item.State() == hsDeleted) {
        deleted.insert(path);
        continue;
      }
      ASSERT_TRUE(new_files.contains(path));
      const auto old_it = old_files.find(path);
      if (old_it != old_files.end()) {
        const bool same = old_it->second == std::make_pair(std::string(item.Hash()), item.Size());
        EXPECT_EQ(item.State(), same ? hsOK : hsChanged);
        continue;
      }
      bool content_was_there = false;
      for (const auto& [old_path, content] : old_files) {
        content_was_there |= content == std::make_pair(std::string(item.Hash()), item.Size());
      }
      if (!content_was_there) {
        EXPECT_EQ(item.State(), hsNew);
        EXPECT_EQ(item.Related(), nullptr);
        continue;
      }
      ASSERT_TRUE(item.State() == hsCopied || item.State() == hsRenamed);
      ASSERT_NE(item.Related(), nullptr);
      EXPECT_GE(engine.Old().IndexOf(item.Related()), 0);
      EXPECT_EQ(CompareByHash(item, *item.Related()), 0);
      if (item.State() == hsRenamed) {
        EXPECT_TRUE(sources.insert(item.Related()).second) << "source named twice";
        EXPECT_EQ(item.Related()->Related(), &item);
        // The source's path does not hold that content any more.
        EXPECT_FALSE(holds(new_files, std::string(item.Related()->Path()), item.Hash(), item.Size()));
      } else {
        copied.push_back(&item);
      }
    }
    // A copy only where every old file of its content stayed or was renamed.
    for (const HashItem* item : copied) {
      for (int j = 0; j < engine.Old().Count(); ++j) {
        const HashItem& old = engine.Old().Items(j);
        if (CompareByHash(old, *item) != 0) continue;
        EXPECT_TRUE(holds(new_files, std::string(old.Path()), old.Hash(), old.Size()) ||
                    sources.contains(&old));
      }
    }
    // Deleted: exactly the vanished old files that are no rename's source.
    std::multiset<std::string> expected_deleted;
    for (const auto& [path, content] : old_files) {
      if (new_files.contains(path)) continue;
      bool is_source = false;
      for (const HashItem* source : sources) is_source |= source->Path() == path;
      if (!is_source) expected_deleted.insert(path);
    }
    EXPECT_EQ(deleted, expected_deleted);
    // A rename comes from a path that still exists only when no vanished
    // file of that content is left over.
    for (const HashItem* source : sources) {
      if (!new_files.contains(std::string(source->Path()))) continue;
      for (int i = 0; i < result.Count(); ++i) {
        const HashItem& item = result.Items(i);
        EXPECT_FALSE(item.State() == hsDeleted && CompareByHash(item, *source) == 0) << item.Path();
      }
    }
    const std::string stats = std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " +
                              std::to_string(counts[2]) + " " + std::to_string(counts[3]) + " " +
                              std::to_string(counts[4]) + " " + std::to_string(counts[5]);
    EXPECT_EQ(recorder.Summaries(vstMatchStats), (Lines{stats}));
  }
}

// The comparison as a plain reading of its steps: binary searches of the
// list, whole-list passes, renames settled over the old list in hash order.
void ReferenceCompare(HashList& new_list, HashList& old_list) {
  const int old_count = old_list.Count();
  const int new_count = new_list.Count();
  for (int i = 0; i < old_count; ++i) old_list.Items(i).SetState(hsDeleted);
  old_list.SortByPath();
  int index = 0;
  for (int i = 0; i < new_count; ++i) {
    HashItem& item = new_list.Items(i);
    if (!old_list.FindByPath(item.Path(), index)) {
      item.SetRelated(nullptr);
      item.SetState(hsNew);
      continue;
    }
    item.SetState(hsChanged);
    item.SetRelated(&old_list.Items(index));
    for (int j = index; j < old_count && CompareByPath(item, old_list.Items(j)) == 0; ++j) {
      HashItem& old = old_list.Items(j);
      if (CompareByHash(item, old) != 0) {
        if (old.State() == hsDeleted) old.SetState(hsChanged);
      } else {
        if (item.State() != hsOK) {
          item.SetState(hsOK);
          item.SetRelated(&old);
        }
        old.SetState(hsOK);
      }
    }
  }
  std::set<const HashItem*> path_present;
  for (int j = 0; j < old_count; ++j) {
    if (old_list.Items(j).State() == hsChanged) path_present.insert(&old_list.Items(j));
  }
  old_list.SortByHash();
  for (int i = 0; i < new_count; ++i) {
    HashItem& item = new_list.Items(i);
    const HashText hash = item.Hash();
    if (item.State() != hsNew || !old_list.FindByHash(hash, item.Size(), index)) continue;
    item.SetState(hsCopied);
    item.SetRelated(&old_list.Items(index));
    for (int j = index; j < old_count && CompareByHash(item, old_list.Items(j)) == 0; ++j) {
      HashItem& old = old_list.Items(j);
      if (old.State() == hsOK) continue;
      old.SetState(hsRenamed);
      if (old.Related() == nullptr || old.Related()->Related() != &old) {
        item.SetRelated(&old);
        old.SetRelated(&item);
      }
    }
  }
  // Each linked new entry renames the old entry it names, unless that path
  // still exists and another old entry naming it vanished: then the first
  // such one in hash order.
  std::map<HashItem*, HashItem*> source;
  for (int j = 0; j < old_count; ++j) {
    HashItem& old = old_list.Items(j);
    if (old.State() != hsRenamed) continue;
    HashItem* partner = old.Related();
    if (!source.contains(partner)) source[partner] = partner->Related();
    if (!path_present.contains(&old) && path_present.contains(source[partner]) &&
        source[partner] == partner->Related()) {
      source[partner] = &old;
    }
  }
  for (auto& [partner, old] : source) partner->SetRelated(old);
  for (int j = 0; j < old_count; ++j) {
    HashItem& old = old_list.Items(j);
    if (old.State() == hsRenamed) {
      if (old.Related()->Related() == &old) {
        old.Related()->SetState(hsRenamed);
      } else {
        old.SetRelated(nullptr);
        old.SetState(path_present.contains(&old) ? hsChanged : hsDeleted);
      }
    }
    if (old.State() == hsDeleted) new_list.AddCopy(old);
  }
  new_list.SortByPath();
}

// Entries by value, links by the position of the old entry in the input
// (which both runs take in the same order; the comparison may reorder the
// list) or by the new entry's value.
using InputPositions = std::map<const HashItem*, int>;

InputPositions PositionsOf(const HashList& list) {
  InputPositions positions;
  for (int j = 0; j < list.Count(); ++j) positions[&list.Items(j)] = j;
  return positions;
}

std::multiset<std::string> Canonical(HashList& new_list, HashList& old_list,
                                     const InputPositions& old_positions) {
  const auto value = [](const HashItem& item) {
    return std::to_string(item.State()) + "|" + std::string(item.Path()) + "|" + std::string(item.Hash()) +
           "|" + std::to_string(item.Size());
  };
  std::multiset<std::string> out;
  for (int i = 0; i < new_list.Count(); ++i) {
    const HashItem& item = new_list.Items(i);
    out.insert("new " + value(item) + " -> " +
               (item.Related() ? std::to_string(old_positions.at(item.Related())) : std::string("none")));
  }
  for (int j = 0; j < old_list.Count(); ++j) {
    const HashItem& old = old_list.Items(j);
    out.insert("old " + std::to_string(old_positions.at(&old)) + " " + value(old) + " -> " +
               (old.Related() ? value(*old.Related()) : std::string("none")));
  }
  return out;
}

TEST(CompareLists, AgreesWithThePlainReading) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const int path_pool = 2 + static_cast<int>(rng() % 120);
    const int contents = 1 + static_cast<int>(rng() % 12);
    const bool sorted_input = rng() % 2 == 0;
    std::vector<std::string> paths;
    for (int p = 0; p < path_pool; ++p) {
      std::string path = (p % 7 == 0 ? "Dir\\" : "dir\\") + std::to_string(p % 50);
      if (p >= 50) path += "x";
      paths.push_back(path);
    }
    CompareEngine engine;
    CompareEngine reference;
    engine.SetShowProgress(false);
    for (int side = 0; side < 2; ++side) {
      std::vector<std::pair<std::string, std::string>> entries;
      const int n = static_cast<int>(rng() % 150);
      for (int k = 0; k < n; ++k) {
        // Repeated paths now and then, as a hand-edited list may hold them.
        std::string hash("C");
        hash.append(std::to_string(rng() % contents));
        entries.emplace_back(paths[rng() % paths.size()], std::move(hash));
      }
      if (sorted_input) {
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return ComparePaths(a.first, b.first) < 0; });
        if (rng() % 2 == 0) {
          entries.erase(std::unique(entries.begin(), entries.end(),
                                    [](const auto& a, const auto& b) { return a.first == b.first; }),
                        entries.end());
        }
      }
      for (const auto& [path, hash] : entries) {
        Add(side == 0 ? engine.Old() : engine.New(), path, hash);
        Add(side == 0 ? reference.Old() : reference.New(), path, hash);
      }
    }
    const InputPositions engine_positions = PositionsOf(engine.Old());
    const InputPositions reference_positions = PositionsOf(reference.Old());
    engine.CompareLists();
    ReferenceCompare(reference.New(), reference.Old());
    EXPECT_EQ(Canonical(engine.New(), engine.Old(), engine_positions),
              Canonical(reference.New(), reference.Old(), reference_positions));
  }
}

// Hash-list files for Match.
std::string ListLine(const std::string& path, const std::string& hash, int64_t size) {
  HashItem item;
  item.SetPath(path);
  item.SetHash(hash);
  item.SetSize(size);
  item.SetDate(EncodeDate(2020, 1, 2) + EncodeTime(3, 4, 5, 6));
  return item.AsString();
}

std::string ToUtf16Le(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t c = DecodeUtf8(utf8, pos);
    const auto put = [&out](char32_t unit) {
      out.push_back(static_cast<char>(unit & 0xFF));
      out.push_back(static_cast<char>(unit >> 8));
    };
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

// Windows-1252 for text that holds ASCII and e-acute only.
std::string ToAnsi(std::string_view utf8) {
  std::string out;
  size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t c = DecodeUtf8(utf8, pos);
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string Encode(std::string_view utf8, int encoding) {
  switch (encoding) {
    case 0: return std::string(kBom) + std::string(utf8);
    case 1: return ToUtf16Le(utf8);
    default: return ToAnsi(utf8);
  }
}

class MatchCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.SetHashesFileName(dir_.File("new.txt"));
    engine_.SetMatchListFileName(dir_.File("old.txt"));
    engine_.SetOutputFileName(dir_.File("out.txt"));
  }
  TempDir dir_;
  CompareEngine engine_;
};

const char kEacute[] = "\xC3\xA9";

std::string NewListText() {
  return "; comment\r\n" + ListLine(std::string("r") + kEacute + "sum" + kEacute + ".txt", "QUJD", 3) +
         "\r\n" + ListLine("dir\\same.txt", "U0FNRQ==", 4) + "\r\n" + ListLine("added.txt", "TkVX", 3) +
         "\r\n";
}

std::string OldListText() {
  return ListLine("dir\\same.txt", "U0FNRQ==", 4) + "\r\n" + ListLine("old.txt", "QUJD", 3) + "\r\n" +
         ListLine("gone.txt", "R09ORQ==", 4) + "\r\n";
}

TEST_F(MatchCommand, ComparesTwoFiles) {
  EventRecorder recorder(engine_);
  dir_.Write("new.txt", Encode(NewListText(), 0));
  dir_.Write("old.txt", Encode(OldListText(), 0));
  EXPECT_EQ(engine_.Match(), 1);
  EXPECT_EQ(Results(engine_),
            (Lines{"ADDED\t\"added.txt\"", "MATCHED\t\"dir\\same.txt\"", "DELETED\t\"gone.txt\"",
                   std::string("RENAMED\t\"r") + kEacute + "sum" + kEacute + ".txt\"\tfrom\t\"old.txt\""}));
  EXPECT_EQ(recorder.Trace(false),
            (Lines{"vstLoadingHashFile " + dir_.File("new.txt"), "vstProgressDone",
                   "vstLoadingHashFile " + dir_.File("old.txt"), "vstProgressDone", "vstComparingHashlists",
                   "vstSortingResults", "vstWritingResults", "vstMatchOutput ADDED\t\"added.txt\"",
                   "vstMatchOutput MATCHED\t\"dir\\same.txt\"", "vstMatchOutput DELETED\t\"gone.txt\"",
                   std::string("vstMatchOutput RENAMED\t\"r") + kEacute + "sum" + kEacute +
                       ".txt\"\tfrom\t\"old.txt\"",
                   "vstMatchStats 1 1 0 1 0 1"}));
  const std::string out = ReadFile(dir_.File("out.txt"));
  EXPECT_EQ(out, std::string(kBom) + "ADDED\t" + ListLine("added.txt", "TkVX", 3) + "\r\n" + "DELETED\t" +
                     ListLine("gone.txt", "R09ORQ==", 4) + "\r\n" + "RENAMED\t" +
                     ListLine(std::string("r") + kEacute + "sum" + kEacute + ".txt", "QUJD", 3) +
                     "\tfrom\t\"old.txt\"\r\n");
}

TEST_F(MatchCommand, EncodingsOfTheListFilesDoNotMatter) {
  std::string reference;
  for (int new_encoding = 0; new_encoding < 3; ++new_encoding) {
    for (int old_encoding = 0; old_encoding < 3; ++old_encoding) {
      SCOPED_TRACE(std::to_string(new_encoding) + "/" + std::to_string(old_encoding));
      dir_.Write("new.txt", Encode(NewListText(), new_encoding));
      dir_.Write("old.txt", Encode(OldListText(), old_encoding));
      EXPECT_EQ(engine_.Match(), 1);
      const std::string out = ReadFile(dir_.File("out.txt"));
      if (reference.empty()) reference = out;
      EXPECT_EQ(out, reference);
    }
  }
  EXPECT_NE(reference.find(std::string("RENAMED\t\"r") + kEacute + "sum" + kEacute + ".txt\""),
            std::string::npos);
}

TEST_F(MatchCommand, IdenticalFilesRemoveAnEarlierOutputFile) {
  dir_.Write("new.txt", Encode(OldListText(), 0));
  dir_.Write("old.txt", Encode(OldListText(), 1));
  dir_.Write("out.txt", "earlier results\r\n");
  // Both lists are emptied first, so leftovers play no part.
  Add(engine_.New(), "stale", "X");
  Add(engine_.Old(), "stale old", "Y");
  EXPECT_EQ(engine_.Match(), 0);
  EXPECT_FALSE(Exists(dir_.File("out.txt")));
  EXPECT_EQ(engine_.New().Count(), 3);
  EXPECT_EQ(engine_.Old().Count(), 3);
}

TEST_F(MatchCommand, RulesFilterBothLists) {
  dir_.Write("new.txt", Encode(NewListText(), 0));
  dir_.Write("old.txt", Encode(OldListText(), 0));
  engine_.AddIncludeExcludeMask("*.txt", iemInclude);
  engine_.AddIncludeExcludeMask("gone.txt", iemExclude);
  engine_.AddIncludeExcludeMask("added.txt", iemExclude);
  EXPECT_EQ(engine_.Match(), 1);
  EXPECT_EQ(Results(engine_),
            (Lines{"MATCHED\t\"dir\\same.txt\"",
                   std::string("RENAMED\t\"r") + kEacute + "sum" + kEacute + ".txt\"\tfrom\t\"old.txt\""}));
}

TEST_F(MatchCommand, MissingMatchFileStopsBeforeTheComparison) {
  EventRecorder recorder(engine_);
  dir_.Write("new.txt", Encode(NewListText(), 0));
  EXPECT_THROW(engine_.Match(), EFOpenError);
  EXPECT_EQ(recorder.Count(vstComparingHashlists), 0);
  EXPECT_FALSE(Exists(dir_.File("out.txt")));
}

TEST_F(MatchCommand, BadLineStopsBeforeTheComparison) {
  EventRecorder recorder(engine_);
  dir_.Write("new.txt", Encode(NewListText(), 0));
  dir_.Write("old.txt", Encode(OldListText() + "not a hash-list line\r\n", 0));
  EXPECT_THROW(engine_.Match(), EHashItemError);
  EXPECT_EQ(recorder.Count(vstComparingHashlists), 0);
}

TEST_F(MatchCommand, OutputFileMustNotBeAListFile) {
  dir_.Write("new.txt", Encode(NewListText(), 0));
  dir_.Write("old.txt", Encode(OldListText(), 0));
  engine_.SetOutputFileName(dir_.File("old.txt"));
  EXPECT_THROW(engine_.Match(), EFCreateError);
  EXPECT_EQ(ReadFile(dir_.File("old.txt")), Encode(OldListText(), 0));
}

}  // namespace
}  // namespace hv
