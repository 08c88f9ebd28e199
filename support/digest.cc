#include "support/digest.h"

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

}  // namespace hv
