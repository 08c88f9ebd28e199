#include "variant32/wow64.h"

namespace hv {

namespace {

// Written at start-up and exit only, on the main thread.
platform::ModuleHandle g_module = nullptr;

template <typename Function>
void Bind(Function& entry_point, const char* name) {
  entry_point = reinterpret_cast<Function>(platform::FindEntryPoint(g_module, name));
}

}  // namespace

void LoadWow64Functions() {
  platform::Wow64EntryPoints& table = platform::Wow64Table();
  g_module = platform::OpenSystemModule();
  if (g_module == nullptr) {
    table = {};
    return;
  }
  Bind(table.is_wow64_process, "IsWow64Process");
  Bind(table.disable_fs_redirection, "Wow64DisableWow64FsRedirection");
  Bind(table.revert_fs_redirection, "Wow64RevertWow64FsRedirection");
}

void UnloadWow64Functions() {
  if (g_module == nullptr) return;
  platform::CloseSystemModule(g_module);
  g_module = nullptr;
  platform::Wow64Table() = {};
}

platform::SystemBool SafeIsWow64Process(platform::ProcessHandle process, int32_t& wow64_process) {
  const auto entry_point = platform::Wow64Table().is_wow64_process;
  return entry_point != nullptr ? entry_point(process, &wow64_process) : 0;
}

platform::SystemBool SafeWow64DisableWow64FsRedirection(void*& old_value) {
  const auto entry_point = platform::Wow64Table().disable_fs_redirection;
  return entry_point != nullptr ? entry_point(&old_value) : 0;
}

platform::SystemBool SafeWow64RevertWow64FsRedirection(void* old_value) {
  const auto entry_point = platform::Wow64Table().revert_fs_redirection;
  return entry_point != nullptr ? entry_point(old_value) : 0;
}

bool IsWow64() {
  int32_t wow64_process = 0;
  return SafeIsWow64Process(platform::CurrentProcess(), wow64_process) != 0 && wow64_process != 0;
}

}  // namespace hv
