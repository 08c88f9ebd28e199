// What the i386 program adds for running under the 32-bit layer of a 64-bit
// system: the start-up binding of the layer's three entry points, wrappers
// that are safe to call when an entry point is missing, and the test whether
// the process runs under the layer at all.
#pragma once

#include <cstdint>

#include "platform/wow64_entry_points.h"

namespace hv {

// Binds the module and the three entry points, silently: whatever is not
// found stays missing. Runs once, at start-up.
void LoadWow64Functions();
// Frees the module, when one is held, and forgets all four. Runs at exit.
void UnloadWow64Functions();

// Each returns 0 and calls nothing when its entry point is missing, and the
// entry point's result unchanged otherwise.
platform::SystemBool SafeIsWow64Process(platform::ProcessHandle process, int32_t& wow64_process);
platform::SystemBool SafeWow64DisableWow64FsRedirection(void*& old_value);
platform::SystemBool SafeWow64RevertWow64FsRedirection(void* old_value);

// The current process runs under the layer.
bool IsWow64();

}  // namespace hv
