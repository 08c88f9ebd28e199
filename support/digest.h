// The interface of a message-digest algorithm: identify it, test it, and run
// its life cycle Init -> Update... -> Final (or Burn).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hv {

class Stream;

class Digest {
 public:
  Digest() = default;
  virtual ~Digest() = default;
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  virtual int GetId() const { return -1; }
  virtual std::string GetAlgorithm() const { return {}; }
  virtual int GetHashSize() const { return -1; }  // in bits

  virtual void Init() {}
  virtual void Update(const void* buffer, size_t size) { (void)buffer; (void)size; }
  // Writes GetHashSize() / 8 bytes to `digest`, then erases the state.
  virtual void Final(void* digest) { (void)digest; }
  virtual void Burn() {}

  bool Initialized() const { return initialized_; }

  // The bytes of an 8-bit string, no terminator.
  void UpdateStr(std::string_view str);
  // The UTF-16 code units, little-endian, two bytes each.
  void UpdateStr(std::u16string_view str);
  // Reads `size` bytes from `stream` in blocks of kStreamBlockSize and adds
  // what each read brings; a stream that ends early adds only what it held.
  void UpdateStream(Stream& stream, uint32_t size);

  static constexpr uint32_t kStreamBlockSize = 8192;

 protected:
  bool initialized_ = false;
};

}  // namespace hv
