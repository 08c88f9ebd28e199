// The three optional entry points through which a 32-bit process switches the
// file-system redirection of a 64-bit system's 32-bit layer, with the shapes
// that system publishes. They are looked up by name in the libraries loaded
// into the process; Linux has none of them, so the table stays empty there,
// and tests put fakes in it. i386 program only.
#pragma once

#include <cstdint>

namespace hv::platform {

// The system's BOOL: non-zero means success (or true).
using SystemBool = int32_t;
using ProcessHandle = void*;
using ModuleHandle = void*;

struct Wow64EntryPoints {
  // Sets `*wow64_process` to non-zero when `process` runs under the layer.
  SystemBool (*is_wow64_process)(ProcessHandle process, int32_t* wow64_process) = nullptr;
  // Switches redirection off for the calling thread; stores at `old_value`
  // what the revert needs.
  SystemBool (*disable_fs_redirection)(void** old_value) = nullptr;
  SystemBool (*revert_fs_redirection)(void* old_value) = nullptr;
};

// The table the program calls through; a missing entry point is null.
Wow64EntryPoints& Wow64Table();

// The libraries loaded into the process, as one module to look names up in;
// null when it cannot be opened. Closed by CloseSystemModule.
ModuleHandle OpenSystemModule();
// The address of the entry point called `name`, null when there is none.
void* FindEntryPoint(ModuleHandle module, const char* name);
void CloseSystemModule(ModuleHandle module);

// Stands for the calling process, as the system's pseudo handle does.
ProcessHandle CurrentProcess();

// Replaces the table for the lifetime of this object (tests).
class ScopedWow64EntryPoints {
 public:
  explicit ScopedWow64EntryPoints(const Wow64EntryPoints& replacement);
  ~ScopedWow64EntryPoints();
  ScopedWow64EntryPoints(const ScopedWow64EntryPoints&) = delete;
  ScopedWow64EntryPoints& operator=(const ScopedWow64EntryPoints&) = delete;

 private:
  Wow64EntryPoints previous_;
};

}  // namespace hv::platform
