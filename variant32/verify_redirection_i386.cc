// The redirection switch of the i386 program: Build, Redure and Update run
// their work with WoW64 file-system redirection off when DisableWow64 asks
// for it.
#include <functional>
#include <string>

#include "engine/verify.h"
#include "support/exceptions.h"
#include "variant32/wow64.h"

namespace hv {

bool Verify::ChangeWow64RedirectionState(bool restore) {
  if (!IsWow64()) return false;
  bool changed = false;
  if (restore) {
    // Nothing saved means nothing to restore: that fails too.
    changed = wow64_redirection_old_value_donotchange_ != nullptr &&
              SafeWow64RevertWow64FsRedirection(wow64_redirection_old_value_donotchange_) != 0;
  } else {
    changed = SafeWow64DisableWow64FsRedirection(wow64_redirection_old_value_donotchange_) != 0;
  }
  if (!changed) {
    throw EOSError("Failed to change WoW64 redirection state to " + std::to_string(restore ? 1 : 0) +
                   ".");
  }
  return true;
}

int Verify::RunWithoutWow64Redirection(const std::function<int()>& work) {
  // A failed switch-off leaves before the work begins, with nothing to restore.
  if (disable_wow64_) ChangeWow64RedirectionState(false);
  int result = 0;
  try {
    result = work();
  } catch (...) {
    // A failed restore replaces the exception on its way out.
    if (disable_wow64_) ChangeWow64RedirectionState(true);
    throw;
  }
  if (disable_wow64_) ChangeWow64RedirectionState(true);
  return result;
}

}  // namespace hv
