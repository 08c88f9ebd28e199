// MD4 (RFC 1320).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/digest.h"

namespace hv {

class DigestMD4 final : public Digest {
 public:
  static constexpr int kId = 17;
  static constexpr int kHashSizeBits = 128;
  static constexpr int kHashSizeBytes = kHashSizeBits / 8;

  DigestMD4() = default;
  ~DigestMD4() override;

  int GetId() const override { return kId; }
  std::string GetAlgorithm() const override { return "MD4"; }
  int GetHashSize() const override { return kHashSizeBits; }

  // Reproduces the reference digests of RFC 1320.
  static bool SelfTest();

  void Init() override;
  // Throws EDigestError "Hash not initialized" before Init.
  void Update(const void* buffer, size_t size) override;
  void Final(void* digest) override;
  void Burn() override;

 private:
  uint32_t len_hi_ = 0;
  uint32_t len_lo_ = 0;
  uint32_t index_ = 0;
  uint32_t current_hash_[4] = {};
  uint8_t hash_buffer_[64] = {};
};

// The digests of `count` whole messages: messages[i], sizes[i] bytes long,
// into digests[i]. Eight at a time go side by side through the lanes of
// vector registers, which for many small messages is several times as fast
// as one after another.
void DigestMD4Messages(const uint8_t* const messages[], const size_t sizes[], size_t count,
                       uint8_t (*digests)[DigestMD4::kHashSizeBytes]);

}  // namespace hv
