#include "support/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "support/exceptions.h"

namespace hv {

namespace {

// A size beyond the address space (of the i386 program) is out of memory;
// cut to size_t it would make a buffer smaller than the data written to it.
size_t BufferSize(int64_t size) {
  if (static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
  return static_cast<size_t>(size);
}

}  // namespace

int64_t MemoryStream::Read(void* buffer, int64_t count) {
  const auto size = static_cast<int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t MemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end;
  if (__builtin_add_overflow(position_, count, &end)) throw EWriteError(kStreamWriteError);
  if (end > static_cast<int64_t>(data_.size())) data_.resize(BufferSize(end), '\0');
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t MemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t target = SeekTarget(offset, origin, position_, [this] { return Size(); });
  if (sequential_ && target != position_) throw EStreamError(kStreamSeekError);
  position_ = target;
  return position_;
}

void MemoryStream::SetSize(int64_t new_size) {
  if (new_size < 0) throw EStreamError(kStreamSeekError);
  data_.resize(BufferSize(new_size), '\0');
  position_ = std::min(position_, new_size);
}

}  // namespace hv
