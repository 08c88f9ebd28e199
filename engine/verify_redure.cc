// The verify (Redure) and Update commands: the files under the base
// directories are checked against a hash-list file, classified by the list
// comparison, and for Update written back as the new list.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/entry_order.h"
#include "engine/list_lookup.h"
#include "engine/os_path.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/date_time.h"

namespace hv {

namespace {

// Whether a file may be taken as unchanged without reading it: both times
// known and within `precision` milliseconds of each other, and equal sizes.
// One stat (by `stat_file`) gives both the time and the size.
template <typename StatFile>
bool AcceptedByTimestamp(const HashItem& entry, int32_t precision, StatFile stat_file) {
  if (precision < 0 || !(entry.Date() > 0)) return false;
  platform::FileStatus status;
  if (stat_file(&status) != 0 || !status.is_regular()) return false;
  if (status.size != entry.Size()) return false;
  // The file's time as a hash of it would store it.
  const DateTime file_date = DateTimeFromUnixMilliseconds(status.modified_ms);
  if (!(file_date > 0)) return false;
  int64_t difference = DateTimeToMilliseconds(entry.Date()) - DateTimeToMilliseconds(file_date);
  if (difference < 0) difference = -difference;
  return difference <= precision;
}

// What a list is read from that nothing can be written back to, or null: an
// unnamed pipe is empty once read (and one the program still reads would
// swallow the new list or block on it), and a socket is no file.
const char* UnrewritableSource(platform::FileSystem& fs, const std::string& file_name) {
  platform::FileStatus status;
  if (fs.Stat(file_name, &status) != 0) return nullptr;
  if (status.kind == platform::FileKind::kSocket) return "a socket";
  if (status.kind == platform::FileKind::kFifo && fs.IsUnnamedPipe(file_name)) return "a pipe";
  return nullptr;
}

}  // namespace

int Verify::Redure() {
  KeepOutputOpen();
  return RunVerify(&Verify::VerifyFile, &Verify::VerifyFinish, 0);
}

int Verify::Update() {
  KeepOutputOpen();
  platform::FileSystem& fs = platform::CurrentFileSystem();
  if (const char* source = UnrewritableSource(fs, hashes_file_name_)) {
    throw EFCreateError("Cannot create file \"" + fs.FullPath(hashes_file_name_) + "\". A list read from " +
                        source + " cannot be rewritten.");
  }
  // A base directory that cannot be listed would drop every entry under it
  // from the rewritten list.
  CheckBaseDirectories();
  return RunVerify(&Verify::UpdateFile, &Verify::UpdateFinish, 0);
}

int Verify::RunVerify(FileProc file_proc, FinishProc finish_proc, int param) {
  StartCommand();
  return RunWithoutWow64Redirection(
      [this, file_proc, finish_proc, param] { return RunVerifyBody(file_proc, finish_proc, param); });
}

int Verify::RunVerifyBody(FileProc file_proc, FinishProc finish_proc, int param) {
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

  CommandRun run;
  ListLookup lookup(*hash_list_);
  run.lookup = &lookup;
  int result;
  try {
    result = ScanBaseDirectories(run, file_proc, param);
  } catch (...) {
    // The new entries join the list whatever ends the scan.
    lookup.Merge();
    throw;
  }
  lookup.Merge();
  MarkUncheckedDirectories(run);

  if (finish_proc != nullptr) (this->*finish_proc)(result, param);
  // A file that could not be read hides nothing else: the results are shown
  // whenever the scan got through, and kResultFileError still tells that a
  // file failed.
  if (result == kResultNothing || result == kResultShown) {
    result = CompareLists();
  } else if (result == kResultFileError) {
    CompareLists();
  }
  return result;
}

void Verify::MarkUncheckedDirectories(const CommandRun& run) {
  for (const std::string& directory : run.unreadable_directories) {
    // In path order the paths below a directory "d\" run from "d\" up to
    // "d]", the character after the separator; case folding may put paths
    // of another spelling among them.
    std::string end = directory;
    if (!end.empty()) end.back() = ']';
    int index = 0;
    hash_list_->FindByPath(directory, index);
    for (; index < hash_list_->Count(); ++index) {
      HashItem& entry = hash_list_->Items(index);
      if (!end.empty() && ComparePaths(entry.Path(), end) >= 0) break;
      if (entry.State() == hsDeleted && entry.Path().starts_with(directory)) entry.SetState(hsUnchecked);
    }
  }
}

int Verify::VerifyFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  ListLookup& lookup = *run_->lookup;
  try {
    if (use_timestamp_) {
      HashItem* entry = lookup.Find(path);
      const auto stat_file = [&](platform::FileStatus* status) { return StatScannedFile(base_path, path, status); };
      if (entry != nullptr && AcceptedByTimestamp(*entry, timestamp_precision_, stat_file)) {
        // The entry keeps its stored date, hash and path.
        entry->SetState(hsOK);
        return kResultNothing;
      }
    }

    auto item = std::make_unique<HashItem>();
    item->ReadFromFile(base_path, path, ItemProgressCallback(), junctions_);
    if (HashItem* entry = lookup.Find(path)) {
      const bool same = entry->Size() == item->Size() && entry->Hash() == item->Hash();
      entry->Assign(*item);
      entry->SetState(same ? hsOK : hsChanged);
      return same ? kResultNothing : kResultShown;
    }
    item->SetState(hsNew);
    lookup.Add(std::move(item));
    return kResultShown;
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    // A loaded entry not yet seen was not checked: it is kept as it was.
    HashItem* entry = lookup.Find(path);
    if (entry != nullptr && entry->State() == hsDeleted) entry->SetState(hsUnchecked);
    return HandleFileError(e, *base_path, path);
  }
}

int Verify::UpdateFile(const BasePathPtr& base_path, const std::string& path, int param) {
  return VerifyFile(base_path, path, param);
}

void Verify::VerifyFinish(int& /*result*/, int /*param*/) { hash_list_->DeleteByState(hsDeleted); }

void Verify::UpdateFinish(int& result, int param) {
  VerifyFinish(result, param);
  // Aborted, or nothing scanned: the file stays as it was. Entries that
  // could not be checked are written as they were loaded.
  if (result == kResultAborted || result == kResultNothingScanned) return;
  hash_list_->SortByPath();
  hash_list_->SaveToFile(hashes_file_name_, nullptr, HashStates{});
}

}  // namespace hv
