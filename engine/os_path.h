// Stored paths use '\' as separator; the OS wants '/'. This is the one place
// where a base directory and a stored relative path become a name to open.
#pragma once

#include <string>
#include <string_view>

namespace hv {

inline std::string OsPath(std::string_view base_path, std::string_view rel_path) {
  std::string name;
  name.reserve(base_path.size() + rel_path.size());
  name.append(base_path);
  for (char c : rel_path) name.push_back(c == '\\' ? '/' : c);
  return name;
}

}  // namespace hv
