// The progress report of one file being hashed or one list being loaded:
// (sender, work done so far, work in all or -1 when unknown).
#pragma once

#include <cstdint>
#include <functional>

namespace hv::progress {

using ProgressEvent = std::function<void(const void* sender, int64_t done, int64_t total)>;

}  // namespace hv::progress
