#include "platform/wow64_entry_points.h"

#include <dlfcn.h>

#include <cstdint>

namespace hv::platform {

Wow64EntryPoints& Wow64Table() {
  static Wow64EntryPoints table;
  return table;
}

ModuleHandle OpenSystemModule() { return ::dlopen(nullptr, RTLD_LAZY); }

void* FindEntryPoint(ModuleHandle module, const char* name) {
  return module != nullptr ? ::dlsym(module, name) : nullptr;
}

void CloseSystemModule(ModuleHandle module) {
  if (module != nullptr) ::dlclose(module);
}

ProcessHandle CurrentProcess() {
  // The handle that stands for the calling process, a handle of all bits set.
  // Only the entry points read it, and Linux has none of them.
  return reinterpret_cast<ProcessHandle>(static_cast<intptr_t>(-1));
}

ScopedWow64EntryPoints::ScopedWow64EntryPoints(const Wow64EntryPoints& replacement)
    : previous_(Wow64Table()) {
  Wow64Table() = replacement;
}

ScopedWow64EntryPoints::~ScopedWow64EntryPoints() { Wow64Table() = previous_; }

}  // namespace hv::platform
