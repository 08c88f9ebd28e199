// A stream that keeps one memory buffer in front of another stream, so that
// many small reads and writes reach the inner stream (a file) only one buffer
// at a time. Transfers larger than the buffer go straight through. Over an
// inner stream that cannot seek (a pipe), writes go out in order and nothing
// is read before a write; the stream cannot seek then either, beyond the
// bytes its buffer holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "support/stream.h"

namespace hv {

class BufferedStream : public Stream {
 public:
  static constexpr int64_t kDefaultBufferSize = 16384;

  // Borrows `stream`, which must outlive this object; Close leaves it open.
  explicit BufferedStream(Stream* stream, int64_t buffer_size = kDefaultBufferSize);
  // Owns `stream`: Close closes it and destruction frees it.
  explicit BufferedStream(std::unique_ptr<Stream> stream, int64_t buffer_size = kDefaultBufferSize);
  // Writes a dirty buffer back and frees an owned inner stream, swallowing
  // errors: call Close to hear about them.
  ~BufferedStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Moves only this stream's own position: the buffer stays as it is and the
  // inner stream is not touched (except for its size with soEnd).
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  // The inner stream's size: bytes still in the buffer count once written.
  int64_t Size() override { return stream_->Size(); }
  bool CanSeek() override { return stream_->CanSeek(); }
  void SetSize(int64_t new_size) override;

  // Writes a dirty buffer back to the inner stream; the buffer stays loaded
  // (over an inner stream that cannot seek it is emptied, since those bytes
  // are gone past).
  void Flush();
  void Sync() override;
  // Writes the last buffer back and, when owned, closes the inner stream. The
  // first failure is thrown, after everything has been released.
  void Close() override;

 protected:
  // Runs once at the end of construction. Virtual calls do not reach a derived
  // class from a base constructor, so each derived constructor that overrides
  // it calls it as its last step.
  virtual void Initialize() {}

  // One byte, mostly straight from the buffer; false at the end of the data.
  bool ReadByte(uint8_t* byte) {
    const int64_t offset = position_ - buffer_position_;
    if (offset >= 0 && offset < buffer_fill_) {
      *byte = buffer_[static_cast<size_t>(offset)];
      ++position_;
      return true;
    }
    return Read(byte, 1) == 1;
  }

  // The loaded bytes from the position on, empty when the position lies
  // outside them; SkipBuffered(n) then moves past n <= size() of them.
  std::string_view BufferedBytes() const {
    const int64_t offset = position_ - buffer_position_;
    if (offset < 0 || offset >= buffer_fill_) return {};
    return {reinterpret_cast<const char*>(buffer_.get()) + offset,
            static_cast<size_t>(buffer_fill_ - offset)};
  }
  void SkipBuffered(size_t count) { position_ += static_cast<int64_t>(count); }

 private:
  void ResetBuffer();
  void FillBuffer();
  // Moves the inner stream only when it is somewhere else. Its position is
  // kept here, known after each transfer, so that it is asked at most once.
  void PositionInner(int64_t position);
  // An inner read or write at the inner position, which then moves on by
  // what was moved (and is unknown when the transfer fails).
  int64_t InnerRead(void* buffer, int64_t count);
  void InnerWriteBuffer(const void* buffer, int64_t count);
  int64_t InnerWrite(const void* buffer, int64_t count);

  Stream* stream_;
  std::unique_ptr<Stream> owned_stream_;
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t buffer_size_;
  int64_t buffer_position_ = 0;
  int64_t buffer_fill_ = 0;
  bool buffer_dirty_ = false;
  int64_t position_ = 0;
  int64_t inner_position_ = -1;  // -1: not known
  bool closed_ = false;
};

}  // namespace hv
