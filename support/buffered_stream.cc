#include "support/buffered_stream.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "support/exceptions.h"

namespace hv {

namespace {

int64_t CheckedBufferSize(int64_t buffer_size) {
  if (buffer_size <= 0) throw std::invalid_argument("BufferedStream: buffer size must be positive");
  return buffer_size;
}

}  // namespace

BufferedStream::BufferedStream(Stream* stream, int64_t buffer_size)
    : stream_(stream),
      buffer_(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(CheckedBufferSize(buffer_size)))),
      buffer_size_(buffer_size) {
  ResetBuffer();
}

BufferedStream::BufferedStream(std::unique_ptr<Stream> stream, int64_t buffer_size)
    : BufferedStream(stream.get(), buffer_size) {
  owned_stream_ = std::move(stream);
}

BufferedStream::~BufferedStream() {
  if (closed_) return;
  try {
    Flush();
  } catch (...) {
    // An exception may already be on its way; Close is where errors are heard.
  }
}

void BufferedStream::ResetBuffer() {
  buffer_position_ = 0;
  buffer_fill_ = 0;
  buffer_dirty_ = false;
}

void BufferedStream::PositionInner(int64_t position) {
  if (inner_position_ == position) return;
  if (inner_position_ < 0) inner_position_ = stream_->Position();
  if (inner_position_ == position) return;
  inner_position_ = -1;
  stream_->SetPosition(position);
  inner_position_ = position;
}

int64_t BufferedStream::InnerRead(void* buffer, int64_t count) {
  const int64_t start = inner_position_;
  inner_position_ = -1;
  const int64_t n = std::max<int64_t>(0, stream_->Read(buffer, count));
  inner_position_ = start + n;
  return n;
}

void BufferedStream::InnerWriteBuffer(const void* buffer, int64_t count) {
  const int64_t start = inner_position_;
  inner_position_ = -1;
  stream_->WriteBuffer(buffer, count);
  inner_position_ = start + count;
}

int64_t BufferedStream::InnerWrite(const void* buffer, int64_t count) {
  const int64_t start = inner_position_;
  inner_position_ = -1;
  const int64_t n = std::max<int64_t>(0, stream_->Write(buffer, count));
  inner_position_ = start + n;
  return n;
}

void BufferedStream::FillBuffer() {
  PositionInner(position_);
  buffer_position_ = position_;
  buffer_fill_ = InnerRead(buffer_.get(), buffer_size_);
  buffer_dirty_ = false;
}

void BufferedStream::Flush() {
  if (!buffer_dirty_) return;
  PositionInner(buffer_position_);
  InnerWriteBuffer(buffer_.get(), buffer_fill_);
  buffer_dirty_ = false;
  if (!stream_->CanSeek()) {
    // Those bytes are gone past; the next write follows them.
    buffer_position_ += buffer_fill_;
    buffer_fill_ = 0;
  }
}

int64_t BufferedStream::Read(void* buffer, int64_t count) {
  if (closed_) throw EReadError(kStreamReadError);
  if (count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t result = 0;

  const int64_t offset = position_ - buffer_position_;
  if (offset >= 0 && offset < buffer_fill_) {
    const int64_t n = std::min(buffer_fill_ - offset, count);
    std::memcpy(out, buffer_.get() + offset, static_cast<size_t>(n));
    position_ += n;
    out += n;
    result += n;
    count -= n;
  }

  if (count > 0) {
    Flush();
    ResetBuffer();
    if (count > buffer_size_) {
      PositionInner(position_);
      const int64_t n = InnerRead(out, count);
      position_ += n;
      return result + n;
    }
    FillBuffer();
    const int64_t n = std::min(count, buffer_fill_);
    if (n > 0) {
      std::memcpy(out, buffer_.get(), static_cast<size_t>(n));
      position_ += n;
      result += n;
    }
  }
  return result;
}

int64_t BufferedStream::Write(const void* buffer, int64_t count) {
  if (closed_) throw EWriteError(kStreamWriteError);
  if (count <= 0) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t result = 0;

  // Only inside the valid bytes or right behind them, so that no byte of the
  // buffer that was never loaded can reach the inner stream.
  const int64_t offset = position_ - buffer_position_;
  if (offset >= 0 && offset <= buffer_fill_ && offset < buffer_size_) {
    const int64_t n = std::min(buffer_size_ - offset, count);
    std::memcpy(buffer_.get() + offset, in, static_cast<size_t>(n));
    position_ += n;
    in += n;
    result += n;
    count -= n;
    buffer_dirty_ = true;
    buffer_fill_ = std::max(buffer_fill_, position_ - buffer_position_);
  }

  if (count > 0) {
    Flush();
    ResetBuffer();
    if (count > buffer_size_) {
      PositionInner(position_);
      const int64_t n = InnerWrite(in, count);
      position_ += n;
      return result + n;
    }
    if (stream_->CanSeek()) {
      // Loads what the inner stream already holds here, so a partial write
      // leaves the rest of the buffer true.
      FillBuffer();
    } else {
      // A pipe holds nothing to keep, and a read would wait for input.
      buffer_position_ = position_;
    }
    std::memcpy(buffer_.get(), in, static_cast<size_t>(count));
    position_ += count;
    result += count;
    buffer_dirty_ = true;
    buffer_fill_ = std::max(buffer_fill_, count);
  }
  return result;
}

int64_t BufferedStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekTarget(offset, origin, position_, [this] { return stream_->Size(); });
  return position_;
}

void BufferedStream::SetSize(int64_t new_size) {
  if (closed_) throw EWriteError(kStreamWriteError);
  Flush();
  ResetBuffer();
  inner_position_ = -1;
  stream_->SetSize(new_size);
  position_ = stream_->Position();
  inner_position_ = position_;
}

void BufferedStream::Sync() {
  if (closed_) throw EWriteError(kStreamWriteError);
  Flush();
  stream_->Sync();
}

void BufferedStream::Close() {
  if (closed_) return;
  closed_ = true;
  std::exception_ptr failure;
  try {
    Flush();
  } catch (...) {
    failure = std::current_exception();
  }
  // Closed means closed: the destructor must not try the write again.
  ResetBuffer();
  if (owned_stream_ != nullptr) {
    try {
      owned_stream_->Close();
    } catch (...) {
      if (failure == nullptr) failure = std::current_exception();
    }
  }
  if (failure != nullptr) std::rethrow_exception(failure);
}

}  // namespace hv
