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

#include "engine/file_hashing.h"
#include "engine/os_path.h"
#include "engine/scan_listing.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "platform/processors.h"
#include "support/date_time.h"
#include "support/md4.h"

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
                   const std::string& file_name, bool follow_links, const progress::ProgressEvent& on_progress) {
  item.SetBasePath(base_path);
  item.SetPath(path);
  // Taken as ReadFromFile takes them, before the reader starts reading.
  platform::FileStatus status;
  std::unique_ptr<platform::ReadableFile> file =
      OpenForHashing(platform::CurrentFileSystem(), file_name, follow_links, &status);
  const int64_t size = status.size;
  PipelinedReader reader(std::move(file));
  std::string hash =
      HashPieces(reader, [&item, &on_progress, size](int64_t done) { on_progress(&item, done, size); });
  const DateTime date = DateTimeFromUnixMilliseconds(status.modified_ms);
  item.SetHash(hash);
  item.SetSize(size);
  item.SetDate(date);
}

struct BuildReadAhead::Level {
  Directory os_directory;  // as the system names it, ending in '/'
  std::string rel_path;    // as stored, ending in '\' (or empty)
  uint64_t device = 0;
  uint64_t inode = 0;
  ScanListing listing;
  size_t next = 0;  // the index of the next entry of the listing
};

BuildReadAhead::BuildReadAhead(platform::FileSystem& fs, int threads, ReadAheadTrees trees)
    : fs_(fs), trees_(std::move(trees)), slots_(kWindow) {
  if (threads < 0) {
    const int processors = platform::UsableProcessors();
    threads = &fs == &platform::RealFileSystem() ? std::clamp(processors - 1, 0, 8) : 0;
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

bool BuildReadAhead::Take(const BasePathPtr& base_path, const std::string& path, const platform::FileStatus& now,
                          Result* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  FollowScan(base_path, path);
  scan_path_.assign(path);
  bool taken = false;
  while (cursor_ < produced_) {
    Slot& slot = slots_[cursor_ % kWindow];
    const int order = slot.start != scan_start_ ? (slot.start < scan_start_ ? -1 : 1)
                                                : CompareInScanOrder(slot.path, path);
    // A file the walk did not see (a link, or one made since): the jobs
    // after it stay.
    if (order > 0) break;
    ++cursor_;
    if (order < 0) continue;  // passed by the scan (excluded, or gone)
    // Not done yet: the main thread hashes it rather than wait, since a busy
    // machine may take long to wake it again.
    if (slot.state == JobState::kDone && Untouched(slot.result.after, now)) {
      *result = std::move(slot.result);
      taken = true;
    }
    break;
  }
  // What the scan has passed is no longer worth hashing.
  next_ = std::max(next_, cursor_);
  // A helper walks on once there is room for many files, not for every
  // file; it wakes the others for what it finds.
  if (idle_ > 0 && CanWalk()) Wake(1);
  return taken;
}

void BuildReadAhead::FollowScan(const BasePathPtr& base_path, const std::string& path) {
  if (base_path == scan_base_) return;
  // The scans come in the order of the starts; one that found no file does
  // not show here.
  size_t start = scan_base_ == nullptr ? 0 : scan_start_ + 1;
  const std::vector<ReadAheadTrees::Start>& starts = trees_.starts;
  while (start < starts.size() &&
         (starts[start].base_path != *base_path || !path.starts_with(starts[start].rel_path))) {
    ++start;
  }
  scan_base_ = base_path;
  scan_start_ = start;
}

bool BuildReadAhead::Untouched(const platform::FileStatus& a, const platform::FileStatus& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

bool BuildReadAhead::CanWalk() const {
  return !walking_ && !walk_done_ && produced_ + kWindow / 4 <= cursor_ + kWindow;
}

void BuildReadAhead::Work() {
  // Opens and closes by the thousand, which on a table of descriptors shared
  // by every thread wait on each other.
  fs_.UseOwnDescriptors();
  const AlignedBuffer small(kBatch * kSideBySideSize);
  const AlignedBuffer large(static_cast<size_t>(kMaxSize));
  Job jobs[kBatch];
  OpenDirectory directory;
  std::vector<Found> found;

  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    // Walking comes first while few jobs wait, so that the helpers do not
    // run dry.
    if (CanWalk() && produced_ - next_ < kWindow / 2) {
      walking_ = true;
      const size_t room = cursor_ + kWindow - produced_;
      scan_seen_ = scan_base_ != nullptr;
      scan_seen_start_ = scan_start_;
      scan_seen_path_.assign(scan_path_);
      lock.unlock();
      found.clear();
      const bool more = Walk(room, &found);
      lock.lock();
      walking_ = false;
      walk_done_ = !more;
      Publish(found);
      continue;
    }
    if (CanClaim()) {
      // Side by side only when a whole batch waits: with fewer, the scan is
      // close behind, and each file is better done at once.
      const size_t waiting = produced_ - next_;
      const size_t count = waiting >= kSideBySide ? std::min(kBatch, waiting) : 1;
      for (size_t i = 0; i < count; ++i) {
        Job& job = jobs[i];
        job.index = next_++;
        Slot& slot = slots_[job.index % kWindow];
        slot.state = JobState::kRunning;
        job.directory = slot.directory;
        job.name.assign(slot.path, slot.name_at);
      }
      lock.unlock();
      HashBatch(jobs, count, directory, small.data(), large.data());
      fs_.CloseDeferred();
      lock.lock();
      for (size_t i = 0; i < count; ++i) {
        Job& job = jobs[i];
        // A job the scan passed without waiting may have had its slot taken
        // by a later one: its result is dropped then.
        Slot& slot = slots_[job.index % kWindow];
        if (slot.index != job.index) continue;
        slot.state = job.ok ? JobState::kDone : JobState::kFailed;
        if (job.ok) std::swap(slot.result, job.result);
      }
      continue;
    }
    ++idle_;
    work_ready_.wait(lock);
    --idle_;
  }
}

bool BuildReadAhead::Passed(bool known, size_t scan_start, std::string_view scan_path, size_t start,
                            std::string_view path) {
  if (!known || start != scan_start) return known && start < scan_start;
  // A directory (its path ends in '\') is passed when the scan has left it.
  if (path.ends_with('\\')) {
    return !scan_path.starts_with(path) && CompareInScanOrder(path.substr(0, path.size() - 1), scan_path) < 0;
  }
  return CompareInScanOrder(path, scan_path) <= 0;
}

void BuildReadAhead::Publish(std::vector<Found>& found) {
  size_t jobs = 0;
  for (Found& file : found) {
    // The scan may have got further while the walk went on.
    if (Passed(scan_base_ != nullptr, scan_start_, scan_path_, file.start, file.path)) continue;
    Slot& slot = slots_[produced_ % kWindow];
    slot.index = produced_++;
    slot.state = JobState::kWaiting;
    slot.start = file.start;
    slot.path.swap(file.path);
    slot.name_at = file.name_at;
    slot.directory = std::move(file.directory);
    ++jobs;
  }
  found.clear();
  Wake(jobs);
}

void BuildReadAhead::Wake(size_t jobs) {
  for (size_t woken = 0; woken < static_cast<size_t>(idle_) && woken * kBatch < jobs; ++woken) work_ready_.notify_one();
}

bool BuildReadAhead::Walk(size_t room, std::vector<Found>* found) {
  while (found->size() < room) {
    if (stopping_.load(std::memory_order_relaxed)) return false;
    if (walk_.empty()) {
      if (walk_start_ == trees_.starts.size()) return false;
      const ReadAheadTrees::Start& start = trees_.starts[walk_start_++];
      if (ProblemOf(start.rel_path, true) == NameProblem::kNone) {
        EnterLevel(OsPath(start.base_path, start.rel_path), start.rel_path);
      }
      continue;
    }
    Level& level = walk_.back();
    if (level.next == level.listing.entries().size()) {
      walk_.pop_back();
      continue;
    }
    const ScanListing::Entry& entry = level.listing.entries()[level.next];
    const std::string_view name = level.listing.Name(entry);
    if (entry.directory) {
      ++level.next;
      std::string os_directory = *level.os_directory;
      os_directory.append(name).push_back('/');
      std::string rel_path = level.rel_path;
      rel_path.append(name).push_back('\\');
      // Behind the scan, the walk only catches up.
      if (Passed(scan_seen_, scan_seen_start_, scan_seen_path_, walk_start_ - 1, rel_path)) continue;
      const size_t before = found->size();
      // Listing takes long: what was found goes out first.
      if (EnterLevel(os_directory, rel_path) && before != 0) return true;
      continue;
    }
    ++level.next;
    std::string path = level.rel_path;
    path.append(name);
    if (Passed(scan_seen_, scan_seen_start_, scan_seen_path_, walk_start_ - 1, path)) continue;
    try {
      if (!trees_.included(path)) continue;
    } catch (const std::exception&) {
      continue;  // the scan meets the same failure when it gets there
    }
    found->push_back(Found{walk_start_ - 1, std::move(path), level.rel_path.size(), level.os_directory});
  }
  return true;
}

bool BuildReadAhead::EnterLevel(const std::string& os_directory, const std::string& rel_path) {
  std::unique_ptr<platform::DirectoryReader> reader;
  if (fs_.OpenDirectory(os_directory, &reader) != 0) return false;
  for (const Level& level : walk_) {
    if (level.device == reader->device() && level.inode == reader->inode()) return false;
  }
  Level level;
  level.os_directory = std::make_shared<const std::string>(os_directory);
  level.rel_path = rel_path;
  level.device = reader->device();
  level.inode = reader->inode();
  platform::DirectoryEntry entry;
  while (reader->Next(&entry)) {
    // A directory of millions of names must not hold up a quit.
    if (stopping_.load(std::memory_order_relaxed)) return false;
    const bool directory = entry.kind == platform::EntryKind::kDirectory;
    // Links and special files are left to the scan; so are names that a
    // list cannot hold, which the scan reports.
    if (!directory && entry.kind != platform::EntryKind::kRegular) continue;
    if ((directory && !trees_.recursive) || ProblemOf(entry.name) != NameProblem::kNone) continue;
    if (!directory && trees_.skip.Skips(*reader, entry.name)) continue;
    level.listing.Add(entry.name, directory);
  }
  // The scan lists nothing of a directory whose listing breaks off.
  if (reader->error() != 0) return false;
  level.listing.Sort();
  walk_.push_back(std::move(level));
  return true;
}

void BuildReadAhead::HashBatch(Job* jobs, size_t count, OpenDirectory& directory, std::byte* small,
                               std::byte* large) noexcept {
  const uint8_t* bytes[kBatch] = {};
  size_t sizes[kBatch] = {};
  Job* side_by_side[kBatch] = {};
  size_t waiting = 0;
  for (size_t i = 0; i < count; ++i) {
    Job& job = jobs[i];
    job.ok = false;
    try {
      if (directory.handle == nullptr || directory.path != *job.directory) {
        directory.path = *job.directory;
        if (fs_.OpenDirectoryHandle(directory.path, &directory.handle) != 0) directory.handle.reset();
      }
      const std::byte* read = directory.handle == nullptr
                                  ? nullptr
                                  : ReadWhole(*directory.handle, job.name, small + i * kSideBySideSize,
                                              kSideBySideSize, large, &job.result);
      if (read == large) {
        job.result.hash = HashBytes(read, static_cast<size_t>(job.result.size));
        job.ok = true;
      } else if (read != nullptr) {
        bytes[waiting] = reinterpret_cast<const uint8_t*>(read);
        sizes[waiting] = static_cast<size_t>(job.result.size);
        side_by_side[waiting++] = &job;
      }
    } catch (...) {
      // Left to the main thread.
    }
  }
  try {
    uint8_t digests[kBatch][DigestMD4::kHashSizeBytes];
    DigestMD4Messages(bytes, sizes, waiting, digests);
    for (size_t k = 0; k < waiting; ++k) {
      side_by_side[k]->result.hash = DigestText(digests[k]);
      side_by_side[k]->ok = true;
    }
  } catch (...) {
    // Left to the main thread.
  }
}

const std::byte* BuildReadAhead::ReadWhole(platform::DirectoryHandle& directory, const std::string& name,
                                           std::byte* small, size_t capacity, std::byte* large, Result* result) {
  // Never anything but a regular file, which cannot block a helper.
  std::unique_ptr<platform::ReadableFile> file;
  platform::FileStatus before;
  if (directory.OpenForReading(name, trees_.follow_links, &file, &before) != 0 || before.size > kMaxSize) {
    return nullptr;
  }
  if (trees_.list_known && before.device == trees_.list_device && before.inode == trees_.list_inode) {
    return nullptr;
  }
  // Room for more than the file holds, so that a read shows when it grew.
  if (before.size >= static_cast<int64_t>(capacity)) {
    small = large;
    capacity = static_cast<size_t>(kMaxSize);
  }
  int64_t done = 0;
  for (;;) {
    platform::ErrorCode error = 0;
    const int64_t n = file->Read(small + done, capacity - static_cast<size_t>(done), &error);
    if (n < 0) return nullptr;
    done += n;
    // A file that grew since its stat is not the one that was looked at.
    if (done > before.size) return nullptr;
    // Where one read brought the whole file, the stat after it shows that
    // this was the end: no second read to find that out.
    if (n == 0 || done == before.size) break;
  }
  if (done != before.size) return nullptr;
  if (file->Status(&result->after) != 0 || !Untouched(before, result->after)) return nullptr;
  result->size = before.size;
  result->date = DateTimeFromUnixMilliseconds(result->after.modified_ms);
  return small;
}

}  // namespace hv
