#include "support/base64.h"

#include <cstdint>

namespace hv {

std::string EncodeTriplets(std::string_view value, std::string_view table) {
  std::string result((value.size() + 2) / 3 * 4, '\0');
  size_t out = 0;
  auto put = [&](unsigned index) {
    if (index < table.size()) result[out++] = table[index];
  };
  const auto* p = reinterpret_cast<const uint8_t*>(value.data());
  for (size_t i = 0, n = value.size(); i < n; i += 3) {
    const bool has2 = i + 1 < n, has3 = i + 2 < n;
    const unsigned b1 = p[i], b2 = has2 ? p[i + 1] : 0, b3 = has3 ? p[i + 2] : 0;
    put(b1 >> 2);
    put(((b1 & 3) << 4) | (b2 >> 4));
    put(has2 ? ((b2 & 15) << 2) | (b3 >> 6) : 64);
    put(has3 ? b3 & 63 : 64);
  }
  result.resize(out);
  return result;
}

std::string Base64Encode(std::string_view value) { return EncodeTriplets(value, kBase64Table); }

}  // namespace hv
