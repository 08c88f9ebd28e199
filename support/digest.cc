#include "support/digest.h"

#include <array>

#include "support/stream.h"

namespace hv {

void Digest::UpdateStr(std::string_view str) { Update(str.data(), str.size()); }

void Digest::UpdateStr(std::u16string_view str) {
  // Serialised in chunks so the byte order is fixed whatever the host's is,
  // without allocating.
  uint8_t chunk[512];
  while (!str.empty()) {
    const size_t n = str.size() < sizeof chunk / 2 ? str.size() : sizeof chunk / 2;
    for (size_t i = 0; i < n; ++i) {
      chunk[2 * i] = static_cast<uint8_t>(str[i] & 0xFF);
      chunk[2 * i + 1] = static_cast<uint8_t>(str[i] >> 8);
    }
    Update(chunk, 2 * n);
    str.remove_prefix(n);
  }
}

void Digest::UpdateStream(Stream& stream, uint32_t size) {
  std::array<uint8_t, kStreamBlockSize> buffer{};
  for (uint32_t block = 0; block < size / kStreamBlockSize; ++block) {
    Update(buffer.data(), static_cast<size_t>(stream.Read(buffer.data(), kStreamBlockSize)));
  }
  if (const uint32_t rest = size % kStreamBlockSize; rest != 0) {
    Update(buffer.data(), static_cast<size_t>(stream.Read(buffer.data(), rest)));
  }
}

}  // namespace hv
