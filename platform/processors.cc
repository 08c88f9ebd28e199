#include "platform/processors.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace hv::platform {

int UsableProcessors() {
  // The kernel refuses a mask smaller than its own (EINVAL), which on a
  // machine of many processors is larger than one cpu_set_t.
  for (size_t sets = 1; sets <= 1024; sets *= 2) {
    std::vector<cpu_set_t> mask(sets);
    const size_t size = sets * sizeof(cpu_set_t);
    if (::sched_getaffinity(0, size, mask.data()) == 0) return std::max(CPU_COUNT_S(size, mask.data()), 1);
    if (errno != EINVAL) break;
  }
  return 1;
}

}  // namespace hv::platform
