// The redirection switch of the x86-64 program, which runs under no 32-bit
// layer: there is nothing to switch, and the work runs as it is.
#include <functional>

#include "engine/verify.h"

namespace hv {

bool Verify::ChangeWow64RedirectionState(bool /*restore*/) { return false; }

int Verify::RunWithoutWow64Redirection(const std::function<int()>& work) { return work(); }

}  // namespace hv
