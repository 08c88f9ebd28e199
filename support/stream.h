// The root stream: read, write and position bytes. Positions and sizes are
// 64-bit. A read or write that the underlying medium refuses throws
// (EReadError / EWriteError or the file's own error); a short count means only
// the end of the data, never a failure.
#pragma once

#include <cstdint>

#include "support/exceptions.h"

namespace hv {

// A seek that the medium refuses, or one before the beginning of the stream.
inline constexpr char kStreamSeekError[] = "Stream seek error";

enum class SeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class Stream {
 public:
  Stream() = default;
  virtual ~Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Number of bytes read: fewer than `count` only at the end of the data.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Number of bytes taken.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // New position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;

  // Default: seek to the end and back. -1 (unknown) where CanSeek is false.
  virtual int64_t Size();
  // False for a stream that is read and written only in order (a pipe, a
  // FIFO, a terminal): it moves only forward, never seeks, and only a read
  // that returns 0 tells where it ends.
  virtual bool CanSeek() { return true; }
  virtual void SetSize(int64_t new_size) = 0;

  // Writes out whatever is held back and pushes it to the storage device
  // (fsync for files), reporting every failure.
  virtual void Sync() {}

  // Writes out whatever is held back and releases the medium, reporting every
  // failure. A stream that is destroyed without Close closes quietly.
  virtual void Close() {}

  int64_t Position() { return Seek(0, SeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::soBeginning); }

  // All `count` bytes or EReadError "Stream read error".
  void ReadBuffer(void* buffer, int64_t count);
  // All `count` bytes or EWriteError "Stream write error".
  void WriteBuffer(const void* buffer, int64_t count);

 protected:
  // The position a seek leads to, for streams that keep their own: `size` is
  // asked only for soEnd. A target before the beginning, or beyond what 64
  // bits hold, raises EStreamError "Stream seek error".
  template <typename SizeOf>
  static int64_t SeekTarget(int64_t offset, SeekOrigin origin, int64_t position, SizeOf size);
};

template <typename SizeOf>
int64_t Stream::SeekTarget(int64_t offset, SeekOrigin origin, int64_t position, SizeOf size) {
  int64_t base = 0;
  if (origin == SeekOrigin::soCurrent) base = position;
  if (origin == SeekOrigin::soEnd) {
    base = size();
    // A size that is not known (-1) is no place to seek from.
    if (base < 0) throw EStreamError(kStreamSeekError);
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) throw EStreamError(kStreamSeekError);
  return target;
}

}  // namespace hv
