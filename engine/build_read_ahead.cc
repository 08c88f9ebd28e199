#include "engine/build_read_ahead.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/entry_order.h"
#include "engine/file_hashing.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/date_time.h"
#include "support/utf8.h"

namespace hv {

namespace {

// Reads one file in pieces on a helper thread while the caller digests the
// piece before: a file read past the system cache then costs the longer of
// reading and hashing, not both.
class PipelinedReader final : public PieceSource {
 public:
  explicit PipelinedReader(std::unique_ptr<platform::ReadableFile> file) : file_(std::move(file)) {
    thread_ = std::thread([this] { Read(); });
  }

  ~PipelinedReader() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  PipelinedReader(const PipelinedReader&) = delete;
  PipelinedReader& operator=(const PipelinedReader&) = delete;

  const std::byte* Next(int64_t* count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_ >= 0) {
      slots_[static_cast<size_t>(current_)].state = SlotState::kFree;
      changed_.notify_all();
    }
    current_ = (current_ + 1) % 2;
    Slot& slot = slots_[static_cast<size_t>(current_)];
    changed_.wait(lock, [&slot] { return slot.state == SlotState::kFilled; });
    if (slot.error) std::rethrow_exception(slot.error);
    *count = slot.count;
    return slot.buffer.data();
  }

 private:
  enum class SlotState : uint8_t { kFree, kFilled };
  struct Slot {
    AlignedBuffer buffer{kHashReadSize};
    SlotState state = SlotState::kFree;
    int64_t count = 0;
    std::exception_ptr error;
  };

  void Read() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 0;; i = (i + 1) % 2) {
      Slot& slot = slots_[i];
      changed_.wait(lock, [this, &slot] { return stopping_ || slot.state == SlotState::kFree; });
      if (stopping_) return;
      lock.unlock();
      int64_t n = 0;
      std::exception_ptr error;
      try {
        n = ReadPiece(*file_, slot.buffer.data(), kHashReadSize);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      slot.count = n;
      slot.error = error;
      slot.state = SlotState::kFilled;
      changed_.notify_all();
      if (n == 0) return;
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
                   const std::string& file_name, int64_t size, bool follow_links,
                   const progress::ProgressEvent& on_progress) {
  item.SetBasePath(base_path);
  item.SetPath(path);
  PipelinedReader reader(
      OpenForHashing(platform::CurrentFileSystem(), file_name, size >= kUnbufferedThreshold, follow_links));
  std::string hash =
      HashPieces(reader, [&item, &on_progress, size](int64_t done) { on_progress(&item, done, size); });
  // Queried while the file is still open, as ReadFromFile does.
  const DateTime date = HashItem::GetFileDate(file_name);
  item.SetHash(hash);
  item.SetSize(size);
  item.SetDate(date);
}

BuildReadAhead::BuildReadAhead(platform::FileSystem& fs, int threads, bool follow_links, bool list_known,
                               uint64_t list_device, uint64_t list_inode)
    : fs_(fs),
      follow_links_(follow_links),
      list_known_(list_known),
      list_device_(list_device),
      list_inode_(list_inode) {
  if (threads < 0) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    threads = &fs == &platform::RealFileSystem() ? std::clamp(cores - 1, 0, 8) : 0;
  }
  for (int i = 0; i < threads; ++i) {
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

bool BuildReadAhead::Take(std::string_view name, const platform::FileStatus& now, Result* result) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stack_.empty()) return false;
  Queue& queue = *stack_.back();
  // The names from the cursor on, each known by where it ends, are in path
  // order.
  const std::vector<size_t>& ends = queue.ends;
  const auto found = std::lower_bound(
      ends.begin() + static_cast<std::ptrdiff_t>(queue.cursor), ends.end(), name,
      [&queue, &ends](const size_t& end, std::string_view key) {
        return ComparePaths(queue.Name(static_cast<size_t>(&end - ends.data())), key) < 0;
      });
  if (found == ends.end()) return false;
  const auto index = static_cast<size_t>(found - ends.begin());
  if (queue.Name(index) != name) return false;
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
  if (slot.index != index || slot.state != JobState::kDone || !Untouched(slot.result.after, now)) {
    return false;
  }
  *result = std::move(slot.result);
  return true;
}

bool BuildReadAhead::Untouched(const platform::FileStatus& a, const platform::FileStatus& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

void BuildReadAhead::Work() {
  const AlignedBuffer buffer(static_cast<size_t>(kMaxSize));
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
    const bool ok = Hash(file_name, buffer.data(), &result);
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
    platform::FileStatus before;
    if (fs_.Stat(file_name, &before) != 0 || !before.is_regular() || before.size > kMaxSize) return false;
    if (list_known_ && before.device == list_device_ && before.inode == list_inode_) return false;
    // Never anything but a regular file, which cannot block a helper.
    std::unique_ptr<platform::ReadableFile> file = OpenForHashing(fs_, file_name, false, follow_links_);
    // A file that grew since its stat is not the one that was looked at.
    struct Grew {};
    int64_t done = 0;
    FileReader reader(*file, buffer, static_cast<size_t>(kMaxSize));
    const std::string hash = HashPieces(reader, [&done, &before](int64_t so_far) {
      done = so_far;
      if (done > before.size) throw Grew{};
    });
    file.reset();
    if (done != before.size) return false;
    if (fs_.Stat(file_name, &result->after) != 0 || !Untouched(before, result->after)) return false;
    result->hash = hash;
    result->size = before.size;
    result->date = DateTimeFromUnixMilliseconds(result->after.modified_ms);
    return true;
  } catch (...) {
    return false;
  }
}

void BuildReadAhead::EnterDirectory(const std::string& directory, std::string_view rel_directory,
                                    std::string_view first,
                                    const std::function<bool(const std::string&)>& included) {
  std::string names;
  std::vector<std::pair<size_t, size_t>> found;  // offset, length
  std::unique_ptr<platform::DirectoryReader> reader;
  if (fs_.OpenDirectory(directory, &reader) == 0) {
    platform::DirectoryEntry entry;
    std::string rel;
    while (reader->Next(&entry)) {
      if (entry.kind != platform::EntryKind::kRegular) continue;
      // Names the scan reports instead of handing over.
      if (entry.name.find_first_of("\\\"\r\n") != std::string_view::npos || !IsValidUtf8(entry.name)) continue;
      if (ComparePaths(entry.name, first) < 0) continue;
      rel.assign(rel_directory).append(entry.name);
      try {
        if (!included(rel)) continue;
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
  Enter(directory, std::move(sorted), std::move(ends));
}

}  // namespace hv
