#include "helpers/fake_file_system.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace hv::testing {

namespace {

constexpr uintptr_t kUnbufferedAlignment = 0x10000;

// What Stat finds for `entry`.
platform::ErrorCode StatusOf(FakeFileSystem::Entry& entry, platform::FileStatus* status) {
  if (entry.on_stat) entry.on_stat(entry);
  if (entry.stat_error != 0) return entry.stat_error;
  *status = platform::FileStatus{};
  status->kind = entry.kind;
  status->size = entry.stat_size ? *entry.stat_size : entry.Length();
  status->modified_ms = entry.modified_ms;
  status->modified = {entry.modified_ms / 1000, static_cast<int32_t>(entry.modified_ms % 1000 * 1000000)};
  status->changed = entry.changed ? *entry.changed : status->modified;
  status->link_count = entry.link_count;
  status->owner = entry.owner;
  status->group = entry.group;
  status->accessed_ms = entry.accessed_ms;
  status->has_birth_time = entry.has_birth_time;
  status->birth_ms = entry.birth_ms;
  status->device = entry.device;
  status->inode = entry.inode;
  status->permissions = entry.permissions;
  return 0;
}

class FakeReadableFile final : public platform::ReadableFile {
 public:
  FakeReadableFile(std::shared_ptr<FakeFileSystem::Entry> entry, bool unbuffered,
                   std::shared_ptr<int> open_handles, std::shared_ptr<const void*> last_buffer,
                   std::shared_ptr<FakeFileSystem::CallFault> fault,
                   std::shared_ptr<std::recursive_mutex> mutex)
      : entry_(std::move(entry)),
        unbuffered_(unbuffered),
        open_handles_(std::move(open_handles)),
        last_buffer_(std::move(last_buffer)),
        fault_(std::move(fault)),
        mutex_(std::move(mutex)) {
    ++entry_->open_handles;
    ++*open_handles_;
  }
  ~FakeReadableFile() override {
    const std::lock_guard lock(*mutex_);
    --entry_->open_handles;
    --*open_handles_;
  }
  FakeReadableFile(const FakeReadableFile&) = delete;
  FakeReadableFile& operator=(const FakeReadableFile&) = delete;

  platform::ErrorCode Status(platform::FileStatus* status) override {
    const std::lock_guard lock(*mutex_);
    return StatusOf(*entry_, status);
  }

  int64_t Read(void* buffer, size_t count, platform::ErrorCode* error) override {
    const std::lock_guard lock(*mutex_);
    FakeFileSystem::Entry& entry = *entry_;
    ++entry.read_calls;
    *last_buffer_ = buffer;
    if (fault_->Hit(FakeFileSystem::CallKind::kRead)) {
      *error = fault_->error;
      return -1;
    }
    // What a file system that honours unbuffered reads would refuse.
    if (unbuffered_ && (reinterpret_cast<uintptr_t>(buffer) % kUnbufferedAlignment != 0 ||
                        count % kUnbufferedAlignment != 0)) {
      *error = EINVAL;
      return -1;
    }
    if (entry.fail_read_call != 0 && entry.read_calls == entry.fail_read_call) {
      *error = entry.read_error;
      return -1;
    }
    size_t wanted = count;
    if (entry.read_chunk != 0) wanted = std::min(wanted, entry.read_chunk);
    if (entry.fail_read_at_offset) {
      if (offset_ >= *entry.fail_read_at_offset) {
        *error = entry.read_error;
        return -1;
      }
      wanted = static_cast<size_t>(
          std::min<int64_t>(static_cast<int64_t>(wanted), *entry.fail_read_at_offset - offset_));
    }
    const int64_t length = entry.Length();
    if (offset_ >= length) return 0;
    const size_t n =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(wanted), length - offset_));
    auto* out = static_cast<char*>(buffer);
    if (entry.generated_size) {
      for (size_t i = 0; i < n; ++i) {
        out[i] =
            static_cast<char>(FakeFileSystem::GeneratedByte(offset_ + static_cast<int64_t>(i)));
      }
    } else {
      std::copy_n(entry.contents.data() + static_cast<size_t>(offset_), n, out);
    }
    offset_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }

 private:
  std::shared_ptr<FakeFileSystem::Entry> entry_;
  bool unbuffered_;
  std::shared_ptr<int> open_handles_;
  std::shared_ptr<const void*> last_buffer_;
  std::shared_ptr<FakeFileSystem::CallFault> fault_;
  std::shared_ptr<std::recursive_mutex> mutex_;
  int64_t offset_ = 0;
};

platform::EntryKind ListedKind(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::kRegular: return platform::EntryKind::kRegular;
    case platform::FileKind::kDirectory: return platform::EntryKind::kDirectory;
    case platform::FileKind::kSymbolicLink: return platform::EntryKind::kSymbolicLink;
    default: return platform::EntryKind::kOther;
  }
}

// A listing: the names were taken when it was opened. A name is looked at
// and opened by its full name.
class FakeDirectoryReader final : public platform::DirectoryReader {
 public:
  FakeDirectoryReader(FakeFileSystem& file_system, std::string prefix,
                      const FakeFileSystem::Entry& directory,
                      std::vector<std::pair<std::string, platform::EntryKind>> children)
      : by_name_(file_system, std::move(prefix)),
        device_(directory.device),
        inode_(directory.inode),
        fail_after_(directory.fail_listing_after),
        listing_error_(directory.listing_error),
        children_(std::move(children)) {}

  uint64_t device() const override { return device_; }
  uint64_t inode() const override { return inode_; }
  platform::ErrorCode error() const override { return error_; }

  bool Next(platform::DirectoryEntry* entry) override {
    if (error_ != 0) return false;
    if (fail_after_ && static_cast<int>(next_) >= *fail_after_) {
      error_ = listing_error_;
      return false;
    }
    if (next_ >= children_.size()) return false;
    entry->name = children_[next_].first;
    entry->kind = children_[next_].second;
    ++next_;
    return true;
  }

  platform::ErrorCode Stat(const std::string& name, platform::FileStatus* status) override {
    return by_name_.Stat(name, status);
  }
  platform::ErrorCode OpenForReading(const std::string& name, bool follow_links,
                                     std::unique_ptr<platform::ReadableFile>* file,
                                     platform::FileStatus* status) override {
    return by_name_.OpenForReading(name, follow_links, file, status);
  }

 private:
  platform::JoinedDirectoryHandle by_name_;
  uint64_t device_;
  uint64_t inode_;
  std::optional<int> fail_after_;
  platform::ErrorCode listing_error_;
  std::vector<std::pair<std::string, platform::EntryKind>> children_;
  size_t next_ = 0;
  platform::ErrorCode error_ = 0;
};

// A file opened with Open: reads and writes its entry's bytes at its own
// position.
class FakeFile final : public platform::File {
 public:
  FakeFile(std::shared_ptr<FakeFileSystem::Entry> entry, bool writable, bool append,
           std::shared_ptr<int> open_handles, std::shared_ptr<FakeFileSystem::CallFault> fault,
           std::shared_ptr<std::recursive_mutex> mutex)
      : entry_(std::move(entry)),
        writable_(writable),
        append_(append),
        open_handles_(std::move(open_handles)),
        fault_(std::move(fault)),
        mutex_(std::move(mutex)) {
    ++entry_->open_handles;
    ++*open_handles_;
  }
  ~FakeFile() override {
    const std::lock_guard lock(*mutex_);
    Release();
  }

  int64_t Read(void* buffer, int64_t count, platform::ErrorCode* error) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return Fail(EBADF, error);
    FakeFileSystem::Entry& entry = *entry_;
    ++entry.read_calls;
    if (fault_->Hit(FakeFileSystem::CallKind::kRead)) return Fail(fault_->error, error);
    if (entry.fail_read_call != 0 && entry.read_calls == entry.fail_read_call) {
      return Fail(entry.read_error, error);
    }
    int64_t wanted = std::max<int64_t>(0, count);
    if (entry.fail_read_at_offset) {
      if (position_ >= *entry.fail_read_at_offset && wanted > 0) return Fail(entry.read_error, error);
      wanted = std::min(wanted, *entry.fail_read_at_offset - position_);
    }
    const std::string bytes = FakeFileSystem::ContentsOf(entry, position_, static_cast<size_t>(wanted));
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(buffer));
    position_ += static_cast<int64_t>(bytes.size());
    return static_cast<int64_t>(bytes.size());
  }

  platform::ErrorCode Write(const void* buffer, int64_t count) override {
    const std::lock_guard lock(*mutex_);
    if (closed_ || !writable_) return EBADF;
    FakeFileSystem::Entry& entry = *entry_;
    ++entry.write_calls;
    if (fault_->Hit(FakeFileSystem::CallKind::kWrite)) return fault_->error;
    const bool fail = entry.fail_write_call != 0 ? entry.write_calls == entry.fail_write_call
                                                  : entry.write_error != 0;
    if (fail) return entry.write_error != 0 ? entry.write_error : EIO;
    Materialize();
    if (append_) position_ = entry.Length();
    const auto at = static_cast<size_t>(position_);
    const auto n = static_cast<size_t>(count);
    if (entry.contents.size() < at + n) entry.contents.resize(at + n, '\0');
    entry.contents.replace(at, n, static_cast<const char*>(buffer), n);
    position_ += count;
    return 0;
  }

  platform::ErrorCode Seek(int64_t offset, platform::Whence whence, int64_t* position) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    const int64_t base = whence == platform::Whence::kBeginning ? 0
                         : whence == platform::Whence::kCurrent ? position_
                                                                : entry_->Length();
    if (base + offset < 0) return EINVAL;
    position_ = base + offset;
    *position = position_;
    return 0;
  }

  platform::ErrorCode Size(int64_t* size) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    *size = entry_->Length();
    return 0;
  }

  platform::ErrorCode Truncate(int64_t size) override {
    const std::lock_guard lock(*mutex_);
    if (closed_ || !writable_) return closed_ ? EBADF : EINVAL;
    Materialize();
    entry_->contents.resize(static_cast<size_t>(size), '\0');
    return 0;
  }

  platform::ErrorCode Sync() override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    ++entry_->sync_calls;
    if (fault_->Hit(FakeFileSystem::CallKind::kSync)) return fault_->error;
    return entry_->sync_error;
  }

  platform::ErrorCode SetPermissions(uint32_t permissions) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    if (entry_->chmod_error != 0) return entry_->chmod_error;
    entry_->permissions = permissions & 07777;
    return 0;
  }

  platform::ErrorCode SetOwner(uint32_t owner, uint32_t group) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    entry_->owner = owner;
    entry_->group = group;
    return 0;
  }

  platform::ErrorCode SetExtendedAttribute(const std::string& name, const std::string& value) override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return EBADF;
    entry_->extended_attributes[name] = value;
    return 0;
  }

  platform::ErrorCode Status(platform::FileStatus* status) override {
    const std::lock_guard lock(*mutex_);
    return closed_ ? EBADF : StatusOf(*entry_, status);
  }

  platform::ErrorCode Reserve(int64_t /*size*/) override { return closed_ ? EBADF : 0; }

  bool Seekable() override { return !append_; }

  platform::ErrorCode Close() override {
    const std::lock_guard lock(*mutex_);
    if (closed_) return 0;
    ++entry_->close_calls;
    Release();
    if (fault_->Hit(FakeFileSystem::CallKind::kClose)) return fault_->error;
    return entry_->close_error;
  }

 private:
  static int64_t Fail(platform::ErrorCode code, platform::ErrorCode* error) {
    *error = code;
    return -1;
  }

  // Writing turns a generated file into one with real bytes.
  void Materialize() {
    FakeFileSystem::Entry& entry = *entry_;
    if (!entry.generated_size) return;
    entry.contents = FakeFileSystem::ContentsOf(entry, 0, static_cast<size_t>(entry.Length()));
    entry.generated_size.reset();
  }

  void Release() {
    if (closed_) return;
    closed_ = true;
    --entry_->open_handles;
    --*open_handles_;
  }

  std::shared_ptr<FakeFileSystem::Entry> entry_;
  bool writable_;
  bool append_;
  std::shared_ptr<int> open_handles_;
  std::shared_ptr<FakeFileSystem::CallFault> fault_;
  std::shared_ptr<std::recursive_mutex> mutex_;
  int64_t position_ = 0;
  bool closed_ = false;
};

}  // namespace

int64_t FakeFileSystem::Entry::Length() const {
  return generated_size ? *generated_size : static_cast<int64_t>(contents.size());
}

FakeFileSystem::FakeFileSystem()
    : open_handles_(std::make_shared<int>(0)),
      last_read_buffer_(std::make_shared<const void*>(nullptr)),
      fault_(std::make_shared<CallFault>()),
      mutex_(std::make_shared<std::recursive_mutex>()) {}

FakeFileSystem::~FakeFileSystem() = default;

FakeFileSystem::Entry& FakeFileSystem::Add(const std::string& path, platform::FileKind kind) {
  const std::lock_guard lock(*mutex_);
  auto entry = std::make_shared<Entry>();
  entry->kind = kind;
  entry->inode = next_inode_++;
  Entry& result = *entry;
  entries_[Key(path)] = std::move(entry);
  return result;
}

FakeFileSystem::Entry& FakeFileSystem::AddFile(const std::string& path, std::string contents,
                                               int64_t modified_ms) {
  Entry& entry = Add(path, platform::FileKind::kRegular);
  entry.contents = std::move(contents);
  entry.modified_ms = modified_ms;
  entry.accessed_ms = modified_ms;
  return entry;
}

FakeFileSystem::Entry& FakeFileSystem::AddGeneratedFile(const std::string& path, int64_t size,
                                                        int64_t modified_ms) {
  Entry& entry = Add(path, platform::FileKind::kRegular);
  entry.generated_size = size;
  entry.modified_ms = modified_ms;
  entry.accessed_ms = modified_ms;
  return entry;
}

FakeFileSystem::Entry& FakeFileSystem::AddDirectory(const std::string& path) {
  return Add(path, platform::FileKind::kDirectory);
}

FakeFileSystem::Entry& FakeFileSystem::AddOther(const std::string& path) {
  return Add(path, platform::FileKind::kFifo);
}

FakeFileSystem::Entry* FakeFileSystem::Find(const std::string& path) {
  const std::lock_guard lock(*mutex_);
  const auto it = entries_.find(Key(path));
  return it == entries_.end() ? nullptr : it->second.get();
}

void FakeFileSystem::Remove(const std::string& path) {
  const std::lock_guard lock(*mutex_);
  entries_.erase(Key(path));
}

uint8_t FakeFileSystem::GeneratedByte(int64_t offset) {
  // Varies within and across 8 MiB blocks, so a misplaced block changes the digest.
  const uint64_t x = static_cast<uint64_t>(offset);
  return static_cast<uint8_t>((x * 131u) ^ (x >> 13) ^ (x >> 23));
}

std::string FakeFileSystem::ContentsOf(const Entry& entry, int64_t offset, size_t count) {
  const int64_t length = entry.Length();
  if (offset >= length) return {};
  const size_t n =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), length - offset));
  if (!entry.generated_size) return entry.contents.substr(static_cast<size_t>(offset), n);
  std::string result(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    result[i] = static_cast<char>(GeneratedByte(offset + static_cast<int64_t>(i)));
  }
  return result;
}

void FakeFileSystem::AddDirectoryAlias(const std::string& alias, const std::string& directory) {
  const std::lock_guard lock(*mutex_);
  aliases_.emplace_back(alias, directory);
}

std::string FakeFileSystem::Key(const std::string& path) const {
  for (const auto& [alias, directory] : aliases_) {
    if (path.starts_with(alias) && (path.size() == alias.size() || path[alias.size()] == '/')) {
      return directory + path.substr(alias.size());
    }
  }
  return path;
}

std::string FakeFileSystem::ResolveLinks(const std::string& path) {
  return Find(path) != nullptr ? Key(path) : path;
}

platform::ErrorCode FakeFileSystem::Stat(const std::string& path, platform::FileStatus* status) {
  const std::lock_guard lock(*mutex_);
  const auto it = entries_.find(path);
  if (it == entries_.end()) return ENOENT;
  // Held, as a stat hook may take the name away.
  const std::shared_ptr<Entry> entry = it->second;
  return StatusOf(*entry, status);
}

platform::ErrorCode FakeFileSystem::OpenForReading(const std::string& path, int64_t unbuffered_from,
                                                   bool follow_links,
                                                   std::unique_ptr<platform::ReadableFile>* file,
                                                   platform::FileStatus* status) {
  const std::lock_guard lock(*mutex_);
  ++open_calls_;
  if (fault_->Hit(CallKind::kOpen)) return fault_->error;
  const auto it = entries_.find(Key(path));
  if (it == entries_.end()) return ENOENT;
  const std::shared_ptr<Entry> held = it->second;
  Entry& entry = *held;
  ++entry.open_calls;
  if (entry.open_error != 0 && (entry.fail_open_call == 0 || entry.open_calls == entry.fail_open_call)) {
    return entry.open_error;
  }
  if (entry.kind == platform::FileKind::kSymbolicLink && follow_links) return ENOENT;
  // The look at the file opened, before any read, as the real one takes it.
  platform::FileStatus looked;
  if (const platform::ErrorCode error = StatusOf(entry, &looked)) return error;
  if (status != nullptr) *status = looked;
  switch (entry.kind) {
    case platform::FileKind::kRegular: break;
    case platform::FileKind::kDirectory: return EISDIR;
    case platform::FileKind::kSymbolicLink: return ELOOP;
    default: return ENXIO;
  }
  const bool unbuffered = looked.size >= unbuffered_from;
  entry.last_open_unbuffered = unbuffered;
  if (unbuffered) ++unbuffered_opens_;
  *file = std::make_unique<FakeReadableFile>(held, unbuffered, open_handles_, last_read_buffer_, fault_, mutex_);
  return 0;
}

platform::ErrorCode FakeFileSystem::Open(const std::string& path, platform::OpenMode mode,
                                         std::unique_ptr<platform::File>* file) {
  const std::lock_guard lock(*mutex_);
  ++open_calls_;
  if (fault_->Hit(CallKind::kOpen)) return fault_->error;
  auto it = entries_.find(Key(path));
  if (it == entries_.end()) {
    if (mode != platform::OpenMode::fmCreate && mode != platform::OpenMode::fmAppend) return ENOENT;
    Add(path, platform::FileKind::kRegular);
    it = entries_.find(Key(path));
  }
  Entry& entry = *it->second;
  ++entry.open_calls;
  if (entry.open_error != 0) return entry.open_error;
  if (entry.kind == platform::FileKind::kDirectory) return EISDIR;
  if (mode == platform::OpenMode::fmCreate) {
    entry.contents.clear();
    entry.generated_size.reset();
  }
  const bool writable = mode == platform::OpenMode::fmCreate || (static_cast<uint16_t>(mode) & 3) != 0;
  *file = std::make_unique<FakeFile>(it->second, writable, mode == platform::OpenMode::fmAppend, open_handles_,
                                     fault_, mutex_);
  return 0;
}

platform::ErrorCode FakeFileSystem::DeleteFile(const std::string& path) {
  const std::lock_guard lock(*mutex_);
  const auto it = entries_.find(Key(path));
  if (it == entries_.end()) return ENOENT;
  if (it->second->delete_error != 0) return it->second->delete_error;
  if (it->second->kind == platform::FileKind::kDirectory) return EISDIR;
  entries_.erase(it);
  deleted_.push_back(path);
  return 0;
}

platform::ErrorCode FakeFileSystem::CreateTemporary(const std::string& near_path, std::string* temp_path,
                                                    std::unique_ptr<platform::File>* file) {
  const std::lock_guard lock(*mutex_);
  ++open_calls_;
  if (fault_->Hit(CallKind::kOpen)) return fault_->error;
  if (create_temporary_error != 0) return create_temporary_error;
  for (int n = 1;; ++n) {
    std::string name = near_path + ".tmp" + std::to_string(n);
    if (entries_.count(Key(name)) != 0) continue;
    Entry& entry = Add(name, platform::FileKind::kRegular);
    if (fail_next_temporary) fail_next_temporary(entry);
    *temp_path = name;
    *file = std::make_unique<FakeFile>(entries_.find(Key(name))->second, true, false, open_handles_, fault_, mutex_);
    return 0;
  }
}

platform::ErrorCode FakeFileSystem::Rename(const std::string& from, const std::string& to) {
  const std::lock_guard lock(*mutex_);
  ++rename_calls;
  if (fault_->Hit(CallKind::kRename)) return fault_->error;
  const auto it = entries_.find(Key(from));
  if (it == entries_.end()) return ENOENT;
  if (it->second->rename_error != 0) return it->second->rename_error;
  if (const auto target = entries_.find(Key(to)); target != entries_.end()) {
    if (target->second->rename_error != 0) return target->second->rename_error;
    if (target->second->kind == platform::FileKind::kDirectory) return EISDIR;
  }
  std::shared_ptr<Entry> entry = it->second;
  entries_.erase(it);
  entries_[Key(to)] = std::move(entry);
  return 0;
}

platform::ErrorCode FakeFileSystem::SyncDirectory(const std::string& /*directory*/) {
  const std::lock_guard lock(*mutex_);
  ++sync_directory_calls;
  return sync_directory_error;
}

platform::ErrorCode FakeFileSystem::OpenDirectory(
    const std::string& path, std::unique_ptr<platform::DirectoryReader>* reader) {
  const std::lock_guard lock(*mutex_);
  std::string name = path;
  if (name.size() > 1 && name.back() == '/') name.pop_back();
  Entry* entry = Find(name);
  if (entry == nullptr) return ENOENT;
  ++entry->list_calls;
  if (entry->list_error != 0) return entry->list_error;
  if (entry->kind != platform::FileKind::kDirectory) return ENOTDIR;
  name = Key(name);
  const std::string prefix = name == "/" ? name : name + "/";
  std::vector<std::pair<std::string, platform::EntryKind>> children;
  for (auto it = entries_.lower_bound(prefix); it != entries_.end(); ++it) {
    const std::string& child = it->first;
    if (child.compare(0, prefix.size(), prefix) != 0) break;
    if (child.size() == prefix.size() || child.find('/', prefix.size()) != std::string::npos) continue;
    children.emplace_back(child.substr(prefix.size()), ListedKind(it->second->kind));
  }
  std::reverse(children.begin(), children.end());
  *reader = std::make_unique<FakeDirectoryReader>(*this, prefix, *entry, std::move(children));
  return 0;
}

platform::ErrorCode FakeFileSystem::ReadExtendedAttributes(
    const std::string& path, std::vector<std::pair<std::string, std::string>>* attributes) {
  const Entry* entry = Find(path);
  if (entry == nullptr) return ENOENT;
  attributes->assign(entry->extended_attributes.begin(), entry->extended_attributes.end());
  return 0;
}

std::vector<std::string> FakeFileSystem::Names() const {
  const std::lock_guard lock(*mutex_);
  std::vector<std::string> names;
  for (const auto& [name, entry] : entries_) names.push_back(name);
  return names;
}

std::string FakeFileSystem::ErrorText(platform::ErrorCode error) {
  // libstdc++ gives the C library's strerror text, as the real one does.
  return std::generic_category().message(error);
}

}  // namespace hv::testing
