#include "engine/verify.h"

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "engine/os_path.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/directory.h"
#include "support/file_stream.h"
#include "support/text_stream.h"

namespace hv {

Verify::Verify()
    : hash_list_(std::make_unique<HashList>()), aux_hash_list_(std::make_unique<HashList>()) {}

Verify::~Verify() = default;

void Verify::Clear() {
  hash_list_->Clear();
  ClearIncludeExcludeMasks();
  verify_command_ = vcDefault;
  hashes_file_name_.clear();
  output_file_name_.clear();
  kept_output_.reset();
  match_list_file_name_.clear();
  base_directories_.clear();
  base_directories_root_.clear();
  recursive_ = true;
  junctions_ = true;
  read_ahead_threads_ = -1;
  show_progress_ = true;
  disable_wow64_ = false;
  use_timestamp_ = true;
  timestamp_precision_ = 0;
  hide_states_ = HashStates{hsOK};
  aborted_.store(false);
}

void Verify::CheckAborted() {
  if (aborted_.exchange(false)) throw EDelayedAbort(kTaskAborted);
}

void Verify::DoStateChange(VerifyState state, std::unique_ptr<StateChangeObject> info) {
  // `info` is freed when this returns, whether or not the handler threw.
  if (on_state_change_) on_state_change_(*this, state, info.get());
}

void Verify::DoProgress(int64_t position, int64_t max) {
  if (on_progress_) on_progress_(*this, position, max);
}

void Verify::ItemProgress(const void* /*sender*/, int64_t done, int64_t total) {
  CheckAborted();
  if (show_progress_) DoProgress(done, total);
}

progress::ProgressEvent Verify::ItemProgressCallback() {
  return [this](const void* sender, int64_t done, int64_t total) { ItemProgress(sender, done, total); };
}

int Verify::HandleFileError(const std::exception& e, const std::string& base_path,
                            const std::string& path) {
  return ReportFileError(e, OsPath(base_path, path));
}

int Verify::ReportFileError(const std::exception& e, const std::string& file_name) {
  if (dynamic_cast<const EAbort*>(&e) != nullptr) return kResultAborted;
  DoStateChange(vstFileError, std::make_unique<StateChangeErrorInFile>(e, file_name));
  return kResultFileError;
}

void Verify::SendStatistics(VerifyState state, const int32_t (&counts)[hsRenamed + 1]) {
  if (!show_progress_) return;
  DoStateChange(state, std::make_unique<StateChangeStatistics>(counts[hsOK], counts[hsNew], counts[hsChanged],
                                                               counts[hsDeleted], counts[hsCopied],
                                                               counts[hsRenamed]));
}

platform::ErrorCode Verify::StatScannedFile(const BasePathPtr& base_path, const std::string& path,
                                            platform::FileStatus* status) {
  if (run_ != nullptr && run_->directory != nullptr) return run_->directory->Stat(run_->file_name, status);
  return platform::CurrentFileSystem().Stat(OsPath(*base_path, path), status);
}

void Verify::CheckBaseDirectories() {
  const std::vector<std::string> given = base_directories_;
  NormalizeBaseDirectories();
  platform::FileSystem& fs = platform::CurrentFileSystem();
  std::string base_path;
  std::string rel_path;
  for (size_t i = 0; i < base_directories_.size(); ++i) {
    std::string name = given[i];
    platform::ErrorCode error = ENOENT;
    if (!base_directories_[i].empty()) {
      SplitBaseDirectory(base_directories_[i], base_path, rel_path);
      name = OsPath(base_path, rel_path);
      std::unique_ptr<platform::DirectoryReader> reader;
      error = fs.OpenDirectory(name, &reader);
    }
    if (error != 0) throw EFOpenError("Cannot open directory \"" + name + "\". " + fs.ErrorText(error));
  }
}

void Verify::DeleteOutputFile() {
  if (output_file_name_.empty()) return;
  for (const std::string* other : {&hashes_file_name_, &match_list_file_name_}) {
    if (!other->empty() && platform::CurrentFileSystem().SameFile(output_file_name_, *other)) {
      throw EFCreateError("Cannot create file \"" +
                          platform::CurrentFileSystem().FullPath(output_file_name_) +
                          "\". The output file must not be the hash-list file or the match file.");
    }
  }
  // Whether the old file could be deleted does not matter: a command that
  // writes results replaces it anyway. Only a file goes: a link leads to
  // the file to delete and stays, and a FIFO, a device or the program's own
  // standard output is written in place.
  platform::FileSystem& fs = platform::CurrentFileSystem();
  platform::FileStatus status;
  if (fs.Stat(output_file_name_, &status) == 0 && status.is_regular() &&
      !platform::CurrentConsole().IsStandardOutput(status)) {
    fs.DeleteFile(fs.ResolveLinks(output_file_name_));
  }
}

void Verify::KeepOutputOpen() {
  if (kept_output_ != nullptr || output_file_name_.empty() ||
      !FileStream::WrittenInPlace(output_file_name_)) {
    return;
  }
  kept_output_ = std::make_unique<TextStream>(FileStream::CreateOutput(output_file_name_));
}

void Verify::StartCommand() {
  hash_list_->Clear();
  aux_hash_list_->Clear();
  DeleteOutputFile();
}

void Verify::LoadHashFile(const std::string& file_name, HashList& list) {
  list.Clear();
  if (show_progress_) {
    DoStateChange(vstLoadingHashFile, std::make_unique<StateChangeFilename>(file_name));
  }
  list.LoadFromFile(file_name, nullptr, ItemProgressCallback(), hsOK);
  FilterList(list);
  if (show_progress_) DoStateChange(vstProgressDone, nullptr);
}

}  // namespace hv
