// The i386 program's option and its effect on a whole run.
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
#include "platform/control_signals.h"
#include "platform/file_system.h"
#include "support/exceptions.h"
#include "support/reg_exp.h"
#include "variant32/fake_wow64.h"

namespace hv {
namespace {

using testing::FakeWow64;
using Trace = std::vector<std::string>;

class ParserApp : public VerifyApp {
 public:
  using VerifyApp::ParseCommandLine;
  using VerifyApp::VerifyApp;
};

class Wow64AppTest : public ::testing::Test {
 protected:
  Wow64AppTest() {
    fs_.SetCurrentDirectory("/w");
    fs_.AddDirectory("/w");
    fs_.AddDirectory("/w/tree");
    fs_.AddFile("/w/tree/a.txt", "a", 1000);
    fs_.AddFile("/w/old.txt", "");
  }
  ~Wow64AppTest() override { ConsoleApp::SetArguments({}); }

  // The DisableWow64 setting after parsing `args`; the parse must succeed.
  bool DisableWow64After(std::vector<std::string> args) {
    ConsoleApp::SetArguments(std::move(args));
    ParserApp app(std::make_unique<Verify>());
    app.Initialize();
    EXPECT_EQ(app.ParseCommandLine(), 0) << console_.output;
    return app.Engine().DisableWow64();
  }

  testing::FakeConsole console_;
  platform::ScopedConsole console_scope_{console_};
  testing::FakeFileSystem fs_;
  platform::ScopedFileSystem fs_scope_{fs_};
  FakeWow64 wow64_;
};

TEST_F(Wow64AppTest, TheLastOfTheTwoOptionsWins) {
  EXPECT_FALSE(DisableWow64After({"l"}));
  EXPECT_TRUE(DisableWow64After({"l", "-wow64-"}));
  EXPECT_FALSE(DisableWow64After({"-wow64-", "l", "-wow64"}));
  EXPECT_TRUE(DisableWow64After({"-wow64", "l", "-wow64-"}));
  EXPECT_TRUE(DisableWow64After({"-m", "/w/old.txt", "-wow64-", "l"}));
  EXPECT_TRUE(DisableWow64After({"-D1", "-wow64-", "l"}));
  EXPECT_TRUE(wow64_.trace.empty());
}

// A "Q" in the quit dialog while the build runs with redirection off.
TEST_F(Wow64AppTest, ImmediateAbortStillRestoresAndAFailedRestoreEndsWith254) {
  console_.input_lines = {"Q", "Q"};
  // The Ctrl+C comes in once redirection is off; the next progress asks.
  wow64_.on_disable = [] { EXPECT_TRUE(ConsoleApp::ConsoleCtrlHandler(platform::kCtrlCEvent)); };
  ConsoleApp::SetArguments({"-b", "/w/list.txt", "/w/tree", "-wow64-", "-p"});
  EXPECT_EQ(ConsoleApp::Run<VerifyApp>(), 253);
  EXPECT_EQ(wow64_.trace, (Trace{"IsWow64Process", "disable", "IsWow64Process", "revert 0x5a5a"}));

  console_.output.clear();
  wow64_.revert_result = 0;
  EXPECT_EQ(ConsoleApp::Run<VerifyApp>(), 254);
  EXPECT_TRUE(console_.output.ends_with(
      "ERROR EOSError: Failed to change WoW64 redirection state to 1.\r\n"))
      << console_.output;
}

// The group limit of 1024 has gone, and a match the matcher gives up on
// raises the x86-64 program's class, not the plain one of a bad pattern here.
TEST(RegExp32, MatchesAreBoundOnlyByThePcre2Limits) {
  std::string pattern;
  for (int i = 0; i < 1025; ++i) pattern += "(a)";
  EXPECT_TRUE(CreateRegExp(pattern)->Match(std::string(1025, 'a')));
  EXPECT_THROW(CreateRegExp("^(?:(a|a)*c|a*b)$")->Match(std::string(40, 'a')),
               ERegularExpressionError);
}

}  // namespace
}  // namespace hv
