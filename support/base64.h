// Base64 text of bytes (RFC 4648), as stored for every file's digest.
#pragma once

#include <string>
#include <string_view>

namespace hv {

// The 64 characters of the standard alphabet, then the pad character.
inline constexpr std::string_view kBase64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Every 6-bit index, and index 64 for padding, looked up in `table`; an index
// that the table does not reach writes nothing.
std::string EncodeTriplets(std::string_view value, std::string_view table);

std::string Base64Encode(std::string_view value);

}  // namespace hv
