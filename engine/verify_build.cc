// The Build command: every file under the base directories is hashed into a
// new list. Each line goes to the hash-list file as soon as its file is
// hashed, so an interrupted build leaves what it did; a complete build then
// rewrites the file sorted by path.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/os_path.h"
#include "engine/progress.h"
#include "engine/verify.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/base64.h"
#include "support/date_time.h"
#include "support/md4.h"
#include "support/file_replacement.h"
#include "support/utf8.h"

namespace hv {

namespace {

// Reads one file in pieces on a helper thread while the caller digests the
// piece before: a file read past the system cache then costs the longer of
// reading and hashing, not both.
class PipelinedReader {
 public:
  // The pieces of file hashing: 8 MiB, in buffers on 64 KiB boundaries.
  static constexpr size_t kPieceSize = 0x800000;

  explicit PipelinedReader(std::unique_ptr<platform::ReadableFile> file) : file_(std::move(file)) {
    for (Slot& slot : slots_) {
      slot.storage = std::make_unique_for_overwrite<std::byte[]>(kPieceSize + kAlignment);
      const uintptr_t start = reinterpret_cast<uintptr_t>(slot.storage.get());
      slot.buffer = slot.storage.get() + (kAlignment - start % kAlignment) % kAlignment;
    }
    thread_ = std::thread([this] { Read(); });
  }

  ~PipelinedReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  PipelinedReader(const PipelinedReader&) = delete;
  PipelinedReader& operator=(const PipelinedReader&) = delete;

  // The next piece, its length in `*count`; 0 at the end of the file. Throws
  // EReadError when a read failed. The piece stays valid until the next call.
  const std::byte* Next(int64_t* count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_ >= 0) {
      slots_[static_cast<size_t>(current_)].state = SlotState::kFree;
      changed_.notify_all();
    }
    current_ = (current_ + 1) % 2;
    Slot& slot = slots_[static_cast<size_t>(current_)];
    changed_.wait(lock, [&slot] { return slot.state == SlotState::kFilled; });
    // A failed read is never taken for the end of the file.
    if (slot.count < 0 || static_cast<uint64_t>(slot.count) > kPieceSize) throw EReadError(kStreamReadError);
    *count = slot.count;
    return slot.buffer;
  }

 private:
  static constexpr size_t kAlignment = 0x10000;
  enum class SlotState : uint8_t { kFree, kFilled };
  struct Slot {
    std::unique_ptr<std::byte[]> storage;
    std::byte* buffer = nullptr;
    SlotState state = SlotState::kFree;
    int64_t count = 0;
  };

  void Read() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 0;; i = (i + 1) % 2) {
      Slot& slot = slots_[i];
      changed_.wait(lock, [this, &slot] { return stopping_ || slot.state == SlotState::kFree; });
      if (stopping_) return;
      lock.unlock();
      platform::ErrorCode error = 0;
      const int64_t n = file_->Read(slot.buffer, kPieceSize, &error);
      lock.lock();
      slot.count = n;
      slot.state = SlotState::kFilled;
      changed_.notify_all();
      if (n <= 0) return;
    }
  }

  std::unique_ptr<platform::ReadableFile> file_;
  Slot slots_[2];
  int current_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

// ReadFromFile for a file of more than one piece, with reading and hashing
// overlapped; `size` is the size taken before the open.
void ReadLargeFile(HashItem& item, const BasePathPtr& base_path, const std::string& path,
                   const std::string& file_name, int64_t size, const progress::ProgressEvent& on_progress) {
  // Not 2^31: files from this size on are read past the system cache.
  constexpr int64_t kUnbufferedThreshold = 2145300000;
  item.SetBasePath(base_path);
  item.SetPath(path);
  platform::FileSystem& fs = platform::CurrentFileSystem();
  std::unique_ptr<platform::ReadableFile> file;
  if (const platform::ErrorCode error = fs.OpenForReading(file_name, size >= kUnbufferedThreshold, &file)) {
    throw EFOpenError("Cannot open file \"" + fs.FullPath(file_name) + "\". " + fs.ErrorText(error));
  }
  PipelinedReader reader(std::move(file));
  DigestMD4 digest;
  digest.Init();
  int64_t done = 0;
  for (;;) {
    int64_t n = 0;
    const std::byte* piece = reader.Next(&n);
    if (n == 0) break;
    digest.Update(piece, static_cast<size_t>(n));
    done += n;
    on_progress(&item, done, size);
  }
  unsigned char value[DigestMD4::kHashSizeBytes];
  digest.Final(value);
  // Queried while the file is still open, as ReadFromFile does.
  const DateTime date = HashItem::GetFileDate(file_name);
  item.SetHash(Base64Encode(std::string_view(reinterpret_cast<const char*>(value), sizeof value)));
  item.SetSize(size);
  item.SetDate(date);
}

}  // namespace

// Hashes the small files of the directories that Build is in, ahead of the
// scan and on worker threads, so that a tree of many small files is not bound
// to one core. The scan still decides order, events and results: BuildFile
// takes a result only when it is ready and the file still looks the same
// (same inode, size and time). Anything else is hashed on the main thread.
class BuildReadAhead {
 public:
  // Files up to this size are read ahead, in one read each.
  static constexpr int64_t kMaxSize = 1 << 20;

  struct Result {
    std::string hash;
    int64_t size = -1;  // taken before the read, as ReadFromFile takes it
    DateTime date = 0;
    platform::FileStatus after;  // taken after the read
  };

  BuildReadAhead(unsigned threads, bool list_known, uint64_t list_device, uint64_t list_inode)
      : list_known_(list_known), list_device_(list_device), list_inode_(list_inode) {
    for (unsigned i = 0; i < threads; ++i) {
      try {
        threads_.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        break;  // fewer helpers, or none: the main thread hashes the rest
      }
    }
  }

  ~BuildReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  BuildReadAhead(const BuildReadAhead&) = delete;
  BuildReadAhead& operator=(const BuildReadAhead&) = delete;

  bool Active() const { return !threads_.empty(); }

  // Whether `directory` already has its queue; the scan is depth first, so
  // the queues of the directories it has left for good are dropped here.
  bool Knows(std::string_view directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!stack_.empty()) {
      const std::string& top = stack_.back()->directory;
      if (top == directory) return true;
      if (directory.starts_with(top)) return false;  // a subdirectory: the parent stays
      stack_.pop_back();
    }
    return false;
  }

  // The files of `directory` still to come: `names` back to back in scan
  // order, name i ending at ends[i].
  void Enter(std::string directory, std::string names, std::vector<size_t> ends) {
    auto queue = std::make_shared<Queue>();
    queue->directory = std::move(directory);
    queue->names = std::move(names);
    queue->ends = std::move(ends);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stack_.push_back(std::move(queue));
    }
    work_ready_.notify_all();
  }

  // The result for `name` in the directory entered last, when a helper has
  // hashed it; false when the main thread must hash it itself.
  bool Take(std::string_view name, Result* result) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stack_.empty()) return false;
    Queue& queue = *stack_.back();
    size_t low = queue.cursor;
    size_t high = queue.ends.size();
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      if (ComparePaths(queue.Name(middle), name) < 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    if (low == queue.ends.size() || queue.Name(low) != name) return false;
    const size_t index = low;
    queue.cursor = index + 1;
    // What the scan has passed is no longer worth hashing.
    queue.next = std::max(queue.next, queue.cursor);
    // Wake the helpers once there is room for a batch, not for every file.
    if (idle_ > 0 && queue.next < queue.ends.size() && queue.next + kWindow / 2 <= queue.cursor + kWindow) {
      work_ready_.notify_all();
    }
    Slot& slot = queue.slots[index % kWindow];
    // Not done yet: the main thread hashes it rather than wait, since a busy
    // machine may take long to wake it again.
    if (slot.index != index || slot.state != JobState::kDone) return false;
    *result = std::move(slot.result);
    return true;
  }

 private:
  // How far the helpers may run ahead of the scan, in files.
  static constexpr size_t kWindow = 64;

  enum class JobState : uint8_t { kRunning, kDone, kFailed };
  // The job of index i lives in slot i % kWindow while it is near the scan.
  struct Slot {
    size_t index = SIZE_MAX;
    JobState state = JobState::kFailed;
    Result result;
  };
  struct Queue {
    std::string directory;
    std::string names;
    std::vector<size_t> ends;
    size_t next = 0;    // the next job for a helper
    size_t cursor = 0;  // jobs before it the scan has passed
    Slot slots[kWindow];

    std::string_view Name(size_t i) const {
      const size_t begin = i == 0 ? 0 : ends[i - 1];
      return std::string_view(names).substr(begin, ends[i] - begin);
    }
  };

  void Work() {
    const size_t block = static_cast<size_t>(kMaxSize) + kAlignment;
    const auto storage = std::make_unique_for_overwrite<std::byte[]>(block);
    const uintptr_t start = reinterpret_cast<uintptr_t>(storage.get());
    std::byte* const buffer = storage.get() + (kAlignment - start % kAlignment) % kAlignment;
    std::string file_name;

    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      work_ready_.wait(lock, [this] { return stopping_ || HasWork(); });
      --idle_;
      if (stopping_) return;
      const std::shared_ptr<Queue> queue = stack_.back();
      const size_t index = queue->next++;
      Slot& slot = queue->slots[index % kWindow];
      // A job the scan passed without waiting may still be running here: its
      // result is dropped, since the slot no longer names it.
      slot.index = index;
      slot.state = JobState::kRunning;
      file_name.assign(queue->directory).append(queue->Name(index));
      lock.unlock();
      Result result;
      const bool ok = Hash(file_name, buffer, &result);
      lock.lock();
      if (slot.index == index) {
        slot.state = ok ? JobState::kDone : JobState::kFailed;
        if (ok) slot.result = std::move(result);
      }
    }
  }

  // Helpers stay within one slot less than the window, so that the job the
  // scan waits for keeps its slot.
  bool HasWork() const {
    if (stack_.empty()) return false;
    const Queue& queue = *stack_.back();
    return queue.next < queue.ends.size() && queue.next + 1 < queue.cursor + kWindow;
  }

  // What ReadFromFile would give for a file it reads in one go; false for
  // anything unusual, which the main thread then meets itself.
  bool Hash(const std::string& file_name, std::byte* buffer, Result* result) noexcept {
    try {
      platform::FileSystem& fs = platform::RealFileSystem();
      platform::FileStatus before;
      if (fs.Stat(file_name, &before) != 0 || !before.is_regular() || before.size > kMaxSize) return false;
      if (list_known_ && before.device == list_device_ && before.inode == list_inode_) return false;
      std::unique_ptr<platform::ReadableFile> file;
      if (fs.OpenForReading(file_name, false, &file) != 0) return false;
      DigestMD4 digest;
      digest.Init();
      int64_t done = 0;
      for (;;) {
        platform::ErrorCode error = 0;
        const int64_t n = file->Read(buffer, static_cast<size_t>(kMaxSize), &error);
        if (n == 0) break;
        if (n < 0 || done + n > before.size) return false;
        digest.Update(buffer, static_cast<size_t>(n));
        done += n;
      }
      file.reset();
      if (done != before.size) return false;
      if (fs.Stat(file_name, &result->after) != 0 || result->after.size != before.size ||
          result->after.inode != before.inode || result->after.device != before.device) {
        return false;
      }
      unsigned char value[DigestMD4::kHashSizeBytes];
      digest.Final(value);
      result->hash = Base64Encode(std::string_view(reinterpret_cast<const char*>(value), sizeof value));
      result->size = before.size;
      result->date = DateTimeFromUnixMilliseconds(result->after.modified_ms);
      return true;
    } catch (...) {
      return false;
    }
  }

  static constexpr size_t kAlignment = 0x10000;

  const bool list_known_;
  const uint64_t list_device_;
  const uint64_t list_inode_;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::vector<std::shared_ptr<Queue>> stack_;
  int idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

namespace {

// The helpers for a build: one core stays with the main thread.
unsigned ReadAheadThreads() {
  if (&platform::CurrentFileSystem() != &platform::RealFileSystem()) return 0;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? std::min(cores - 1, 8u) : 0;
}

// Queues the files of `directory` from `first` on, in the order in which the
// scan will hand them over.
void EnterReadAheadDirectory(BuildReadAhead& read_ahead, const std::string& directory,
                             std::string_view rel_directory, std::string_view first, Verify& verify,
                             bool (Verify::*included)(const std::string&)) {
  std::string names;
  std::vector<std::pair<size_t, size_t>> found;  // offset, length
  std::unique_ptr<platform::DirectoryReader> reader;
  if (platform::CurrentFileSystem().OpenDirectory(directory, &reader) == 0) {
    platform::DirectoryEntry entry;
    std::string rel;
    while (reader->Next(&entry)) {
      if (entry.kind != platform::EntryKind::kRegular) continue;
      // Names the scan reports instead of handing over.
      if (entry.name.find_first_of("\\\"\r\n") != std::string_view::npos || !IsValidUtf8(entry.name)) continue;
      if (ComparePaths(entry.name, first) < 0) continue;
      rel.assign(rel_directory).append(entry.name);
      try {
        if (!(verify.*included)(rel)) continue;
      } catch (const std::exception&) {
        continue;  // the scan meets the same failure when it gets there
      }
      found.emplace_back(names.size(), entry.name.size());
      names.append(entry.name);
    }
  }
  const auto name_of = [&names](const std::pair<size_t, size_t>& at) {
    return std::string_view(names).substr(at.first, at.second);
  };
  std::sort(found.begin(), found.end(), [&name_of](const auto& a, const auto& b) {
    return ComparePaths(name_of(a), name_of(b)) < 0;
  });
  std::string sorted;
  sorted.reserve(names.size());
  std::vector<size_t> ends;
  ends.reserve(found.size());
  for (const auto& at : found) {
    sorted.append(name_of(at));
    ends.push_back(sorted.size());
  }
  read_ahead.Enter(directory, std::move(sorted), std::move(ends));
}

}  // namespace

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
  int result = 102;
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
  {
    // Declared after the guard, so the helpers stop before the list goes.
    BuildReadAhead read_ahead(ReadAheadThreads(), hash_file_identity_known_, hash_file_device_,
                              hash_file_inode_);
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

  // Stopped on request, the build keeps what it did, in the order it was
  // done; complete, the list is sorted.
  if (result != 253) {
    if (show_progress_) DoStateChange(vstSortingResults, nullptr);
    hash_list_->SortByPath();
  }
  hash_list_->WriteTo(new_list, nullptr, HashStates{});
  new_list.Commit();
  return result;
}

int Verify::BuildFile(const BasePathPtr& base_path, const std::string& path, int /*param*/) {
  try {
    auto item = std::make_unique<HashItem>();
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
        EnterReadAheadDirectory(*build_read_ahead_, std::string(directory), rel_directory, name, *this,
                                &Verify::IsIncluded);
      }
      // Taken only when the file is still the one that was read.
      read_ahead = build_read_ahead_->Take(name, &ahead) && ahead.after.inode == status.inode &&
                   ahead.after.device == status.device && ahead.after.size == status.size &&
                   ahead.after.modified_ms == status.modified_ms;
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
               status.size > static_cast<int64_t>(PipelinedReader::kPieceSize)) {
      ReadLargeFile(*item, base_path, path, file_name, status.size, ItemProgressCallback());
    } else {
      item->ReadFromFile(base_path, path, ItemProgressCallback());
    }
    item->SetState(hsNew);
    HashItem& entry = *item;
    hash_list_->Add(std::move(item));
    // A handler that fails leaves the entry in the list.
    if (show_progress_) DoStateChange(vstBuildOutput, std::make_unique<StateChangeHashItem>(entry));
    return 0;
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    return HandleFileError(e, *base_path, path);
  }
}

}  // namespace hv
