// The Build command: every file under the base directories is hashed into a
// new list. Each line goes to the hash-list file as soon as its file is
// hashed, so an interrupted build leaves what it did; a complete build then
// rewrites the file sorted by path.
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
#include "support/text_stream.h"

namespace hv {

namespace {

// Puts back the stream of a line whose write failed: nothing of that line may
// reach the file, or a later successful write would glue it to the next one.
void ForgetFailedLine(TextStream& stream, int64_t line_start, FileEncoding encoding_before) {
  try {
    stream.SetSize(line_start);
  } catch (const std::exception&) {
    // The write has failed already; that is the error the caller reports.
  }
  stream.SetPosition(line_start);
  // A first line that failed must still get the byte-order mark in front.
  if (encoding_before == feAuto) stream.SetEncoding(feAuto);
}

}  // namespace

int Verify::Build() {
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
  int result = 102;
  // The stream is the engine's only while this command runs, on every way out.
  struct StreamGuard {
    Verify& verify;
    ~StreamGuard() {
      verify.build_read_ahead_ = nullptr;
      verify.hash_file_identity_known_ = false;
      verify.hash_file_stream_.reset();
    }
  } guard{*this};

  hash_file_stream_ = std::make_unique<TextStream>(hashes_file_name_, OpenMode::fmCreate);
  hash_file_stream_->Close();
  hash_file_stream_.reset();
  hash_file_stream_ = std::make_unique<TextStream>(hashes_file_name_, OpenMode::fmOpenReadWrite);
  platform::FileStatus status;
  if (platform::CurrentFileSystem().Stat(hashes_file_name_, &status) == 0) {
    hash_file_device_ = status.device;
    hash_file_inode_ = status.inode;
    hash_file_identity_known_ = true;
  }

  NormalizeBaseDirectories();
  {
    // Declared after the guard, so the helpers stop before the stream goes.
    BuildReadAhead read_ahead(platform::CurrentFileSystem(), read_ahead_threads_, junctions_,
                              hash_file_identity_known_, hash_file_device_, hash_file_inode_);
    if (read_ahead.Active()) build_read_ahead_ = &read_ahead;
    try {
      std::string base_path;
      std::string rel_path;
      for (const std::string& directory : base_directories_) {
        SplitBaseDirectory(directory, base_path, rel_path);
        const int r = ScanDirectory(std::make_shared<const std::string>(base_path), rel_path,
                                    &Verify::BuildFile, 0);
        // A later 0 does not hide an earlier failure.
        if (result == 102 || r != 0) result = r;
      }
    } catch (const EDelayedAbort&) {
      result = 253;
    }
    build_read_ahead_ = nullptr;
  }

  // Closed explicitly so that a failed last write is heard.
  hash_file_identity_known_ = false;
  hash_file_stream_->Close();
  hash_file_stream_.reset();

  if (result != 253) {
    if (show_progress_) DoStateChange(vstSortingResults, nullptr);
    hash_list_->SortByPath();
    hash_list_->SaveToFile(hashes_file_name_, nullptr, HashStates{});
  }
  return result;
}

int Verify::BuildFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  try {
    platform::FileSystem& fs = platform::CurrentFileSystem();
    const std::string file_name = OsPath(*base_path, path);
    platform::FileStatus status;
    const bool known = (hash_file_identity_known_ || build_read_ahead_ != nullptr) &&
                       fs.Stat(file_name, &status) == 0;
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
    const int index = hash_list_->Add(std::move(item));

    TextStream& stream = *hash_file_stream_;
    const int64_t line_start = stream.Position();
    const FileEncoding encoding_before = stream.Encoding();
    try {
      stream.WriteLine(entry.BuildOutput(true));
      // A handler may look at the file: it finds every line written so far.
      if (show_progress_ && on_state_change_) stream.Flush();
    } catch (const std::exception&) {
      ForgetFailedLine(stream, line_start, encoding_before);
      // An entry without its line is no part of the list.
      hash_list_->Delete(index);
      throw;
    }

    if (show_progress_) DoStateChange(vstBuildOutput, std::make_unique<StateChangeHashItem>(entry));
    return 0;
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    return HandleFileError(e, *base_path, path);
  }
}

}  // namespace hv
