#include "variant32/fake_wow64.h"

#include <algorithm>
#include <cstdio>

namespace hv::testing {

namespace {

// The table holds plain function pointers: they find their fake here.
FakeWow64* g_fake = nullptr;

bool Contains(const std::vector<std::string>& names, const char* name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%#lx", static_cast<unsigned long>(value));
  return text;
}

platform::Wow64EntryPoints FakeWow64::EntryPoints(const std::vector<std::string>& missing) {
  platform::Wow64EntryPoints table;
  if (!Contains(missing, "is")) table.is_wow64_process = &IsWow64Process;
  if (!Contains(missing, "disable")) table.disable_fs_redirection = &Disable;
  if (!Contains(missing, "revert")) table.revert_fs_redirection = &Revert;
  return table;
}

FakeWow64::FakeWow64(const std::vector<std::string>& missing)
    : scope_(EntryPoints(missing)), previous_(g_fake) {
  g_fake = this;
}

FakeWow64::~FakeWow64() { g_fake = previous_; }

platform::SystemBool FakeWow64::IsWow64Process(platform::ProcessHandle process, int32_t* wow64_process) {
  g_fake->trace.emplace_back("IsWow64Process");
  g_fake->last_process = process;
  *wow64_process = g_fake->under_wow64;
  return g_fake->is_wow64_result;
}

platform::SystemBool FakeWow64::Disable(void** old_value) {
  FakeWow64& fake = *g_fake;
  fake.trace.emplace_back("disable");
  const size_t index = std::min<size_t>(static_cast<size_t>(fake.disables_++), fake.stored_values.size() - 1);
  *old_value = reinterpret_cast<void*>(fake.stored_values[index]);
  if (fake.on_disable) fake.on_disable();
  return fake.disable_result;
}

platform::SystemBool FakeWow64::Revert(void* old_value) {
  g_fake->trace.push_back("revert " + Hex(reinterpret_cast<uintptr_t>(old_value)));
  if (g_fake->on_revert) g_fake->on_revert();
  return g_fake->revert_result;
}

}  // namespace hv::testing
