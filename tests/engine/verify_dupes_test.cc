#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/event_recorder.h"
#include "engine/verify.h"
#include "helpers/temp_dir.h"

namespace hv {
namespace {

std::string Line(const std::string& path, const std::string& hash, int64_t size) {
  HashItem item;
  item.SetPath(path);
  item.SetHash(hash);
  item.SetSize(size);
  return item.AsString();
}

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class VerifyDupesTest : public ::testing::Test {
 protected:
  VerifyDupesTest() : recorder_(verify_) { verify_.Clear(); }

  std::string WriteList(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return dir_.Write(name, text);
  }

  testing::TempDir dir_;
  Verify verify_;
  testing::EventRecorder recorder_;
};

TEST_F(VerifyDupesTest, WithinOneListEveryPairIsReportedBothWaysInHashOrder) {
  verify_.SetHashesFileName(WriteList("l.txt", {Line("c", "BBBB", 5), Line("a", "AAAA", 1), Line("x", "ZZZZ", 9),
                                                Line("b", "BBBB", 5), Line("d", "AAAA", 1), Line("e", "AAAA", 1),
                                                Line("f", "BBBB", 6)}));
  verify_.SetOutputFileName(dir_.File("out.txt"));
  EXPECT_EQ(verify_.Dupes(true), 0);

  // Three entries of one content give six lines; an equal hash of another
  // size is no pair.
  const std::vector<std::string> shown = recorder_.Summaries(vstDupesOutput);
  ASSERT_EQ(shown.size(), 8u);
  for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(shown[i].find("AAAA") == std::string::npos);
  EXPECT_EQ(shown[0].substr(0, 7), "COPIED\t");
  std::vector<std::string> pairs;
  for (const testing::RecordedEvent& e : recorder_.events()) {
    if (!e.is_progress && e.state == vstDupesOutput) {
      pairs.push_back(std::string(e.item->Path()) + "<" + std::string(e.related->Path()));
    }
  }
  // The searched list is sorted by hash, so the AAAA group comes first; the
  // partners of each entry follow in that same order.
  ASSERT_EQ(pairs.size(), 8u);
  std::vector<std::string> sorted_pairs(pairs.begin(), pairs.begin() + 6);
  std::sort(sorted_pairs.begin(), sorted_pairs.end());
  EXPECT_EQ(sorted_pairs, (std::vector<std::string>{"a<d", "a<e", "d<a", "d<e", "e<a", "e<d"}));
  std::vector<std::string> b_group(pairs.begin() + 6, pairs.end());
  std::sort(b_group.begin(), b_group.end());
  EXPECT_EQ(b_group, (std::vector<std::string>{"b<c", "c<b"}));

  const std::string out = ReadAll(dir_.File("out.txt"));
  EXPECT_EQ(out.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_NE(out.find("COPIED\t" + Line("b", "BBBB", 5) + "\tfrom\t\"c\"\r\n"), std::string::npos);

  const std::vector<std::string> stats = recorder_.Summaries(vstDupesStats);
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0], "0 2 0 0 5 0");  // x and f alone; five entries with a twin
}

TEST_F(VerifyDupesTest, BetweenTwoListsOnlyTheFirstListIsExamined) {
  verify_.SetHashesFileName(WriteList("a.txt", {Line("one", "H1", 1), Line("two", "H2", 2), Line("three", "H3", 3)}));
  verify_.SetMatchListFileName(WriteList("b.txt", {Line("x", "H1", 1), Line("y", "H1", 1), Line("z", "H1", 1),
                                                   Line("two", "H2", 2), Line("w", "H3", 4)}));
  EXPECT_EQ(verify_.Dupes(false), 0);
  std::vector<std::string> pairs;
  for (const testing::RecordedEvent& e : recorder_.events()) {
    if (!e.is_progress && e.state == vstDupesOutput) {
      pairs.push_back(std::string(e.item->Path()) + "<" + std::string(e.related->Path()));
    }
  }
  // The first list keeps its file order; the partners come in the order the
  // sort by hash left the run of equal keys in (reversed here); an entry with
  // the same path in the other list is still a different entry.
  EXPECT_EQ(pairs, (std::vector<std::string>{"one<z", "one<y", "one<x", "two<two"}));
  EXPECT_EQ(recorder_.Summaries(vstDupesStats), std::vector<std::string>{"0 1 0 0 2 0"});
  EXPECT_EQ(verify_.GetHashList().Items(2).State(), hsNew);
}

TEST_F(VerifyDupesTest, AnEmptyListReportsOneStepAndAnEmptyOutputFile) {
  verify_.SetHashesFileName(WriteList("e.txt", {}));
  verify_.SetOutputFileName(dir_.File("out.txt"));
  EXPECT_EQ(verify_.Dupes(true), 0);
  EXPECT_EQ(recorder_.Trace(), (std::vector<std::string>{"vstLoadingHashFile " + dir_.File("e.txt"),
                                                         "vstProgressDone", "vstLookingForDupes",
                                                         "progress 0/0", "vstDupesStats 0 0 0 0 0 0"}));
  EXPECT_EQ(ReadAll(dir_.File("out.txt")), "");
}

TEST_F(VerifyDupesTest, WithoutProgressNothingIsSentButTheFileIsWritten) {
  verify_.SetShowProgress(false);
  verify_.SetHashesFileName(WriteList("l.txt", {Line("a", "H", 1), Line("b", "H", 1)}));
  verify_.SetOutputFileName(dir_.File("out.txt"));
  EXPECT_EQ(verify_.Dupes(true), 0);
  EXPECT_TRUE(recorder_.events().empty());
  const std::string out = ReadAll(dir_.File("out.txt"));
  EXPECT_NE(out.find("\tfrom\t\"b\"\r\n"), std::string::npos);
  EXPECT_NE(out.find("\tfrom\t\"a\"\r\n"), std::string::npos);
}

TEST_F(VerifyDupesTest, AnAbortDuringTheSearchKeepsTheLinesWrittenSoFar) {
  verify_.SetHashesFileName(WriteList("l.txt", {Line("a", "H", 1), Line("b", "H", 1), Line("c", "H", 1)}));
  verify_.SetOutputFileName(dir_.File("out.txt"));
  recorder_.on_progress = [](Verify& sender, int64_t position, int64_t) {
    if (position == 1) sender.Abort();
  };
  EXPECT_THROW(verify_.Dupes(true), EDelayedAbort);
  EXPECT_EQ(recorder_.Count(vstDupesStats), 0);
  const std::string out = ReadAll(dir_.File("out.txt"));
  // Requested after the first entry, the abort comes at the check after the
  // second: the lines of two entries stay, none of the third's.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
}

}  // namespace
}  // namespace hv
