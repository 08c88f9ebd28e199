#include "platform/file_system.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hv::platform {

namespace {

// Constant-initialised, so it is valid during static construction and
// destruction alike; null stands for the real file system.
FileSystem* g_current_file_system = nullptr;

}  // namespace

JoinedDirectoryHandle::JoinedDirectoryHandle(FileSystem& file_system, std::string directory)
    : file_system_(file_system), directory_(std::move(directory)) {
  if (!directory_.empty() && directory_.back() != '/') directory_.push_back('/');
}

ErrorCode JoinedDirectoryHandle::Stat(const std::string& name, FileStatus* status) {
  return file_system_.Stat(directory_ + name, status);
}

ErrorCode JoinedDirectoryHandle::OpenForReading(const std::string& name, bool follow_links,
                                                std::unique_ptr<ReadableFile>* file, FileStatus* status) {
  return file_system_.OpenForReading(directory_ + name, FileSystem::kAlwaysCached, follow_links, file, status);
}

ErrorCode FileSystem::OpenDirectoryHandle(const std::string& path, std::unique_ptr<DirectoryHandle>* handle) {
  *handle = std::make_unique<JoinedDirectoryHandle>(*this, path);
  return 0;
}

FileSystem& CurrentFileSystem() {
  return g_current_file_system != nullptr ? *g_current_file_system : RealFileSystem();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(g_current_file_system) {
  g_current_file_system = &replacement;
}

ScopedFileSystem::~ScopedFileSystem() { g_current_file_system = previous_; }

bool FileSystem::FileExists(const std::string& path) {
  FileStatus status;
  return Stat(path, &status) == 0 && !status.is_directory();
}

bool FileSystem::SameFile(const std::string& a, const std::string& b) {
  FileStatus status_a;
  FileStatus status_b;
  if (Stat(a, &status_a) == 0 && Stat(b, &status_b) == 0 && status_a.device == status_b.device &&
      status_a.inode == status_b.inode) {
    return true;
  }
  return FullPath(a) == FullPath(b);
}

std::string FileSystem::FullPath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return NormalizeAbsolutePath(path);
  std::string directory = CurrentDirectory();
  // Without a current directory there is nothing to resolve against.
  if (directory.empty()) return path;
  if (path.empty()) return NormalizeAbsolutePath(directory);
  return NormalizeAbsolutePath(directory + "/" + path);
}

std::string NormalizeAbsolutePath(const std::string& path) {
  std::vector<std::string_view> parts;
  const std::string_view view(path);
  size_t pos = 0;
  while (pos <= view.size()) {
    size_t end = view.find('/', pos);
    if (end == std::string_view::npos) end = view.size();
    const std::string_view part = view.substr(pos, end - pos);
    if (part == "..") {
      // The root is its own parent.
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string result;
  for (std::string_view part : parts) {
    result += '/';
    result += part;
  }
  if (result.empty() || (view.size() > 1 && view.back() == '/')) result += '/';
  return result;
}

}  // namespace hv::platform
