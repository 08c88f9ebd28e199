// How many processors the program may keep busy at once.
#pragma once

namespace hv::platform {

// The processors in the calling thread's affinity mask: those it may run on,
// as `taskset` or a container's CPU set narrows them, whatever the machine
// has. At least 1.
int UsableProcessors();

}  // namespace hv::platform
