// What makes Build fast on many cores: small files hashed ahead of the scan
// on helper threads, and large files read on a helper thread while the piece
// before is hashed. The scan still decides order, events and results.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/hash_item.h"
#include "engine/progress.h"
#include "engine/scan_listing.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/date_time.h"

namespace hv {

// ReadFromFile for a file of more than one read (kHashReadSize), with
// reading and hashing overlapped.
void ReadLargeFile(HashItem& item, const BasePathPtr& base_path, const std::string& path,
                   const std::string& file_name, bool follow_links, const progress::ProgressEvent& on_progress);

// What the scans of a Build will go through, as far as its read-ahead
// follows them.
struct ReadAheadTrees {
  // Where each scan of a base directory starts, in the order of the scans.
  struct Start {
    std::string base_path;  // as the scan gets it, ending in '/'
    std::string rel_path;   // the stored path of the first directory, ending in '\' (or empty)
  };
  std::vector<Start> starts;
  bool recursive = false;
  // As the main thread opens files: a symbolic link counts as what it leads to.
  bool follow_links = false;
  // The file that the scan passes over (Build's new list).
  ScanSkip skip;
  // The list being written (device and inode), which is left to the main
  // thread, which reports it.
  bool list_known = false;
  uint64_t list_device = 0;
  uint64_t list_inode = 0;
  // The include and exclude rules, for the one thread that walks at a time.
  std::function<bool(const std::string&)> included;
};

// Hashes the small files of the trees that Build scans ahead of the scan, on
// helper threads, so that a tree of many small files is not bound to one
// core. The helpers walk the trees themselves, in the order of the scan and
// some way ahead of it, whatever directories the files are in. The scan
// still decides order, events and results: BuildFile takes a result only
// when it is ready and the file is provably the one that was read. Anything
// else is hashed on the main thread.
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

  // Helpers that work through `fs`; `threads` of them, or with -1 one for
  // each processor the process may use but one (at most 8) on the real file
  // system and none on any other, since test doubles are not made for
  // threads.
  BuildReadAhead(platform::FileSystem& fs, int threads, ReadAheadTrees trees);
  ~BuildReadAhead();
  BuildReadAhead(const BuildReadAhead&) = delete;
  BuildReadAhead& operator=(const BuildReadAhead&) = delete;

  bool Active() const { return !threads_.empty(); }

  // The result for the file `path` of the scan of `base_path`, when a helper
  // has hashed it and `now`, the scan's stat of it, shows the very file that
  // was read; false when the main thread must hash it itself. The scan asks
  // for its files in its order; what it passes by is dropped.
  bool Take(const BasePathPtr& base_path, const std::string& path, const platform::FileStatus& now,
            Result* result);

 private:
  // How far the helpers may run ahead of the scan, in files.
  static constexpr size_t kWindow = 1024;
  // How many jobs a helper takes at once: it reads their files one after the
  // other and hashes those up to kSideBySideSize side by side, which pays
  // when at least kSideBySide of them wait.
  static constexpr size_t kBatch = 32;
  static constexpr size_t kSideBySide = 8;
  static constexpr size_t kSideBySideSize = 64 * 1024;
  // A directory as the system names it, ending in '/', shared by the jobs
  // of its files.
  using Directory = std::shared_ptr<const std::string>;
  enum class JobState : uint8_t { kWaiting, kRunning, kDone, kFailed };
  // The job of index i lives in slot i % kWindow while it is near the scan.
  struct Slot {
    size_t index = SIZE_MAX;
    JobState state = JobState::kFailed;
    size_t start = 0;  // the index of its scan's Start
    std::string path;  // as stored, relative to its scan's base path
    size_t name_at = 0;  // where the file's own name begins in `path`
    Directory directory;
    Result result;
  };
  // A file the walk has found, on its way to a slot.
  struct Found {
    size_t start;
    std::string path;
    size_t name_at;
    Directory directory;
  };
  // A directory the walk is in.
  struct Level;
  // A job as a helper has it.
  struct Job {
    size_t index = 0;
    Directory directory;
    std::string name;
    bool ok = false;
    Result result;
  };
  // The directory a helper holds open, opened anew when a job is in another.
  struct OpenDirectory {
    std::string path;
    std::unique_ptr<platform::DirectoryHandle> handle;
  };

  void Work();
  // Whether a helper may walk further now (there is room for many files),
  // or take the next job.
  bool CanWalk() const;
  bool CanClaim() const { return next_ < produced_; }
  // Walks the trees on until `room` more files are found or a directory
  // with files has been listed; false at the end of the last tree. Only the one helper that walks calls it,
  // without the lock.
  bool Walk(size_t room, std::vector<Found>* found);
  // Lists `directory` (`rel_path` as stored) onto the walk; false when it
  // cannot be listed or is already being walked (a link to an ancestor).
  bool EnterLevel(const std::string& directory, const std::string& rel_path);
  // Whether a scan that is at `scan_path` of the start `scan_start` (and
  // `known` to be anywhere) has passed `path` of the start `start`: the file,
  // or the whole directory when `path` ends in '\'.
  static bool Passed(bool known, size_t scan_start, std::string_view scan_path, size_t start,
                     std::string_view path);
  // Puts what the walk found into slots, in order, but for what the scan has
  // passed already.
  void Publish(std::vector<Found>& found);
  // Wakes as many helpers as `jobs` make batches for.
  void Wake(size_t jobs);
  // Moves the scan's position in the list of starts on to the start of the
  // scan of `base_path` that takes in `path`.
  void FollowScan(const BasePathPtr& base_path, const std::string& path);
  // Whether two stats show one file that nobody touched in between: the same
  // device, inode and size, and the same modification and change times to
  // the nanosecond (the change time no tool can put back).
  static bool Untouched(const platform::FileStatus& a, const platform::FileStatus& b);
  // What ReadFromFile would give for each file; `ok` false for anything
  // unusual, which the main thread then meets itself. `small` has room for
  // kBatch files of kSideBySideSize, `large` for one of kMaxSize.
  void HashBatch(Job* jobs, size_t count, OpenDirectory& directory, std::byte* small, std::byte* large) noexcept;
  // Reads the file `name` whole into `small` (`capacity` bytes) or, when it
  // is larger, into `large`, and fills `result` but for the hash; where the
  // bytes are, or null when the file is not one to take (not regular, too
  // large, changed while it was read, the list being written).
  const std::byte* ReadWhole(platform::DirectoryHandle& directory, const std::string& name, std::byte* small,
                             size_t capacity, std::byte* large, Result* result);

  platform::FileSystem& fs_;
  const ReadAheadTrees trees_;

  // Only for the helper that walks: the directories it is in, the next
  // start to walk, and where the scan was when the walk went on (set under
  // the lock).
  std::vector<Level> walk_;
  size_t walk_start_ = 0;
  bool scan_seen_ = false;
  size_t scan_seen_start_ = 0;
  std::string scan_seen_path_;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::vector<Slot> slots_;
  size_t produced_ = 0;  // jobs found so far
  size_t next_ = 0;      // the next job for a helper
  size_t cursor_ = 0;    // jobs before it the scan has passed
  bool walking_ = false;
  bool walk_done_ = false;
  // The scan's position: the start it is in, recognised by its base path
  // (none before the first file), and the last file it asked for.
  size_t scan_start_ = 0;
  BasePathPtr scan_base_;
  std::string scan_path_;
  int idle_ = 0;
  // Set under the lock; the walk also reads it without, as it goes.
  std::atomic<bool> stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace hv
