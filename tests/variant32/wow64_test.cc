#include "variant32/wow64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wow64_entry_points.h"
#include "variant32/fake_wow64.h"

namespace hv {
namespace {

using testing::FakeWow64;
using Trace = std::vector<std::string>;

bool Empty(const platform::Wow64EntryPoints& table) {
  return table.is_wow64_process == nullptr && table.disable_fs_redirection == nullptr &&
         table.revert_fs_redirection == nullptr;
}

TEST(Wow64Binding, LinuxHasNoneOfTheEntryPoints) {
  // Whatever the binding does to the table stays inside this test.
  platform::ScopedWow64EntryPoints keep(FakeWow64::EntryPoints({}));
  LoadWow64Functions();
  EXPECT_TRUE(Empty(platform::Wow64Table()));
  EXPECT_FALSE(IsWow64());
  UnloadWow64Functions();
  EXPECT_TRUE(Empty(platform::Wow64Table()));
}

TEST(Wow64Binding, UnloadForgetsTheEntryPointsOnlyWhileAModuleIsHeld) {
  platform::ScopedWow64EntryPoints keep(FakeWow64::EntryPoints({}));
  UnloadWow64Functions();  // nothing held: nothing done
  EXPECT_FALSE(Empty(platform::Wow64Table()));

  LoadWow64Functions();
  platform::Wow64Table() = FakeWow64::EntryPoints({});
  UnloadWow64Functions();
  EXPECT_TRUE(Empty(platform::Wow64Table()));
}

TEST(Wow64Wrappers, MissingEntryPointsGiveFalseWithoutACall) {
  FakeWow64 fake({"is", "disable", "revert"});
  int32_t flag = 7;
  void* value = &flag;
  EXPECT_EQ(SafeIsWow64Process(platform::CurrentProcess(), flag), 0);
  EXPECT_EQ(SafeWow64DisableWow64FsRedirection(value), 0);
  EXPECT_EQ(SafeWow64RevertWow64FsRedirection(value), 0);
  EXPECT_EQ(flag, 7);
  EXPECT_EQ(value, &flag);
  EXPECT_FALSE(IsWow64());
  EXPECT_TRUE(fake.trace.empty());
}

TEST(Wow64Wrappers, BoundEntryPointsGetTheArgumentsAndGiveTheirResult) {
  FakeWow64 fake;
  fake.is_wow64_result = 5;
  fake.disable_result = -1;
  fake.revert_result = 0;
  fake.stored_values = {0xBEEF};
  int32_t flag = 0;
  void* value = nullptr;
  const auto process = reinterpret_cast<platform::ProcessHandle>(uintptr_t{0x40});
  EXPECT_EQ(SafeIsWow64Process(process, flag), 5);
  EXPECT_EQ(fake.last_process, process);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(SafeWow64DisableWow64FsRedirection(value), -1);
  EXPECT_EQ(value, reinterpret_cast<void*>(uintptr_t{0xBEEF}));
  EXPECT_EQ(SafeWow64RevertWow64FsRedirection(reinterpret_cast<void*>(uintptr_t{0x77})), 0);
  EXPECT_EQ(fake.trace, (Trace{"IsWow64Process", "disable", "revert 0x77"}));
}

TEST(Wow64Test, TrueOnlyWhenTheCallSucceedsAndSaysSo) {
  FakeWow64 fake;
  EXPECT_TRUE(IsWow64());
  EXPECT_EQ(fake.last_process, platform::CurrentProcess());
  fake.under_wow64 = 0;
  EXPECT_FALSE(IsWow64());
  fake.under_wow64 = 1;
  fake.is_wow64_result = 0;
  EXPECT_FALSE(IsWow64());
}

}  // namespace
}  // namespace hv
