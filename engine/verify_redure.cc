// The verify (Redure) and Update commands: the files under the base
// directories are checked against a hash-list file, classified by the list
// comparison, and for Update written back as the new list.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/os_path.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/date_time.h"

namespace hv {

namespace {

// Whether a file may be taken as unchanged without reading it: both times
// known and within `precision` milliseconds of each other, and equal sizes.
// One stat gives both the time and the size.
bool AcceptedByTimestamp(const HashItem& entry, const std::string& file_name, int32_t precision) {
  if (precision < 0 || !(entry.Date() > 0)) return false;
  platform::FileStatus status;
  if (platform::CurrentFileSystem().Stat(file_name, &status) != 0 || !status.is_regular()) return false;
  if (status.size != entry.Size()) return false;
  // The file's time as a hash of it would store it.
  const DateTime file_date = DateTimeFromUnixMilliseconds(status.modified_ms);
  if (!(file_date > 0)) return false;
  int64_t difference = DateTimeToMilliseconds(entry.Date()) - DateTimeToMilliseconds(file_date);
  if (difference < 0) difference = -difference;
  return difference <= precision;
}

}  // namespace

int Verify::Redure() { return RunVerify(&Verify::VerifyFile, &Verify::VerifyFinish, 0); }

int Verify::Update() {
  // A base directory that is not there would drop every entry under it from
  // the rewritten list, so Update refuses it before anything is written.
  const std::vector<std::string> given = base_directories_;
  NormalizeBaseDirectories();
  platform::FileSystem& fs = platform::CurrentFileSystem();
  std::string base_path;
  std::string rel_path;
  for (size_t i = 0; i < base_directories_.size(); ++i) {
    const std::string& directory = base_directories_[i];
    std::string name = given[i];
    platform::ErrorCode error = ENOENT;
    if (!directory.empty()) {
      SplitBaseDirectory(directory, base_path, rel_path);
      name = OsPath(base_path, rel_path);
      platform::FileStatus status;
      error = fs.Stat(name.size() > 1 ? name.substr(0, name.size() - 1) : name, &status);
      if (error == 0 && !status.is_directory()) error = ENOTDIR;
    }
    if (error != 0) {
      throw EFOpenError("Cannot open directory \"" + name + "\". " + fs.ErrorText(error));
    }
  }
  return RunVerify(&Verify::UpdateFile, &Verify::UpdateFinish, 0);
}

int Verify::RunVerify(FileProc file_proc, FinishProc finish_proc, int param) {
  hash_list_->Clear();
  aux_hash_list_->Clear();
  unchecked_entries_.clear();
  DeleteOutputFile();
#if defined(HV_VARIANT32)
  return RunWithoutWow64Redirection(
      [this, file_proc, finish_proc, param] { return RunVerifyBody(file_proc, finish_proc, param); });
#else
  return RunVerifyBody(file_proc, finish_proc, param);
#endif
}

int Verify::RunVerifyBody(FileProc file_proc, FinishProc finish_proc, int param) {
  int result = 102;
  NormalizeBaseDirectories();
  LoadHashFile(hashes_file_name_, *hash_list_);

  if (show_progress_) DoStateChange(vstSortingHashlist, nullptr);
  hash_list_->SortByPath();
  // The old list is a copy in path order; every loaded entry counts as not
  // seen until its file turns up.
  const int count = hash_list_->Count();
  for (int i = 0; i < count; ++i) {
    HashItem& entry = hash_list_->Items(i);
    entry.SetState(hsOK);
    aux_hash_list_->AddCopy(entry);
    entry.SetState(hsDeleted);
  }

  try {
    std::string base_path;
    std::string rel_path;
    for (const std::string& directory : base_directories_) {
      SplitBaseDirectory(directory, base_path, rel_path);
      const int r = ScanDirectory(std::make_shared<const std::string>(base_path), rel_path, file_proc, param);
      if (result == 102 || r != 0) result = r;
    }
  } catch (const EDelayedAbort&) {
    result = 253;
  }

  if (finish_proc != nullptr) (this->*finish_proc)(result, param);
  if (result == 0 || result == 1) result = CompareLists();
  return result;
}

int Verify::VerifyFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  int index = 0;
  try {
    if (use_timestamp_ && hash_list_->FindByPath(path, index)) {
      HashItem& entry = hash_list_->Items(index);
      if (AcceptedByTimestamp(entry, OsPath(*base_path, path), timestamp_precision_)) {
        // The entry keeps its stored date, hash and path.
        entry.SetState(hsOK);
        if (!unchecked_entries_.empty()) unchecked_entries_.erase(&entry);
        return 0;
      }
    }

    auto item = std::make_unique<HashItem>();
    item->ReadFromFile(base_path, path, ItemProgressCallback(), junctions_);
    if (hash_list_->FindByPath(path, index)) {
      HashItem& entry = hash_list_->Items(index);
      if (!unchecked_entries_.empty()) unchecked_entries_.erase(&entry);
      if (entry.Size() == item->Size() && entry.Hash() == item->Hash()) {
        entry.Assign(*item);
        entry.SetState(hsOK);
        return 0;
      }
      item->SetState(hsChanged);
      hash_list_->SetItem(index, std::move(item));
      return 1;
    }
    item->SetState(hsNew);
    hash_list_->Insert(index, std::move(item));
    return 1;
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    // A loaded entry not yet seen stays deleted; Update remembers it to keep it.
    if (hash_list_->FindByPath(path, index)) {
      HashItem& entry = hash_list_->Items(index);
      if (entry.State() == hsDeleted) unchecked_entries_.insert(&entry);
    }
    return HandleFileError(e, *base_path, path);
  }
}

int Verify::UpdateFile(const BasePathPtr& base_path, const std::string& path, int param) {
  return VerifyFile(base_path, path, param);
}

void Verify::VerifyFinish(int& /*result*/, int /*param*/) {
  hash_list_->DeleteByState(hsDeleted);
  // Whatever they pointed at may be gone now.
  unchecked_entries_.clear();
}

void Verify::UpdateFinish(int& result, int param) {
  // Aborted, or nothing scanned: the file stays as it was.
  const bool write = result != 253 && result != 102;
  if (write) {
    // A file that could not be read keeps its old entry as loaded.
    for (HashItem* entry : unchecked_entries_) {
      if (entry->State() == hsDeleted) entry->SetState(hsOK);
    }
  }
  VerifyFinish(result, param);
  if (!write) return;
  hash_list_->SortByPath();
  hash_list_->SaveToFile(hashes_file_name_, nullptr, HashStates{});
}

}  // namespace hv
