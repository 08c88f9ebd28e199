#include "support/stream.h"

#include "support/exceptions.h"

namespace hv {

int64_t Stream::Size() {
  if (!CanSeek()) return -1;
  const int64_t position = Seek(0, SeekOrigin::soCurrent);
  const int64_t size = Seek(0, SeekOrigin::soEnd);
  Seek(position, SeekOrigin::soBeginning);
  return size;
}

void Stream::ReadBuffer(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  while (count > 0) {
    const int64_t n = Read(out, count);
    if (n <= 0) throw EReadError(kStreamReadError);
    out += n;
    count -= n;
  }
}

void Stream::WriteBuffer(const void* buffer, int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  while (count > 0) {
    const int64_t n = Write(in, count);
    if (n <= 0) throw EWriteError(kStreamWriteError);
    in += n;
    count -= n;
  }
}

}  // namespace hv
