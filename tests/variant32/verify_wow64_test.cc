// The switch around Build, Redure and Update, driven through fake entry
// points on a fake file system.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/event_recorder.h"
#include "engine/verify.h"
#include "helpers/fake_file_system.h"
#include "platform/file_system.h"
#include "support/exceptions.h"
#include "variant32/fake_wow64.h"

namespace hv {
namespace {

using testing::FakeFileSystem;
using testing::FakeWow64;
using Trace = std::vector<std::string>;

HV_DECLARE_EXCEPTION(ETestAbort, EAbort);

constexpr char kList[] = "/w/list.txt";
constexpr char kOut[] = "/w/out.txt";
constexpr char kSwitchOffFailed[] = "Failed to change WoW64 redirection state to 0.";
constexpr char kRestoreFailed[] = "Failed to change WoW64 redirection state to 1.";
const std::string kSaved = "revert 0x5a5a";

class Wow64Engine : public Verify {
 public:
  using Verify::ChangeWow64RedirectionState;
  void* SavedValue() const { return wow64_redirection_old_value_donotchange_; }
};

void* Value(uintptr_t value) { return reinterpret_cast<void*>(value); }

// The message of the EOSError that `command` throws.
std::string OSErrorOf(const std::function<void()>& command) {
  try {
    command();
  } catch (const EOSError& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no EOSError";
  return {};
}

class Wow64EngineTest : public ::testing::Test {
 protected:
  Wow64EngineTest() {
    fs_.SetCurrentDirectory("/w");
    fs_.AddDirectory("/w");
    fs_.AddDirectory("/w/tree");
    fs_.AddFile("/w/tree/a.txt", "a", 1000);
    engine_.Clear();
    engine_.SetHashesFileName(kList);
    engine_.BaseDirectories().push_back("/w/tree");
    // State changes go into the same trace as the entry-point calls.
    engine_.SetOnStateChange([this](Verify&, VerifyState state, const StateChangeObject*) {
      wow64_.trace.emplace_back(testing::VerifyStateName(state));
      if (on_state_) on_state_(state);
    });
  }

  // A list of the tree as it is, made without the switch.
  void MakeList() {
    engine_.SetDisableWow64(false);
    ASSERT_EQ(engine_.Build(), 0);
    engine_.SetDisableWow64(true);
    wow64_.trace.clear();
  }

  bool Exists(const std::string& name) { return fs_.Find(name) != nullptr; }
  std::string Contents(const std::string& name) {
    const FakeFileSystem::Entry* entry = fs_.Find(name);
    return entry != nullptr ? FakeFileSystem::ContentsOf(*entry, 0, 100000) : "<none>";
  }

  // The calls without the state changes between them.
  Trace Calls() const {
    Trace calls;
    for (const std::string& entry : wow64_.trace) {
      if (!entry.starts_with("vst")) calls.push_back(entry);
    }
    return calls;
  }

  FakeFileSystem fs_;
  platform::ScopedFileSystem fs_scope_{fs_};
  FakeWow64 wow64_;
  Wow64Engine engine_;
  std::function<void(VerifyState)> on_state_;
};

TEST_F(Wow64EngineTest, OffByDefaultAndClearedByClearWhichKeepsTheSavedValue) {
  EXPECT_FALSE(engine_.DisableWow64());
  EXPECT_EQ(Wow64Engine().SavedValue(), nullptr);
  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(engine_.Redure(), 0);
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_EQ(Calls(), Trace{});

  engine_.ChangeWow64RedirectionState(false);
  engine_.SetDisableWow64(true);
  engine_.Clear();
  EXPECT_FALSE(engine_.DisableWow64());
  EXPECT_EQ(engine_.SavedValue(), Value(0x5A5A));
}

TEST_F(Wow64EngineTest, BuildRunsWithRedirectionOffFromTheDeletedOutputToTheSavedList) {
  MakeList();
  fs_.AddFile(kOut, "old results");
  engine_.SetOutputFileName(kOut);
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.on_disable = [this] {
    EXPECT_EQ(engine_.GetHashList().Count(), 0);
    EXPECT_FALSE(Exists(kOut));
    EXPECT_EQ(Contents(kList).find("b.txt"), std::string::npos) << "the list is made afterwards";
  };
  wow64_.on_revert = [this] { EXPECT_NE(Contents(kList).find("\"b.txt\""), std::string::npos); };

  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(wow64_.trace,
            (Trace{"IsWow64Process", "disable", "vstProcessingFile", "vstBuildOutput", "vstProgressDone",
                   "vstProcessingFile", "vstBuildOutput", "vstProgressDone", "vstSortingResults",
                   "IsWow64Process", kSaved}));
}

TEST_F(Wow64EngineTest, RedureRunsWithRedirectionOffFromTheDeletedOutputToTheResults) {
  MakeList();
  fs_.AddFile(kOut, "old results");
  engine_.SetOutputFileName(kOut);
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.on_disable = [this] {
    EXPECT_EQ(engine_.GetHashList().Count(), 0);
    EXPECT_FALSE(Exists(kOut));
  };
  wow64_.on_revert = [this] { EXPECT_NE(Contents(kOut).find("ADDED\t\"b.txt\""), std::string::npos); };

  EXPECT_EQ(engine_.Redure(), 1);
  const Trace trace = wow64_.trace;
  ASSERT_GE(trace.size(), 5u);
  EXPECT_EQ(Trace(trace.begin(), trace.begin() + 3), (Trace{"IsWow64Process", "disable", "vstLoadingHashFile"}));
  EXPECT_EQ(Trace(trace.end() - 2, trace.end()), (Trace{"IsWow64Process", kSaved}));
  EXPECT_EQ(Calls(), (Trace{"IsWow64Process", "disable", "IsWow64Process", kSaved}));
}

TEST_F(Wow64EngineTest, UpdateRunsWithRedirectionOffUntilTheListIsRewritten) {
  MakeList();
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.on_disable = [this] { EXPECT_EQ(Contents(kList).find("b.txt"), std::string::npos); };
  wow64_.on_revert = [this] { EXPECT_NE(Contents(kList).find("\"b.txt\""), std::string::npos); };

  EXPECT_EQ(engine_.Update(), 1);
  EXPECT_EQ(Calls(), (Trace{"IsWow64Process", "disable", "IsWow64Process", kSaved}));
}

TEST_F(Wow64EngineTest, MatchAndDupesNeverSwitch) {
  MakeList();
  engine_.SetMatchListFileName(kList);
  engine_.Match();
  engine_.Dupes(false);
  engine_.Dupes(true);
  EXPECT_EQ(Calls(), Trace{});
}

TEST_F(Wow64EngineTest, OutsideWow64NothingIsSwitchedAndResultsStayTheSame) {
  MakeList();
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.under_wow64 = 0;
  EXPECT_EQ(engine_.Redure(), 1);
  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_EQ(engine_.Update(), 0);
  EXPECT_FALSE(engine_.ChangeWow64RedirectionState(false));
  EXPECT_FALSE(engine_.ChangeWow64RedirectionState(true));
  EXPECT_EQ(Calls(), Trace(8, "IsWow64Process"));
  EXPECT_EQ(engine_.SavedValue(), nullptr);

  // Without the test's entry point nothing at all is called.
  FakeWow64 without_test({"is"});
  EXPECT_EQ(engine_.Build(), 0);
  EXPECT_TRUE(without_test.trace.empty());
}

TEST_F(Wow64EngineTest, FailedSwitchOffLeavesBeforeTheWorkWithTheListUntouched) {
  MakeList();
  const std::string list = Contents(kList);
  fs_.AddFile(kOut, "old results");
  engine_.SetOutputFileName(kOut);
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.disable_result = 0;

  EXPECT_EQ(OSErrorOf([this] { engine_.Build(); }), kSwitchOffFailed);
  EXPECT_EQ(wow64_.trace, (Trace{"IsWow64Process", "disable"}));
  EXPECT_EQ(Contents(kList), list);
  EXPECT_FALSE(Exists(kOut));

  FakeWow64 without_disable({"disable"});
  EXPECT_EQ(OSErrorOf([this] { engine_.Update(); }), kSwitchOffFailed);
  EXPECT_EQ(without_disable.trace, Trace{"IsWow64Process"});
  EXPECT_EQ(Contents(kList), list);
}

TEST_F(Wow64EngineTest, FailedRestoreReplacesTheResultAndKeepsWhatWasWritten) {
  MakeList();
  fs_.AddFile("/w/tree/b.txt", "b", 1000);
  wow64_.revert_result = 0;
  EXPECT_EQ(OSErrorOf([this] { engine_.Build(); }), kRestoreFailed);
  EXPECT_EQ(Calls(), (Trace{"IsWow64Process", "disable", "IsWow64Process", kSaved}));
  EXPECT_NE(Contents(kList).find("\"b.txt\""), std::string::npos);

  FakeWow64 without_revert({"revert"});
  EXPECT_EQ(OSErrorOf([this] { engine_.Redure(); }), kRestoreFailed);
}

TEST_F(Wow64EngineTest, RestoreRunsWhenTheWorkFailsAndItsFailureWins) {
  MakeList();
  on_state_ = [](VerifyState state) {
    if (state == vstProcessingFile) throw ETestAbort("stop");
  };
  EXPECT_THROW(engine_.Build(), ETestAbort);
  EXPECT_EQ(Calls(), (Trace{"IsWow64Process", "disable", "IsWow64Process", kSaved}));

  wow64_.revert_result = 0;
  EXPECT_EQ(OSErrorOf([this] { engine_.Redure(); }), kRestoreFailed);
}

TEST_F(Wow64EngineTest, SavedValueIsKeptAfterARestoreAndReplacedByTheNextSwitchOff) {
  wow64_.stored_values = {0x10, 0x20};
  // Nothing saved yet: nothing to restore.
  EXPECT_EQ(OSErrorOf([this] { engine_.ChangeWow64RedirectionState(true); }), kRestoreFailed);
  EXPECT_EQ(wow64_.trace, Trace{"IsWow64Process"});

  EXPECT_TRUE(engine_.ChangeWow64RedirectionState(false));
  EXPECT_EQ(engine_.SavedValue(), Value(0x10));
  EXPECT_TRUE(engine_.ChangeWow64RedirectionState(true));
  EXPECT_EQ(engine_.SavedValue(), Value(0x10));
  EXPECT_TRUE(engine_.ChangeWow64RedirectionState(false));
  EXPECT_EQ(engine_.SavedValue(), Value(0x20));
  EXPECT_EQ(Calls(), (Trace{"IsWow64Process", "IsWow64Process", "disable", "IsWow64Process",
                            "revert 0x10", "IsWow64Process", "disable"}));
}

}  // namespace
}  // namespace hv
