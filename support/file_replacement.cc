#include "support/file_replacement.h"

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "support/exceptions.h"
#include "support/file_stream.h"
#include "support/memory_stream.h"

namespace hv {

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Attributes that only a privileged process may set: an ordinary user's new
// file goes without them, as a copy of the file would.
bool PrivilegedAttribute(std::string_view name) {
  return name.starts_with("security.") || name.starts_with("trusted.");
}

}  // namespace

FileReplacement::FileReplacement(const std::string& file_name)
    : fs_(platform::CurrentFileSystem()), file_name_(file_name) {
  // Only a name that leads nowhere means there is no old file. Taken for
  // one, a file that could not be looked at would lose its owner, mode,
  // attributes and other names to the new one.
  const platform::ErrorCode stat_error = fs_.Stat(file_name_, &old_status_);
  if (stat_error != 0 && stat_error != ENOENT) FailCreate(stat_error);
  old_exists_ = stat_error == 0;
  if (old_exists_ && old_status_.is_directory()) FailCreate(EISDIR);
  target_ = fs_.ResolveLinks(file_name_);
  // A device, a FIFO or the program's own standard output must be written,
  // not replaced; a file with several names keeps them all only when it is
  // rewritten.
  written_as_output_ = old_exists_ && FileStream::WrittenInPlace(file_name_);
  bool in_place = written_as_output_ || (old_exists_ && old_status_.link_count > 1);
  if (!in_place) {
    std::unique_ptr<platform::File> file;
    const platform::ErrorCode error = fs_.CreateTemporary(target_, &temp_name_, &file);
    if (error != 0) {
      temp_name_.clear();
      // A directory that refuses new files still lets a writable list be
      // rewritten. A full disk or quota does not: that would lose the list.
      if (!old_exists_ || (error != EACCES && error != EPERM)) FailCreate(error);
      in_place = true;
    } else {
      if (file->Status(&temp_status_) != 0) temp_status_ = {};
      try {
        if (old_exists_) CopyAttributes(*file);
      } catch (...) {
        file.reset();
        fs_.DeleteFile(temp_name_);
        throw;
      }
      auto stream = std::make_unique<FileStream>(std::move(file), temp_name_);
      file_stream_ = stream.get();
      text_ = std::make_unique<TextStream>(std::move(stream));
    }
  }
  if (in_place) {
    auto stream = std::make_unique<MemoryStream>();
    memory_ = stream.get();
    text_ = std::make_unique<TextStream>(std::move(stream));
  }
}

FileReplacement::~FileReplacement() {
  if (done_ || temp_name_.empty()) return;
  // Closed before it goes; whatever it held is not wanted.
  try {
    text_->Close();
  } catch (const std::exception&) {
  }
  fs_.DeleteFile(temp_name_);
}

void FileReplacement::FailCreate(platform::ErrorCode error) const {
  throw EFCreateError("Cannot create file \"" + fs_.FullPath(file_name_) + "\". " + fs_.ErrorText(error));
}

void FileReplacement::FailWrite(platform::ErrorCode error) const {
  throw EWriteError("Cannot write file \"" + fs_.FullPath(file_name_) + "\". " + fs_.ErrorText(error));
}

platform::ErrorCode FileReplacement::LastWriteError() const {
  const platform::ErrorCode error = file_stream_ != nullptr ? file_stream_->LastError() : 0;
  return error != 0 ? error : EIO;
}

void FileReplacement::CopyAttributes(platform::File& file) const {
  // The owner first: changing it clears the set-user-ID and set-group-ID
  // bits. Whoever may not give the file away may still be able to give it
  // the group; failing both, the file is the process's own.
  if (file.SetOwner(old_status_.owner, old_status_.group) != 0) {
    file.SetOwner(static_cast<uint32_t>(-1), old_status_.group);
  }
  if (const platform::ErrorCode error = file.SetPermissions(old_status_.permissions)) FailCreate(error);
  std::vector<std::pair<std::string, std::string>> attributes;
  if (const platform::ErrorCode error = fs_.ReadExtendedAttributes(target_, &attributes)) FailCreate(error);
  for (const auto& [name, value] : attributes) {
    const platform::ErrorCode error = file.SetExtendedAttribute(name, value);
    if (error != 0 && !(PrivilegedAttribute(name) && (error == EPERM || error == EACCES))) FailCreate(error);
  }
}

void FileReplacement::WriteLine(std::string_view line) {
  try {
    text_->WriteLine(line);
  } catch (const EStreamError&) {
    FailWrite(LastWriteError());
  }
}

bool FileReplacement::VisibleTemporary(std::string* name, platform::FileStatus* status) const {
  if (temp_name_.empty() || temp_status_.link_count == 0) return false;
  *name = temp_name_;
  *status = temp_status_;
  return true;
}

void FileReplacement::Commit() {
  if (temp_name_.empty()) {
    CommitInPlace();
    done_ = true;
    return;
  }
  try {
    text_->Sync();
    text_->Close();
  } catch (const EStreamError&) {
    FailWrite(LastWriteError());
  }
  if (const platform::ErrorCode error = fs_.Rename(temp_name_, target_)) FailCreate(error);
  done_ = true;
  // The rename has happened; a directory that cannot be synced changes nothing.
  fs_.SyncDirectory(DirectoryOf(target_));
}

void FileReplacement::CommitInPlace() {
  text_->Flush();
  const std::string& contents = memory_->Data();
  const auto size = static_cast<int64_t>(contents.size());
  if (written_as_output_) {
    const std::unique_ptr<FileStream> output = FileStream::CreateOutput(file_name_);
    try {
      output->WriteBuffer(contents.data(), size);
      output->Close();
    } catch (const EStreamError&) {
      FailWrite(output->LastError() != 0 ? output->LastError() : EIO);
    }
    return;
  }
  // Emptied only once its new contents have room: a full disk then fails
  // before anything of the old file changed.
  std::unique_ptr<platform::File> file;
  if (const platform::ErrorCode error = fs_.Open(target_, OpenMode::fmOpenReadWrite, &file)) FailCreate(error);
  platform::ErrorCode error = file->Reserve(size);
  if (error == 0) error = file->Write(contents.data(), size);
  if (error == 0) error = file->Truncate(size);
  if (error == 0) error = file->Sync();
  const platform::ErrorCode close_error = file->Close();
  if (error == 0) error = close_error;
  if (error != 0) FailWrite(error);
}

}  // namespace hv
