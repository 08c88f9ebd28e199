// The Build command: every file under the base directories is hashed into a
// new list, which replaces the old one only once it is whole, sorted by path.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "engine/build_read_ahead.h"
#include "engine/file_hashing.h"
#include "engine/os_path.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/file_replacement.h"

namespace hv {

int Verify::Build() {
  // A base directory that cannot be listed (or is not there) would make a
  // list without its files: refused before anything is written.
  CheckBaseDirectories();
  hash_list_->Clear();
  aux_hash_list_->Clear();
  DeleteOutputFile();
#if defined(HV_VARIANT32)
  return RunWithoutWow64Redirection([this] { return BuildBody(); });
#else
  return BuildBody();
#endif
}

int Verify::BuildBody() {
  platform::FileSystem& fs = platform::CurrentFileSystem();
  // Made first, so that a list that cannot be written fails before the
  // scan. It is filled only at the end: until then the old list stays, and
  // whatever ends the build early leaves it as it was.
  FileReplacement new_list(hashes_file_name_);
  // What the engine knows of the list only while this command runs, on every
  // way out.
  struct ListGuard {
    Verify& verify;
    ~ListGuard() {
      verify.build_read_ahead_ = nullptr;
      verify.hash_file_identity_known_ = false;
      verify.scan_skips_.clear();
    }
  } guard{*this};
  platform::FileStatus status;
  if (fs.Stat(hashes_file_name_, &status) == 0) {
    hash_file_device_ = status.device;
    hash_file_inode_ = status.inode;
    hash_file_identity_known_ = true;
  }
  scan_skips_ = new_list.VisibleTemporaryName();

  NormalizeBaseDirectories();
  int result = kResultNothingScanned;
  {
    // Declared after the guard, so the helpers stop before the list goes.
    BuildReadAhead read_ahead(fs, read_ahead_threads_, junctions_, hash_file_identity_known_, hash_file_device_,
                              hash_file_inode_);
    if (read_ahead.Active()) build_read_ahead_ = &read_ahead;
    result = ScanBaseDirectories(&Verify::BuildFile, 0);
    build_read_ahead_ = nullptr;
  }

  // Stopped on request, the build keeps what it did, in the order it was
  // done; complete, the list is sorted.
  if (result != kResultAborted) {
    if (show_progress_) DoStateChange(vstSortingResults, nullptr);
    hash_list_->SortByPath();
  }
  hash_list_->WriteTo(new_list, nullptr, HashStates{});
  new_list.Commit();
  return result;
}

int Verify::BuildFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  try {
    platform::FileSystem& fs = platform::CurrentFileSystem();
    const std::string file_name = OsPath(*base_path, path);
    platform::FileStatus status;
    const bool known = (hash_file_identity_known_ || build_read_ahead_ != nullptr) &&
                       fs.Stat(file_name, &status) == 0;
    // The old list is on its way out: hashed, it would go into its own
    // successor.
    if (known && hash_file_identity_known_ && status.device == hash_file_device_ &&
        status.inode == hash_file_inode_) {
      throw EFOpenError("Cannot open file \"" + fs.FullPath(file_name) + "\". " + fs.ErrorText(EBUSY));
    }

    auto item = std::make_unique<HashItem>();
    BuildReadAhead::Result ahead;
    bool read_ahead = false;
    if (known && build_read_ahead_ != nullptr && status.is_regular() && status.size <= BuildReadAhead::kMaxSize) {
      const size_t slash = file_name.rfind('/');
      const std::string_view name = std::string_view(file_name).substr(slash + 1);
      const std::string_view directory = std::string_view(file_name).substr(0, slash + 1);
      if (!build_read_ahead_->Knows(directory)) {
        const size_t rel_slash = path.rfind('\\');
        const std::string_view rel_directory =
            rel_slash == std::string::npos ? std::string_view() : std::string_view(path).substr(0, rel_slash + 1);
        build_read_ahead_->EnterDirectory(std::string(directory), rel_directory, name,
                                          [this](const std::string& rel) { return IsIncluded(rel); });
      }
      read_ahead = build_read_ahead_->Take(name, status, &ahead);
    }
    if (read_ahead) {
      item->SetBasePath(base_path);
      item->SetPath(path);
      // The one read that ReadFromFile would report, abort check included.
      if (ahead.size > 0) ItemProgress(item.get(), ahead.size, ahead.size);
      item->SetHash(ahead.hash);
      item->SetSize(ahead.size);
      item->SetDate(ahead.date);
    } else if (known && build_read_ahead_ != nullptr && status.is_regular() &&
               status.size > static_cast<int64_t>(kHashReadSize)) {
      ReadLargeFile(*item, base_path, path, file_name, status.size, junctions_, ItemProgressCallback());
    } else {
      item->ReadFromFile(base_path, path, ItemProgressCallback(), junctions_);
    }
    item->SetState(hsNew);
    HashItem& entry = *item;
    hash_list_->Add(std::move(item));
    // A handler that fails leaves the entry in the list.
    if (show_progress_) DoStateChange(vstBuildOutput, std::make_unique<StateChangeHashItem>(entry));
    return kResultNothing;
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    return HandleFileError(e, *base_path, path);
  }
}

}  // namespace hv
