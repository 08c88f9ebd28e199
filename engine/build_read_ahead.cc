#include "engine/build_read_ahead.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ranges>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/base64.h"
#include "support/date_time.h"
#include "support/md4.h"
#include "support/utf8.h"

namespace hv {

namespace {

// Reads one file in pieces on a helper thread while the caller digests the
// piece before: a file read past the system cache then costs the longer of
// reading and hashing, not both.
class PipelinedReader {
 public:
  // The pieces of file hashing, in buffers on 64 KiB boundaries.
  static constexpr size_t kPieceSize = static_cast<size_t>(kHashPieceSize);

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

}  // namespace

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


BuildReadAhead::BuildReadAhead(unsigned threads, bool list_known, uint64_t list_device, uint64_t list_inode)
    : list_known_(list_known), list_device_(list_device), list_inode_(list_inode) {
  for (unsigned i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer helpers, or none: the main thread hashes the rest
    }
  }
}

BuildReadAhead::~BuildReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool BuildReadAhead::Knows(std::string_view directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!stack_.empty()) {
    const std::string& top = stack_.back()->directory;
    if (top == directory) return true;
    if (directory.starts_with(top)) return false;  // a subdirectory: the parent stays
    stack_.pop_back();
  }
  return false;
}

void BuildReadAhead::Enter(std::string directory, std::string names, std::vector<size_t> ends) {
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

bool BuildReadAhead::Take(std::string_view name, Result* result) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stack_.empty()) return false;
  Queue& queue = *stack_.back();
  const auto ahead = std::views::iota(queue.cursor, queue.ends.size());
  const auto found = std::ranges::lower_bound(
      ahead, name, [](std::string_view a, std::string_view b) { return ComparePaths(a, b) < 0; },
      [&queue](size_t i) { return queue.Name(i); });
  if (found == ahead.end() || queue.Name(*found) != name) return false;
  const size_t index = *found;
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

void BuildReadAhead::Work() {
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

bool BuildReadAhead::HasWork() const {
  if (stack_.empty()) return false;
  const Queue& queue = *stack_.back();
  return queue.next < queue.ends.size() && queue.next + 1 < queue.cursor + kWindow;
}

bool BuildReadAhead::Hash(const std::string& file_name, std::byte* buffer, Result* result) noexcept {
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

unsigned ReadAheadThreads() {
  if (&platform::CurrentFileSystem() != &platform::RealFileSystem()) return 0;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? std::min(cores - 1, 8u) : 0;
}

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

}  // namespace hv
