// A stream over bytes in memory. It grows as it is written; writing past the
// end fills the gap with zero bytes.
#pragma once

#include <cstdint>
#include <string>

#include "support/stream.h"

namespace hv {

class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::string data) : data_(std::move(data)) {}
  // `sequential`: the bytes as a pipe gives them, read or written in order
  // only; seeking anywhere but where it stands raises EStreamError and the
  // size is unknown (-1).
  MemoryStream(std::string data, bool sequential) : data_(std::move(data)), sequential_(sequential) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // A position before the beginning raises EStreamError.
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return sequential_ ? -1 : static_cast<int64_t>(data_.size()); }
  bool CanSeek() override { return !sequential_; }
  // Cuts or extends with zero bytes; a position beyond the new end moves to it.
  void SetSize(int64_t new_size) override;

  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  bool sequential_ = false;
  int64_t position_ = 0;
};

}  // namespace hv
