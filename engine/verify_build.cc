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
#include "engine/scan_listing.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/file_replacement.h"

namespace hv {

int Verify::Build() {
  KeepOutputOpen();
  // A base directory that cannot be listed (or is not there) would make a
  // list without its files: refused before anything is written.
  CheckBaseDirectories();
  StartCommand();
  return RunWithoutWow64Redirection([this] { return BuildBody(); });
}

int Verify::BuildBody() {
  platform::FileSystem& fs = platform::CurrentFileSystem();
  // Made first, so that a list that cannot be written fails before the
  // scan. It is filled only at the end: until then the old list stays, and
  // whatever ends the build early leaves it as it was.
  FileReplacement new_list(hashes_file_name_);

  NormalizeBaseDirectories();
  int result = kResultNothingScanned;
  {
    CommandRun run;
    std::string temporary;
    platform::FileStatus status;
    if (new_list.VisibleTemporary(&temporary, &status)) {
      run.scan_skip = ScanSkip(temporary, status.device, status.inode);
    }
    if (fs.Stat(hashes_file_name_, &status) == 0) {
      run.list_known = true;
      run.list_device = status.device;
      run.list_inode = status.inode;
    }
    // Its helpers stop with the scan, before the list is sorted.
    BuildReadAhead read_ahead(fs, read_ahead_threads_, TreesToReadAhead(run));
    if (read_ahead.Active()) run.read_ahead = &read_ahead;
    result = ScanBaseDirectories(run, &Verify::BuildFile, 0);
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

ReadAheadTrees Verify::TreesToReadAhead(const CommandRun& run) {
  ReadAheadTrees trees;
  try {
    for (const std::string& directory : base_directories_) {
      ReadAheadTrees::Start& start = trees.starts.emplace_back();
      SplitBaseDirectory(directory, start.base_path, start.rel_path);
    }
  } catch (const std::exception&) {
    // The scan fails there when it gets there; the helpers stop short of it.
    trees.starts.pop_back();
  }
  trees.recursive = recursive_;
  trees.follow_links = junctions_;
  trees.skip = run.scan_skip;
  trees.list_known = run.list_known;
  trees.list_device = run.list_device;
  trees.list_inode = run.list_inode;
  trees.included = RulesForAnotherThread();
  return trees;
}

int Verify::BuildFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  try {
    platform::FileSystem& fs = platform::CurrentFileSystem();
    const CommandRun& run = *run_;
    BuildReadAhead* const read_ahead = run.read_ahead;
    platform::FileStatus status;
    const bool known =
        (read_ahead != nullptr || run.list_known) && StatScannedFile(base_path, path, &status) == 0;
    // The old list is on its way out: hashed, it would go into its own
    // successor.
    if (known && run.list_known && status.device == run.list_device && status.inode == run.list_inode) {
      throw EFOpenError("Cannot open file \"" + fs.FullPath(OsPath(*base_path, path)) + "\". " +
                        fs.ErrorText(EBUSY));
    }

    auto item = std::make_unique<HashItem>();
    BuildReadAhead::Result ahead;
    bool taken = false;
    if (known && read_ahead != nullptr && status.is_regular() && status.size <= BuildReadAhead::kMaxSize) {
      taken = read_ahead->Take(base_path, path, status, &ahead);
    }
    if (taken) {
      item->SetBasePath(base_path);
      item->SetPath(path);
      // The one read that ReadFromFile would report, abort check included.
      if (ahead.size > 0) ItemProgress(item.get(), ahead.size, ahead.size);
      item->SetHash(ahead.hash);
      item->SetSize(ahead.size);
      item->SetDate(ahead.date);
    } else if (known && read_ahead != nullptr && status.is_regular() &&
               status.size > static_cast<int64_t>(kHashReadSize)) {
      ReadLargeFile(*item, base_path, path, OsPath(*base_path, path), junctions_, ItemProgressCallback());
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
