// Entry points for the WoW64 table that record every call in one trace and
// answer as the test says, so that a test can put a 64-bit system's 32-bit
// layer under the program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wow64_entry_points.h"

namespace hv::testing {

class FakeWow64 {
 public:
  // What the entry points answer.
  int32_t under_wow64 = 1;
  platform::SystemBool is_wow64_result = 1;
  platform::SystemBool disable_result = 1;
  platform::SystemBool revert_result = 1;
  // What each switch-off stores, in turn; the last one is repeated.
  std::vector<uintptr_t> stored_values = {0x5A5A};
  // Run inside the switch-off and the revert, before they answer.
  std::function<void()> on_disable;
  std::function<void()> on_revert;

  // "IsWow64Process", "disable", "revert <value in hex>", in call order.
  std::vector<std::string> trace;
  platform::ProcessHandle last_process = nullptr;

  // Puts these fakes in the table while alive; `missing` leaves out the
  // entry points named there ("is", "disable", "revert").
  explicit FakeWow64(const std::vector<std::string>& missing = {});
  ~FakeWow64();
  FakeWow64(const FakeWow64&) = delete;
  FakeWow64& operator=(const FakeWow64&) = delete;

  static platform::Wow64EntryPoints EntryPoints(const std::vector<std::string>& missing);

 private:
  platform::ScopedWow64EntryPoints scope_;
  FakeWow64* previous_;
  int disables_ = 0;

  static platform::SystemBool IsWow64Process(platform::ProcessHandle process, int32_t* wow64_process);
  static platform::SystemBool Disable(void** old_value);
  static platform::SystemBool Revert(void* old_value);
};

std::string Hex(uintptr_t value);

}  // namespace hv::testing
