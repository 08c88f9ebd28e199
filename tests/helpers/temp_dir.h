// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace hv::testing {

// The whole contents of the file `name`; empty when it cannot be read.
std::string ReadFile(const std::string& name);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The absolute name of `name` inside the directory.
  std::string File(std::string_view name) const;
  // Creates (or replaces) a file with these bytes and returns its name.
  std::string Write(std::string_view name, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

}  // namespace hv::testing
