// What the command tests share: real and fake trees of files with known
// contents and times, and the hash-list lines those files should give.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hash_item.h"
#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "support/base64.h"
#include "support/date_time.h"
#include "support/md4.h"

namespace hv::testing {

using Lines = std::vector<std::string>;

inline constexpr char kBom[] = "\xEF\xBB\xBF";
inline constexpr int64_t kTime1 = 1614861296789;  // 2021-03-04 12:34:56.789 UTC
inline constexpr int64_t kTime2 = 1262304000000;  // 2010-01-01 00:00:00.000 UTC
inline constexpr int64_t kNoTime = 0;

inline std::string Md4Base64(std::string_view data) {
  DigestMD4 digest;
  digest.Init();
  digest.Update(data.data(), data.size());
  unsigned char value[DigestMD4::kHashSizeBytes];
  digest.Final(value);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(value), sizeof value));
}

// The hash-list line of a file with these contents and this time (kNoTime:
// an empty date field).
inline std::string LineOf(std::string path, std::string_view contents, int64_t modified_ms) {
  HashItem item;
  item.SetPath(std::move(path));
  item.SetSize(static_cast<int64_t>(contents.size()));
  item.SetDate(modified_ms == kNoTime ? 0 : DateTimeFromUnixMilliseconds(modified_ms));
  item.SetHash(Md4Base64(contents));
  return item.AsString();
}

// A hash-list file as written: the byte-order mark, then CR LF after each line.
inline std::string ListText(const Lines& lines) {
  std::string text = kBom;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

inline void SetModified(const std::string& name, int64_t unix_ms) {
  using namespace std::chrono;
  std::filesystem::last_write_time(
      name, file_clock::from_sys(sys_time<milliseconds>(milliseconds(unix_ms))));
}

// A real tree: the scan lists real directories.
class Tree {
 public:
  std::string root() const { return dir_.path().string(); }
  std::string Path(std::string_view rel) const { return dir_.File(rel); }
  std::string Write(std::string_view rel, std::string_view contents, int64_t modified_ms = kTime1) {
    const std::filesystem::path name = dir_.path() / rel;
    std::filesystem::create_directories(name.parent_path());
    dir_.Write(rel, contents);
    SetModified(name.string(), modified_ms);
    return name.string();
  }

 private:
  TempDir dir_;
};

// A tree in a fake file system, where reading and writing can be made to
// fail. Its root is named after a real temporary directory.
class FakeTree {
 public:
  explicit FakeTree(FakeFileSystem& fs) : fs_(fs) { fs_.AddDirectory(root()); }
  std::string root() const { return dir_.path().string(); }
  std::string Path(std::string_view rel) const { return dir_.File(rel); }
  FakeFileSystem::Entry& Add(std::string_view rel, std::string_view contents, int64_t modified_ms = kTime1) {
    return fs_.AddFile(Path(rel), std::string(contents), modified_ms);
  }

 private:
  TempDir dir_;
  FakeFileSystem& fs_;
};

}  // namespace hv::testing
