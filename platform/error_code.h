// What every operation of this folder that can fail returns.
#pragma once

namespace hv::platform {

// 0 means success; anything else is the system's error number (errno).
using ErrorCode = int;

}  // namespace hv::platform
